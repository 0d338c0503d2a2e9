// The installer library's drive and volume operations against the Wine prefix's real drives, and, through
// the import seam, against answers Wine does not give: a mount-path list longer than the first buffer or
// malformed, volumes whose names or devices fail, and lock requests that fail (Wine grants every lock).
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "TempDir.h"
#include "libcommon/VolumeUtilities.h"

namespace {

std::wstring VolumeOfDrive(const wchar_t* root)
{
    wchar_t name[50] = {};
    if (!GetVolumeNameForVolumeMountPointW(root, name, 50))
        return std::wstring();
    return name;
}

bool Contains(const std::vector<std::wstring>& list, const std::wstring& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// ---- mount-path answers ---------------------------------------------------------------------------

ImportPatch<decltype(::GetVolumePathNamesForVolumeNameW)>* g_pathNames;
std::wstring g_fakeVolume;       // the volume name the fake answers for
std::vector<wchar_t> g_fakeList;  // its multi-string, written when it fits
std::vector<DWORD> g_reportSizes;  // what each refusal reports; past the end, the list's own size
DWORD g_fakeReportedOnSuccess;     // 0: the list's size
std::vector<DWORD> g_askedSizes;
BOOL WINAPI FakeGetVolumePathNamesForVolumeNameW(LPCWSTR volume, LPWSTR list, DWORD size, PDWORD reported)
{
    if (g_fakeVolume != volume)
        return g_pathNames->Original()(volume, list, size, reported);
    const size_t call = g_askedSizes.size();
    g_askedSizes.push_back(size);
    const DWORD needed = static_cast<DWORD>(g_fakeList.size());
    if (call < g_reportSizes.size() || size < needed) {
        *reported = call < g_reportSizes.size() ? g_reportSizes[call] : needed;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(list, g_fakeList.data(), needed * sizeof(wchar_t));
    *reported = g_fakeReportedOnSuccess ? g_fakeReportedOnSuccess : needed;
    return TRUE;
}

std::vector<wchar_t> MultiString(const std::vector<std::wstring>& names, bool closed = true)
{
    std::vector<wchar_t> list;
    for (const std::wstring& name : names) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back(L'\0');
    }
    if (closed)
        list.push_back(L'\0');
    return list;
}

// ---- the volume walk ------------------------------------------------------------------------------

ImportPatch<decltype(::FindFirstVolumeW)>* g_findFirst;
ImportPatch<decltype(::FindNextVolumeW)>* g_findNext;
ImportPatch<decltype(::FindVolumeClose)>* g_findClose;
ImportPatch<decltype(::QueryDosDeviceW)>* g_queryDevice;
std::vector<std::wstring> g_fakeVolumes;
size_t g_nextVolume;
bool g_searchClosed;
std::wstring g_deviceFailsFor;  // the name (without "\\?\" and "\") whose device query fails
HANDLE const kFakeSearch = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5EA2C4));
bool NextFakeVolume(LPWSTR name, DWORD length)
{
    if (g_nextVolume >= g_fakeVolumes.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    lstrcpynW(name, g_fakeVolumes[g_nextVolume++].c_str(), static_cast<int>(length));
    return true;
}
HANDLE WINAPI FakeFindFirstVolumeW(LPWSTR name, DWORD length)
{
    g_nextVolume = 0;
    return NextFakeVolume(name, length) ? kFakeSearch : INVALID_HANDLE_VALUE;
}
BOOL WINAPI FakeFindNextVolumeW(HANDLE search, LPWSTR name, DWORD length)
{
    return search == kFakeSearch && NextFakeVolume(name, length);
}
BOOL WINAPI FakeFindVolumeClose(HANDLE search)
{
    g_searchClosed = search == kFakeSearch;
    return g_searchClosed;
}
DWORD WINAPI FakeQueryDosDeviceW(LPCWSTR name, LPWSTR device, DWORD length)
{
    if (name && g_deviceFailsFor == name) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return g_queryDevice->Original()(name, device, length);
}

// ---- lock requests and their waits ----------------------------------------------------------------

ImportPatch<decltype(::DeviceIoControl)>* g_control;
std::vector<DWORD> g_controlCodes;
HANDLE g_controlHandle;
int g_controlSucceedsAt = -1;  // the request (0-based) that succeeds; -1: none
BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    g_controlHandle = device;
    g_controlCodes.push_back(code);
    if (static_cast<int>(g_controlCodes.size()) - 1 == g_controlSucceedsAt)
        return TRUE;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
std::vector<DWORD> g_sleeps;
VOID WINAPI FakeSleep(DWORD ms)
{
    g_sleeps.push_back(ms);  // the test does not wait out 10 seconds of retries
}

class VolumeUtilities : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_driveC = VolumeOfDrive(L"C:\\");
        ASSERT_FALSE(m_driveC.empty());
        g_fakeVolume.clear();
        g_fakeList.clear();
        g_reportSizes.clear();
        g_askedSizes.clear();
        g_fakeReportedOnSuccess = 0;
        g_controlCodes.clear();
        g_sleeps.clear();
        g_controlSucceedsAt = -1;
        g_deviceFailsFor.clear();
        g_searchClosed = false;
    }

    std::wstring m_driveC;
};

TEST_F(VolumeUtilities, DirectoryExistsOnlyForDirectories)
{
    TempDir dir(L"volutil");
    ASSERT_TRUE(dir.IsValid());
    const std::wstring file = dir.WriteFile(L"file.txt", 10, 'x');
    struct Case { std::wstring path; BOOL exists; };
    const Case cases[] = {
        {dir.Path(), TRUE}, {dir.Path() + L"\\", TRUE}, {L"C:\\", TRUE},
        {file, FALSE}, {dir.Join(L"missing"), FALSE}, {L"", FALSE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DirectoryExists(c.path.c_str()), c.exists) << c.path;
    EXPECT_FALSE(DirectoryExists(nullptr));
}

TEST_F(VolumeUtilities, ClusterSizeAndFreeBytesOfARealVolumeAndOfNone)
{
    CVolume* volume = new CVolume(m_driveC);
    ULARGE_INTEGER available = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(m_driveC.c_str(), &available, nullptr, nullptr));
    const uint64_t freeBytes = GetFreeBytes(volume);
    const uint32_t cluster = GetClusterSize(volume);
    EXPECT_EQ(cluster, 4096u);  // 8 sectors of 512 bytes on Wine's drives
    // Other tests write beside this one: the figure moves, but not far.
    EXPECT_GT(freeBytes, 0u);
    EXPECT_LT(freeBytes > available.QuadPart ? freeBytes - available.QuadPart : available.QuadPart - freeBytes,
              uint64_t(1) << 30);
    DeleteVolume(volume);

    // A root that names nothing: both queries fail and give 0.
    CVolume* none = new CVolume(L"\\\\?\\Volume{00000000-0000-0000-0000-00000000dead}\\");
    EXPECT_EQ(GetClusterSize(none), 0u);
    EXPECT_EQ(GetFreeBytes(none), 0u);
    DeleteVolume(none);
    DeleteVolume(nullptr);
    EXPECT_EQ(GetClusterSize(nullptr), 0u);
    EXPECT_EQ(GetFreeBytes(nullptr), 0u);
}

TEST_F(VolumeUtilities, CloseVolumeHandleClosesARealHandleAndRefusesAnUnsetOne)
{
    CVolume volume(m_driveC);
    for (HANDLE unset : {HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_FALSE(CloseVolumeHandle(&volume, unset));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    HANDLE handle = OpenVolumeHandle(&volume, GENERIC_READ);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(handle, &flags));
    EXPECT_TRUE(CloseVolumeHandle(&volume, handle));
    EXPECT_FALSE(GetHandleInformation(handle, &flags));  // gone
}

TEST_F(VolumeUtilities, MountPathsOfARealVolumeAreAppended)
{
    std::vector<std::wstring> paths = {L"kept"};
    AppendMountPaths(m_driveC.c_str(), paths);
    ASSERT_GE(paths.size(), 2u);
    EXPECT_EQ(paths.front(), L"kept");
    EXPECT_TRUE(Contains(paths, L"C:\\"));

    const size_t before = paths.size();
    AppendMountPaths(L"\\\\?\\Volume{00000000-0000-0000-0000-00000000dead}\\", paths);
    AppendMountPaths(nullptr, paths);
    EXPECT_EQ(paths.size(), before);

    std::vector<std::wstring> all;
    EnumerateVolumeMountPaths(all);
    EXPECT_TRUE(Contains(all, L"C:\\"));
    EXPECT_TRUE(Contains(all, L"Z:\\"));
}

TEST_F(VolumeUtilities, MountPathListsThatGrowOrAreMalformedAreReadSafely)
{
    // Wine's volumes have one or two paths: the longer lists and the odd answers are the fake's.
    ImportPatch<decltype(::GetVolumePathNamesForVolumeNameW)> pathNames("GetVolumePathNamesForVolumeNameW",
                                                                         &FakeGetVolumePathNamesForVolumeNameW);
    g_pathNames = &pathNames;
    ASSERT_TRUE(pathNames.IsActive());
    g_fakeVolume = L"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";

    std::vector<std::wstring> many;
    for (int i = 0; i < 40; ++i)
        many.push_back(L"C:\\mounted\\folder number " + std::to_wstring(i) + L"\\");
    const std::vector<wchar_t> manyList = MultiString(many);
    ASSERT_GT(manyList.size(), 261u);

    struct Case {
        const char* what;
        std::vector<wchar_t> list;
        std::vector<DWORD> reports;  // counts the refusals report before the list's own size
        DWORD reportedOnSuccess;
        std::vector<std::wstring> expected;
        std::vector<DWORD> asked;
    };
    const DWORD manySize = static_cast<DWORD>(manyList.size());
    const Case cases[] = {
        {"a long list takes a second buffer of the reported size", manyList, {}, 0, many, {261, manySize}},
        {"a list that grows between calls takes a third", manyList, {manySize - 10}, 0, many,
         {261, manySize - 10, manySize}},
        {"a list that never stops growing is given up", manyList, {300, 400, 500, 600, 700, 800, 900}, 0, {},
         {261, 300, 400, 500, 600}},
        {"a refusal that reports no larger size ends it", manyList, {261}, 0, {}, {261}},
        {"a refusal that reports a huge size ends it, and nothing throws", manyList, {0xFFFFFFFFu}, 0, {}, {261}},
        {"a list without its closing NULs keeps only whole names",
         [] {
             std::vector<wchar_t> list = MultiString({L"A:\\", L"B:\\"}, false);
             list.pop_back();  // "B:\" loses its NUL too
             list.resize(261, L'x');
             return list;
         }(),
         {}, 0, {L"A:\\"}, {261}},
        {"a success count past the buffer is not believed", MultiString({L"D:\\"}), {}, 0xFFFFFFFFu, {L"D:\\"}, {261}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_fakeList = c.list;
        g_reportSizes = c.reports;
        g_fakeReportedOnSuccess = c.reportedOnSuccess;
        g_askedSizes.clear();
        std::vector<std::wstring> paths = {L"kept"};
        AppendMountPaths(g_fakeVolume.c_str(), paths);
        std::vector<std::wstring> expected = {L"kept"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(paths, expected);
        EXPECT_EQ(g_askedSizes, c.asked);
    }
}

TEST_F(VolumeUtilities, TheVolumeWalkSkipsVolumesWhoseNameOrDeviceFails)
{
    // Wine's volumes all answer: the failing ones are the fake's, around the real volume of drive C.
    ImportPatch<decltype(::FindFirstVolumeW)> first("FindFirstVolumeW", &FakeFindFirstVolumeW);
    ImportPatch<decltype(::FindNextVolumeW)> next("FindNextVolumeW", &FakeFindNextVolumeW);
    ImportPatch<decltype(::FindVolumeClose)> close("FindVolumeClose", &FakeFindVolumeClose);
    ImportPatch<decltype(::QueryDosDeviceW)> device("QueryDosDeviceW", &FakeQueryDosDeviceW);
    g_findFirst = &first;
    g_findNext = &next;
    g_findClose = &close;
    g_queryDevice = &device;
    ASSERT_TRUE(first.IsActive() && next.IsActive() && close.IsActive() && device.IsActive());

    const std::wstring noDevice = L"\\\\?\\Volume{22222222-2222-3333-4444-555555555555}\\";
    g_deviceFailsFor = noDevice.substr(4, noDevice.size() - 5);
    g_fakeVolumes = {L"Volume{33333333-2222-3333-4444-555555555555}\\",  // no "\\?\"
                     L"\\\\?\\Volume{44444444-2222-3333-4444-555555555555}",  // no trailing "\"
                     noDevice, m_driveC, VolumeOfDrive(L"Z:\\")};
    std::vector<std::wstring> paths;
    EnumerateVolumeMountPaths(paths);
    EXPECT_TRUE(Contains(paths, L"C:\\"));
    EXPECT_TRUE(Contains(paths, L"Z:\\"));
    EXPECT_EQ(g_nextVolume, g_fakeVolumes.size());
    EXPECT_TRUE(g_searchClosed);

    // No volume at all: nothing appended, nothing closed.
    g_fakeVolumes.clear();
    g_searchClosed = false;
    paths.clear();
    EnumerateVolumeMountPaths(paths);
    EXPECT_TRUE(paths.empty());
    EXPECT_FALSE(g_searchClosed);
}

TEST_F(VolumeUtilities, LockRetriesAFailingRequestAndUnlockDoesNot)
{
    // Wine grants every lock request, open files or not: the failures are the fake's, and so are the waits.
    ImportPatch<decltype(::DeviceIoControl)> control("DeviceIoControl", &FakeDeviceIoControl);
    ImportPatch<decltype(::Sleep)> sleep("Sleep", &FakeSleep);
    g_control = &control;
    ASSERT_TRUE(control.IsActive() && sleep.IsActive());
    CVolume volume(m_driveC);
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x1234));
    volume.m_hVolume = handle;
    volume.m_isLocked = 0;

    // Every request fails: 102 requests, 101 waits of 100 ms, and the record stays unlocked.
    EXPECT_FALSE(volume.Lock());
    EXPECT_EQ(g_controlCodes, std::vector<DWORD>(102, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(g_sleeps, std::vector<DWORD>(101, 100));
    EXPECT_EQ(g_controlHandle, handle);
    EXPECT_EQ(volume.m_isLocked, 0);

    // The third request succeeds: two waits.
    g_controlCodes.clear();
    g_sleeps.clear();
    g_controlSucceedsAt = 2;
    EXPECT_TRUE(volume.Lock());
    EXPECT_EQ(g_controlCodes.size(), 3u);
    EXPECT_EQ(g_sleeps, std::vector<DWORD>(2, 100));
    EXPECT_EQ(volume.m_isLocked, 1);

    // A failed unlock is not retried and leaves the record locked; a granted one unlocks it.
    g_controlCodes.clear();
    g_sleeps.clear();
    g_controlSucceedsAt = -1;
    EXPECT_FALSE(volume.Unlock());
    EXPECT_EQ(g_controlCodes, std::vector<DWORD>{FSCTL_UNLOCK_VOLUME});
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(volume.m_isLocked, 1);
    g_controlCodes.clear();
    g_controlSucceedsAt = 0;
    EXPECT_TRUE(volume.Unlock());
    EXPECT_EQ(volume.m_isLocked, 0);

    // An unset handle fails at once, without a request.
    g_controlCodes.clear();
    for (HANDLE unset : {HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
        volume.m_hVolume = unset;
        volume.m_isLocked = 1;
        SetLastError(0);
        EXPECT_FALSE(volume.Lock());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(volume.Unlock());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(volume.m_isLocked, 1);
    }
    EXPECT_TRUE(g_controlCodes.empty());
    EXPECT_TRUE(g_sleeps.empty());
}

}  // namespace
