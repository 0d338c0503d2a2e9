// Volume utilities against the Wine prefix's real drives, and, through the import seam, against the
// answers that only other volumes give (FAT12/FAT16, NTFS volume data, network shares, mount points).
#include <windows.h>
#include <winioctl.h>
#include <winnetwk.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "TempDir.h"
#include "libcommon/Volume.h"

namespace {

std::wstring VolumeOfDriveC()
{
    wchar_t name[50] = {};
    if (!GetVolumeNameForVolumeMountPointW(L"C:\\", name, 50))
        return std::wstring();
    return name;
}

std::wstring WithBackslash(std::wstring path)
{
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    return path;
}

// ---- fakes: each one answers for the paths a test names and hands everything else to the system ----

// Volume information: the file-system name to report for one root.
ImportPatch<decltype(::GetVolumeInformationW)>* g_volumeInformation;
std::wstring g_fakeFileSystemRoot;
std::wstring g_fakeFileSystem;
BOOL WINAPI FakeGetVolumeInformationW(LPCWSTR root, LPWSTR label, DWORD labelLength, LPDWORD serial,
                                      LPDWORD componentLength, LPDWORD flags, LPWSTR fileSystem,
                                      DWORD fileSystemLength)
{
    const BOOL ok = g_volumeInformation->Original()(root, label, labelLength, serial, componentLength, flags,
                                                    fileSystem, fileSystemLength);
    if (ok && root && g_fakeFileSystemRoot == root && fileSystem)
        lstrcpynW(fileSystem, g_fakeFileSystem.c_str(), static_cast<int>(fileSystemLength));
    return ok;
}

// Disk geometry: total clusters to report, or a failure.
ImportPatch<decltype(::GetDiskFreeSpaceW)>* g_diskFreeSpace;
DWORD g_fakeTotalClusters;
bool g_failDiskFreeSpace;
BOOL WINAPI FakeGetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                                  LPDWORD freeClusters, LPDWORD totalClusters)
{
    if (g_failDiskFreeSpace) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    const BOOL ok = g_diskFreeSpace->Original()(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
    if (ok && totalClusters)
        *totalClusters = g_fakeTotalClusters;
    return ok;
}

// Control requests: NTFS volume data and reparse data, as NTFS answers them.
ImportPatch<decltype(::DeviceIoControl)>* g_deviceIoControl;
DWORD g_fakeRecordSize;             // 0: the request fails with g_fakeRecordError
DWORD g_fakeRecordError = ERROR_INVALID_FUNCTION;
std::vector<BYTE> g_fakeReparseData;  // empty: not a reparse point
BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (code == FSCTL_GET_NTFS_VOLUME_DATA) {
        if (g_fakeRecordSize == 0) {
            SetLastError(g_fakeRecordError);
            return FALSE;
        }
        NTFS_VOLUME_DATA_BUFFER data = {};
        data.BytesPerSector = 512;
        data.BytesPerCluster = 4096;
        data.BytesPerFileRecordSegment = g_fakeRecordSize;
        std::memcpy(out, &data, outSize < sizeof data ? outSize : sizeof data);
        *returned = sizeof data;
        return TRUE;
    }
    if (code == FSCTL_GET_REPARSE_POINT && !g_fakeReparseData.empty()) {
        std::memcpy(out, g_fakeReparseData.data(), g_fakeReparseData.size());
        *returned = static_cast<DWORD>(g_fakeReparseData.size());
        return TRUE;
    }
    return g_deviceIoControl->Original()(device, code, in, inSize, out, outSize, returned, overlapped);
}

// Attributes: extra bits (FILE_ATTRIBUTE_REPARSE_POINT) for one path, and directories that do not exist.
ImportPatch<decltype(::GetFileAttributesW)>* g_fileAttributes;
std::map<std::wstring, DWORD> g_extraAttributes;  // key without trailing "\"
DWORD WINAPI FakeGetFileAttributesW(LPCWSTR path)
{
    std::wstring key = path;
    if (key.size() > 3 && key.back() == L'\\')
        key.pop_back();
    auto found = g_extraAttributes.find(key);
    if (found != g_extraAttributes.end() && found->second & 0x80000000u)
        return found->second & ~0x80000000u;  // a path the system does not have
    const DWORD real = g_fileAttributes->Original()(path);
    if (found != g_extraAttributes.end() && real != INVALID_FILE_ATTRIBUTES)
        return real | found->second;
    return real;
}
constexpr DWORD kFakeOnly = 0x80000000u;

// Mount-point queries: the error to give below the drive root, and volume names for chosen folders.
ImportPatch<decltype(::GetVolumeNameForVolumeMountPointW)>* g_mountPoint;
bool g_mountPointFails;  // false: the system answers
DWORD g_mountPointError;
bool g_failRootToo;
std::map<std::wstring, std::wstring> g_mountedVolumes;  // folder with "\" -> volume GUID path
std::vector<std::wstring> g_mountPointQueries;
BOOL WINAPI FakeGetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR volumeName, DWORD length)
{
    g_mountPointQueries.push_back(mountPoint);
    auto mounted = g_mountedVolumes.find(mountPoint);
    if (mounted != g_mountedVolumes.end()) {
        lstrcpynW(volumeName, mounted->second.c_str(), static_cast<int>(length));
        return TRUE;
    }
    const bool isRoot = std::wstring(mountPoint).size() == 3;
    if (g_mountPointFails && (!isRoot || g_failRootToo)) {
        SetLastError(g_mountPointError);
        return FALSE;
    }
    return g_mountPoint->Original()(mountPoint, volumeName, length);
}

// Drive types: DRIVE_REMOTE for every path that begins with a prefix.
ImportPatch<decltype(::GetDriveTypeW)>* g_driveType;
std::vector<std::wstring> g_remotePrefixes;
UINT WINAPI FakeGetDriveTypeW(LPCWSTR root)
{
    if (root) {
        const std::wstring path = root;
        for (const std::wstring& prefix : g_remotePrefixes) {
            if (path.compare(0, prefix.size(), prefix) == 0)
                return DRIVE_REMOTE;
        }
    }
    return g_driveType->Original()(root);
}

// Connections of mapped drives: local name -> remote name or error.
std::map<std::wstring, std::wstring> g_connections;
DWORD g_connectionError = ERROR_BAD_DEVICE;
std::vector<std::wstring> g_connectionQueries;
DWORD WINAPI FakeWNetGetConnectionW(LPCWSTR local, LPWSTR remote, LPDWORD length)
{
    g_connectionQueries.push_back(local);
    auto found = g_connections.find(local);
    if (found == g_connections.end())
        return g_connectionError;
    lstrcpynW(remote, found->second.c_str(), static_cast<int>(*length));
    return NO_ERROR;
}

// Mount-path lists: the multi-string to give, and how many characters it needs.
ImportPatch<decltype(::GetVolumePathNamesForVolumeNameW)>* g_pathNames;
std::vector<wchar_t> g_fakePathNames;  // whole multi-string with its closing NULs
bool g_failRetry;
std::vector<DWORD> g_pathNameLengths;
BOOL WINAPI FakeGetVolumePathNamesForVolumeNameW(LPCWSTR, LPWCH names, DWORD length, PDWORD returned)
{
    g_pathNameLengths.push_back(length);
    const DWORD needed = static_cast<DWORD>(g_fakePathNames.size());
    if (length < needed || (g_failRetry && g_pathNameLengths.size() > 1)) {
        *returned = needed;
        SetLastError(g_failRetry && g_pathNameLengths.size() > 1 ? ERROR_INVALID_PARAMETER : ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(names, g_fakePathNames.data(), needed * sizeof(wchar_t));
    *returned = needed;
    return TRUE;
}

std::vector<wchar_t> MultiString(const std::vector<std::wstring>& names)
{
    std::vector<wchar_t> text;
    for (const std::wstring& name : names) {
        text.insert(text.end(), name.begin(), name.end());
        text.push_back(L'\0');
    }
    text.push_back(L'\0');
    return text;
}

// A network of containers and disks: WNetOpenEnumW on a resource enumerates its children once.
struct FakeResource {
    std::wstring m_remote;
    std::wstring m_local;
    DWORD m_usage;
    std::vector<std::wstring> m_children;  // remote names
};
std::map<std::wstring, FakeResource> g_network;  // by remote name; L"" is the top level
std::vector<std::wstring> g_opened;              // remote names of the resources enumerated
DWORD g_closeError;
DWORD g_enumError = ERROR_NO_MORE_ITEMS;
struct FakeEnumeration {
    std::wstring m_node;
    bool m_done = false;
};
DWORD WINAPI FakeWNetOpenEnumW(DWORD, DWORD, DWORD, LPNETRESOURCEW resource, LPHANDLE handle)
{
    const std::wstring node = resource && resource->lpRemoteName ? resource->lpRemoteName : L"";
    g_opened.push_back(node);
    if (!g_network.count(node))
        return ERROR_BAD_NET_NAME;
    *handle = new FakeEnumeration{node};
    return NO_ERROR;
}
DWORD WINAPI FakeWNetEnumResourceW(HANDLE handle, LPDWORD count, LPVOID buffer, LPDWORD bytes)
{
    auto* enumeration = static_cast<FakeEnumeration*>(handle);
    if (enumeration->m_done)
        return g_enumError;
    enumeration->m_done = true;
    const FakeResource& node = g_network[enumeration->m_node];
    const DWORD n = static_cast<DWORD>(node.m_children.size());
    auto* entries = static_cast<NETRESOURCEW*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(entries + n);
    auto place = [&](const std::wstring& value) -> LPWSTR {
        if (value.empty())
            return nullptr;
        LPWSTR at = text;
        std::memcpy(text, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
        text += value.size() + 1;
        return at;
    };
    for (DWORD i = 0; i < n; ++i) {
        const FakeResource& child = g_network[node.m_children[i]];
        entries[i] = NETRESOURCEW{};
        entries[i].dwScope = RESOURCE_GLOBALNET;
        entries[i].dwType = RESOURCETYPE_DISK;
        entries[i].dwUsage = child.m_usage;
        entries[i].lpRemoteName = place(child.m_remote);
        entries[i].lpLocalName = place(child.m_local);
    }
    EXPECT_LE(reinterpret_cast<BYTE*>(text) - static_cast<BYTE*>(buffer), static_cast<ptrdiff_t>(*bytes));
    *count = n;
    return NO_ERROR;
}
DWORD WINAPI FakeWNetCloseEnum(HANDLE handle)
{
    delete static_cast<FakeEnumeration*>(handle);
    return g_closeError;
}

// key: the remote name, unless given (two resources of one name, or none).
void AddResource(const std::wstring& parent, const std::wstring& remote, const std::wstring& local, DWORD usage,
                 const std::wstring& key = std::wstring())
{
    const std::wstring id = key.empty() ? remote : key;
    g_network[id] = FakeResource{remote, local, usage, {}};
    g_network[parent].m_children.push_back(id);
}

class Volumes : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.IsValid());
        m_driveC = VolumeOfDriveC();
        ASSERT_FALSE(m_driveC.empty());
        g_fakeFileSystemRoot.clear();
        g_fakeFileSystem.clear();
        g_fakeTotalClusters = 0;
        g_failDiskFreeSpace = false;
        g_fakeRecordSize = 0;
        g_fakeRecordError = ERROR_INVALID_FUNCTION;
        g_fakeReparseData.clear();
        g_extraAttributes.clear();
        g_mountPointFails = false;
        g_mountPointError = 0;
        g_failRootToo = false;
        g_mountedVolumes.clear();
        g_mountPointQueries.clear();
        g_remotePrefixes.clear();
        g_connections.clear();
        g_connectionError = ERROR_BAD_DEVICE;
        g_connectionQueries.clear();
        g_fakePathNames.clear();
        g_failRetry = false;
        g_pathNameLengths.clear();
        g_network.clear();
        g_network[L""] = FakeResource{};
        g_opened.clear();
        g_closeError = NO_ERROR;
        g_enumError = ERROR_NO_MORE_ITEMS;
    }

    TempDir m_temp{L"volumes"};
    std::wstring m_driveC;
};

}  // namespace

// ---- describing a volume ----

TEST_F(Volumes, TheVolumeOfDriveCIsDescribed)
{
    CVolume volume(m_driveC);
    EXPECT_EQ(volume.m_root, m_driveC);
    EXPECT_EQ(volume.m_isValid, 1);
    EXPECT_EQ(volume.m_isRemote, 0);
    EXPECT_FALSE(volume.m_fileSystem.empty());
    EXPECT_EQ(volume.m_device.rfind(L"\\Device\\", 0), 0u) << volume.m_device;
    EXPECT_EQ(volume.m_isFat, 0);  // Wine reports NTFS for its drives
}

TEST_F(Volumes, RootsThatAreNoVolumeOrSharePathAreNotDescribed)
{
    const std::wstring noTrailingBackslash = m_driveC.substr(0, m_driveC.size() - 1);
    for (const std::wstring& root : {std::wstring(L"C:\\"), std::wstring(L"C:"), noTrailingBackslash,
                                     std::wstring(L"relative\\"), std::wstring(L"\\single\\")}) {
        CVolume volume(root);
        EXPECT_EQ(volume.m_root, root);
        EXPECT_EQ(volume.m_isValid, 0) << root;
        EXPECT_TRUE(volume.m_label.empty() && volume.m_device.empty() && volume.m_fileSystem.empty()) << root;
        EXPECT_EQ(volume.m_isFat, 0) << root;
    }
    // The drive flags still follow the drive type.
    CVolume driveRoot(L"C:\\");
    EXPECT_EQ(driveRoot.m_isFixed, GetDriveTypeW(L"C:\\") == DRIVE_FIXED ? 1 : 0);
    EXPECT_EQ(driveRoot.m_isRemote, 0);
}

// Wine reports NTFS for every drive and the real cluster count; FAT volumes are faked by their file-system
// name and cluster count.
TEST_F(Volumes, FatIsRefinedToFat12OrFat16ByItsClusterCount)
{
    ImportPatch<decltype(::GetVolumeInformationW)> information("GetVolumeInformationW", &FakeGetVolumeInformationW);
    ImportPatch<decltype(::GetDiskFreeSpaceW)> space("GetDiskFreeSpaceW", &FakeGetDiskFreeSpaceW);
    g_volumeInformation = &information;
    g_diskFreeSpace = &space;
    ASSERT_TRUE(information.IsActive() && space.IsActive());

    struct Case {
        const wchar_t* m_reported;
        DWORD m_clusters;
        bool m_geometryFails;
        const wchar_t* m_expected;
        int32_t m_isFat;
    };
    const Case cases[] = {
        {L"FAT", 4080, false, L"FAT12", 1},  {L"FAT", 4081, false, L"FAT16", 1}, {L"FAT", 1, false, L"FAT12", 1},
        {L"FAT", 65524, false, L"FAT16", 1}, {L"FAT", 0, true, L"FAT", 1},       {L"FAT32", 100, false, L"FAT32", 0},
        {L"exFAT", 100, false, L"exFAT", 0}, {L"NTFS", 100, false, L"NTFS", 0},
    };
    for (const Case& c : cases) {
        g_fakeFileSystemRoot = m_driveC;
        g_fakeFileSystem = c.m_reported;
        g_fakeTotalClusters = c.m_clusters;
        g_failDiskFreeSpace = c.m_geometryFails;
        CVolume volume(m_driveC);
        EXPECT_EQ(volume.m_isValid, 1);
        EXPECT_EQ(volume.m_fileSystem, c.m_expected) << c.m_reported << " " << c.m_clusters;
        EXPECT_EQ(volume.m_isFat, c.m_isFat) << c.m_reported << " " << c.m_clusters;
    }
}

// ---- NTFS file-record size ----

TEST_F(Volumes, FileRecordSizeComesFromTheNtfsVolumeData)
{
    // Wine answers FSCTL_GET_NTFS_VOLUME_DATA with ERROR_NOT_SUPPORTED; the NTFS answer is faked.
    ImportPatch<decltype(::DeviceIoControl)> control("DeviceIoControl", &FakeDeviceIoControl);
    g_deviceIoControl = &control;
    ASSERT_TRUE(control.IsActive());

    CVolume volume(m_driveC);
    uint64_t size = 7;
    g_fakeRecordSize = 1024;
    EXPECT_EQ(GetFileRecordSize(&volume, &size), 1);
    EXPECT_EQ(size, 1024u);
    g_fakeRecordSize = 4096;
    EXPECT_EQ(GetFileRecordSize(&volume, &size), 1);  // opened anew, nothing cached
    EXPECT_EQ(size, 4096u);

    // A volume that is not NTFS (FAT32, exFAT) refuses the request: 0, size untouched, its error kept.
    g_fakeRecordSize = 0;
    g_fakeRecordError = ERROR_INVALID_FUNCTION;
    size = 7;
    EXPECT_EQ(GetFileRecordSize(&volume, &size), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(size, 7u);
}

// The size the shred's pre-pass and the record phase fill: the volume's answer; on NTFS that does not
// answer (Wine, always) the usual 1,024 bytes; on other file systems none.
TEST_F(Volumes, TheRecordSizeToFillIsTheUsualOneOnAnNtfsVolumeThatDoesNotTellIt)
{
    ImportPatch<decltype(::DeviceIoControl)> control("DeviceIoControl", &FakeDeviceIoControl);
    g_deviceIoControl = &control;
    ASSERT_TRUE(control.IsActive());
    const struct {
        const char* m_what;
        const wchar_t* m_fileSystem;  // nullptr: as described (Wine: NTFS)
        DWORD m_answer;               // 0: the request fails
        int m_result;
        uint64_t m_size;
    } cases[] = {
        {"NTFS that tells", nullptr, 4096, 1, 4096},
        {"NTFS that does not tell", nullptr, 0, 1, 1024},
        {"ntfs by another spelling", L"ntfs", 0, 1, 1024},
        {"FAT32", L"FAT32", 0, 0, 7},
        {"exFAT", L"exFAT", 0, 0, 7},
        {"no file system read", L"", 0, 0, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        CVolume volume(m_driveC);
        if (!c.m_fileSystem) {
            ASSERT_EQ(volume.m_fileSystem, L"NTFS");
        } else {
            volume.m_fileSystem = c.m_fileSystem;
        }
        g_fakeRecordSize = c.m_answer;
        g_fakeRecordError = ERROR_INVALID_FUNCTION;
        uint64_t size = 7;
        EXPECT_EQ(GetFileRecordSizeToFill(&volume, &size), c.m_result);
        EXPECT_EQ(size, c.m_size);
        if (c.m_result == 0) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        }
    }
}

TEST_F(Volumes, FileRecordSizeFailsWhenTheVolumeCannotBeOpened)
{
    CVolume missing(L"\\\\?\\Volume{00000000-0000-0000-0000-0000000000ff}\\");
    uint64_t size = 7;
    EXPECT_EQ(GetFileRecordSize(&missing, &size), 0);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(size, 7u);
    HANDLE handle = OpenVolumeHandle(&missing, 0x20);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);

    CVolume driveC(m_driveC);
    handle = OpenVolumeHandle(&driveC, 0x20);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// ---- mount paths ----

TEST_F(Volumes, MountPathsOfDriveCsVolumeNameC)
{
    CVolume volume(m_driveC);
    std::vector<std::wstring> paths{L"kept"};
    volume.GetMountPaths(paths);
    ASSERT_GE(paths.size(), 2u);
    EXPECT_EQ(paths[0], L"kept");  // appended, never cleared
    EXPECT_NE(std::find(paths.begin(), paths.end(), L"C:\\"), paths.end());
}

// The first attempt's 1024 characters suffice for every Wine volume; a longer list is faked.
TEST_F(Volumes, AMountPathListLongerThanTheFirstBufferIsReadWithASecond)
{
    ImportPatch<decltype(::GetVolumePathNamesForVolumeNameW)> names("GetVolumePathNamesForVolumeNameW",
                                                                   &FakeGetVolumePathNamesForVolumeNameW);
    g_pathNames = &names;
    ASSERT_TRUE(names.IsActive());
    std::vector<std::wstring> expected{L"C:\\"};
    for (int i = 0; i < 40; ++i)
        expected.push_back(L"C:\\mounted\\folder-with-a-long-name-number-" + std::to_wstring(i) + L"\\");
    g_fakePathNames = MultiString(expected);
    ASSERT_GT(g_fakePathNames.size(), 1024u);

    CVolume volume(m_driveC);
    std::vector<std::wstring> paths;
    volume.GetMountPaths(paths);
    EXPECT_EQ(paths, expected);
    ASSERT_EQ(g_pathNameLengths.size(), 2u);
    EXPECT_EQ(g_pathNameLengths[0], 1024u);
    EXPECT_EQ(g_pathNameLengths[1], g_fakePathNames.size());

    // When the second attempt fails too, there are no paths.
    g_failRetry = true;
    g_pathNameLengths.clear();
    paths.clear();
    volume.GetMountPaths(paths);
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(g_pathNameLengths.size(), 2u);

    // A volume with no drive letter and no mounted folder: an empty multi-string.
    g_failRetry = false;
    g_fakePathNames = MultiString({});
    volume.GetMountPaths(paths);
    EXPECT_TRUE(paths.empty());
}

TEST_F(Volumes, WithoutANetworkTheEnumerationSaysSoAndAddsNothing)
{
    // Wine has no network provider: WNetOpenEnumW answers ERROR_NO_NETWORK (1222).
    CVolume volume(L"\\\\server\\share\\");
    std::vector<std::wstring> paths;
    testing::internal::CaptureStdout();
    const int result = EnumerateNetworkResources(&volume, L"\\\\server\\share\\", nullptr, paths);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(printed.rfind("WnetOpenEnum failed with error ", 0), 0u) << printed;
    EXPECT_EQ(printed.back(), '\n');
}

// A network is faked: Wine has none.
TEST_F(Volumes, ARemoteVolumesMountPathsAreTheLocalNamesOfItsShareAnywhereInTheNetwork)
{
    ImportPatch<decltype(::WNetOpenEnumW)> open("WNetOpenEnumW", &FakeWNetOpenEnumW);
    ImportPatch<decltype(::WNetEnumResourceW)> enumerate("WNetEnumResourceW", &FakeWNetEnumResourceW);
    ImportPatch<decltype(::WNetCloseEnum)> close("WNetCloseEnum", &FakeWNetCloseEnum);
    ImportPatch<decltype(::GetDriveTypeW)> type("GetDriveTypeW", &FakeGetDriveTypeW);
    g_driveType = &type;
    ASSERT_TRUE(open.IsActive() && enumerate.IsActive() && close.IsActive() && type.IsActive());

    AddResource(L"", L"Microsoft Windows Network", L"", RESOURCEUSAGE_CONTAINER);
    AddResource(L"Microsoft Windows Network", L"WORKGROUP", L"", RESOURCEUSAGE_CONTAINER);
    AddResource(L"WORKGROUP", L"\\\\SERVER", L"", RESOURCEUSAGE_CONTAINER);
    AddResource(L"\\\\SERVER", L"\\\\SERVER\\share", L"Z:", RESOURCEUSAGE_CONNECTABLE);
    AddResource(L"\\\\SERVER", L"\\\\SERVER\\other", L"Y:", RESOURCEUSAGE_CONNECTABLE);
    AddResource(L"\\\\SERVER", L"\\\\server\\share", L"W:", RESOURCEUSAGE_CONNECTABLE);  // case differs
    AddResource(L"\\\\SERVER", L"\\\\SERVER\\share\\", L"X:", RESOURCEUSAGE_CONNECTABLE);
    AddResource(L"\\\\SERVER", L"", L"V:", RESOURCEUSAGE_CONNECTABLE, L"nameless");
    AddResource(L"WORKGROUP", L"\\\\SERVER\\share", L"", RESOURCEUSAGE_CONNECTABLE, L"no local name");

    g_remotePrefixes = {L"\\\\SERVER\\"};
    CVolume volume(L"\\\\SERVER\\share\\");
    EXPECT_EQ(volume.m_isRemote, 1);
    std::vector<std::wstring> paths;
    testing::internal::CaptureStdout();
    volume.GetMountPaths(paths);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"Z:", L"X:"}));
    EXPECT_EQ(printed, "");
    // Each container was handed on as the system gave it (its remote name without an added "\").
    EXPECT_EQ(g_opened, (std::vector<std::wstring>{L"", L"Microsoft Windows Network", L"WORKGROUP", L"\\\\SERVER"}));

    // A failure deeper down is reported and the walk goes on; a failed close fails the level.
    g_opened.clear();
    g_closeError = ERROR_ACCESS_DENIED;
    g_enumError = ERROR_ACCESS_DENIED;
    paths.clear();
    testing::internal::CaptureStdout();
    const int result = EnumerateNetworkResources(&volume, L"\\\\SERVER\\share\\", nullptr, paths);
    const std::string failures = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"Z:", L"X:"}));
    EXPECT_NE(failures.find("WNetEnumResource failed with error 5\n"), std::string::npos) << failures;
    EXPECT_NE(failures.find("WNetCloseEnum failed with error 5\n"), std::string::npos) << failures;
    EXPECT_NE(failures.find("EnumerateFunc returned FALSE\n"), std::string::npos) << failures;
}

// ---- all volumes ----

TEST_F(Volumes, EveryVolumeOfTheMachineIsCollectedAndDestroyed)
{
    wchar_t name[kVolumeNameLength] = {};
    HANDLE search = FindFirstVolumeW(name, kVolumeNameLength);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    VolumeList volumes;
    CollectVolumes(volumes, name, search);
    ASSERT_FALSE(volumes.empty());
    bool foundDriveC = false;
    for (const CVolume* volume : volumes) {
        EXPECT_EQ(volume->m_root.rfind(L"\\\\?\\Volume{", 0), 0u) << volume->m_root;
        if (volume->m_root == m_driveC) {
            foundDriveC = true;
            EXPECT_EQ(volume->m_isValid, 1);
        }
    }
    EXPECT_TRUE(foundDriveC);
    DestroyVolumeList(volumes);
    EXPECT_TRUE(volumes.empty());
}

// ---- the volume of a folder ----

TEST_F(Volumes, OnlyAnExistingFolderHasAVolume)
{
    const std::wstring file = m_temp.WriteFile(L"file.txt", 10, 0x41);
    ASSERT_FALSE(file.empty());
    for (const std::wstring& given : {file, m_temp.Join(L"missing"), std::wstring()}) {
        std::wstring path = given;
        std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
        EXPECT_EQ(volume, nullptr) << given;
        EXPECT_EQ(path, given);
    }
}

TEST_F(Volumes, ADeepFolderWalksUpToItsDriveRoot)
{
    const std::wstring deep = m_temp.MakeFolder(L"a\\b\\c");
    ASSERT_FALSE(deep.empty());
    for (const std::wstring& given : {deep, deep + L"\\"}) {
        std::wstring path = given;
        std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
        ASSERT_NE(volume, nullptr) << given;
        EXPECT_EQ(volume->m_root, m_driveC);
        EXPECT_EQ(volume->m_isValid, 1);
        EXPECT_EQ(path, L"C:\\");
    }
}

// Windows answers ERROR_NOT_A_REPARSE_POINT below a root, Wine ERROR_MORE_DATA or the same; the other
// answers of the mount-point query are faked.
TEST_F(Volumes, TheMountPointAnswerDecidesWhetherTheWalkGoesOn)
{
    ImportPatch<decltype(::GetVolumeNameForVolumeMountPointW)> mountPoint("GetVolumeNameForVolumeMountPointW",
                                                                       &FakeGetVolumeNameForVolumeMountPointW);
    g_mountPoint = &mountPoint;
    ASSERT_TRUE(mountPoint.IsActive());
    const std::wstring deep = m_temp.MakeFolder(L"x\\y");
    ASSERT_FALSE(deep.empty());

    enum Outcome { WalksUpToRoot, RecordOfCandidate, NoVolume };
    const struct {
        DWORD m_error;
        Outcome m_outcome;
    } cases[] = {
        {ERROR_INVALID_FUNCTION, WalksUpToRoot},   {ERROR_FILE_NOT_FOUND, WalksUpToRoot},
        {ERROR_PATH_NOT_FOUND, WalksUpToRoot},     {ERROR_NOT_A_REPARSE_POINT, WalksUpToRoot},
        {ERROR_MORE_DATA, WalksUpToRoot},          {ERROR_INVALID_PARAMETER, RecordOfCandidate},
        {ERROR_ACCESS_DENIED, NoVolume},           {ERROR_SUCCESS, NoVolume},
    };
    for (const auto& c : cases) {
        g_mountPointFails = true;
        g_mountPointError = c.m_error;  // ERROR_SUCCESS: a failure that leaves no error code at all
        std::wstring path = deep;
        std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
        switch (c.m_outcome) {
        case WalksUpToRoot:
            ASSERT_NE(volume, nullptr) << c.m_error;
            EXPECT_EQ(volume->m_root, m_driveC) << c.m_error;
            EXPECT_EQ(path, L"C:\\") << c.m_error;
            break;
        case RecordOfCandidate:
            ASSERT_NE(volume, nullptr) << c.m_error;
            EXPECT_EQ(volume->m_root, deep + L"\\");
            EXPECT_EQ(volume->m_isValid, 0);  // not a path beginning with two backslashes
            EXPECT_EQ(path, deep);
            break;
        case NoVolume:
            EXPECT_EQ(volume, nullptr) << c.m_error;
            break;
        }
    }

    // A root that still asks to walk up ends the walk: there is nothing left to remove.
    g_mountPointFails = true;
    g_mountPointError = ERROR_NOT_A_REPARSE_POINT;
    g_failRootToo = true;
    g_mountPointQueries.clear();
    std::wstring path = deep;
    std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
    EXPECT_EQ(volume, nullptr);
    ASSERT_FALSE(g_mountPointQueries.empty());
    EXPECT_EQ(g_mountPointQueries.back(), L"C:\\");
    EXPECT_LT(g_mountPointQueries.size(), 20u);
}

// Network drives are faked: Wine has none.
TEST_F(Volumes, AFolderOfAMappedDriveHasTheVolumeOfItsConnection)
{
    ImportPatch<decltype(::GetDriveTypeW)> type("GetDriveTypeW", &FakeGetDriveTypeW);
    ImportPatch<decltype(::WNetGetConnectionW)> connection("WNetGetConnectionW", &FakeWNetGetConnectionW);
    g_driveType = &type;
    ASSERT_TRUE(type.IsActive() && connection.IsActive());
    const std::wstring deep = m_temp.MakeFolder(L"mapped\\deep");
    ASSERT_FALSE(deep.empty());
    g_remotePrefixes = {L"C:", L"\\\\server\\"};

    // The folders below the drive are no device (ERROR_BAD_DEVICE): the walk goes up to the drive.
    g_connections[L"C:"] = L"\\\\server\\share";
    std::wstring path = deep;
    std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->m_root, L"\\\\server\\share\\");
    EXPECT_EQ(volume->m_isRemote, 1);
    EXPECT_EQ(path, L"C:\\");
    ASSERT_FALSE(g_connectionQueries.empty());
    EXPECT_EQ(g_connectionQueries.front(), deep);
    EXPECT_EQ(g_connectionQueries.back(), L"C:");

    // Any other answer ends the walk without a volume.
    g_connections.clear();
    g_connectionError = ERROR_NOT_CONNECTED;
    path = deep;
    volume.reset(GetVolumeForPath(path));
    EXPECT_EQ(volume, nullptr);
}

// A share is faked: Wine has none.
TEST_F(Volumes, AFolderOfAShareHasTheWholeSharePathAsItsVolume)
{
    ImportPatch<decltype(::GetDriveTypeW)> type("GetDriveTypeW", &FakeGetDriveTypeW);
    ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &FakeGetFileAttributesW);
    g_driveType = &type;
    g_fileAttributes = &attributes;
    ASSERT_TRUE(type.IsActive() && attributes.IsActive());
    g_remotePrefixes = {L"\\\\server\\"};
    g_extraAttributes[L"\\\\server\\share\\a\\b"] = kFakeOnly | FILE_ATTRIBUTE_DIRECTORY;

    std::wstring path = L"\\\\server\\share\\a\\b";
    std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->m_root, L"\\\\server\\share\\a\\b\\");
    EXPECT_EQ(volume->m_isRemote, 1);
}

namespace {

std::vector<BYTE> ReparseBuffer(DWORD tag, const std::wstring& substitute, ULONG symlinkFlags = 0)
{
    const bool isSymlink = tag == IO_REPARSE_TAG_SYMLINK;
    const WORD nameBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    const size_t header = 8;
    const size_t fields = 8 + (isSymlink ? 4 : 0);
    std::vector<BYTE> data(header + fields + nameBytes + sizeof(wchar_t), 0);
    auto put16 = [&](size_t at, WORD value) { std::memcpy(&data[at], &value, 2); };
    std::memcpy(&data[0], &tag, 4);
    put16(4, static_cast<WORD>(data.size() - header));
    put16(8, 0);           // substitute name offset
    put16(10, nameBytes);  // substitute name length
    put16(12, nameBytes);  // print name offset (empty print name)
    put16(14, 0);
    if (isSymlink)
        std::memcpy(&data[16], &symlinkFlags, 4);
    std::memcpy(&data[header + fields], substitute.data(), nameBytes);
    return data;
}

}  // namespace

// Wine 8 neither makes junctions nor reports the reparse data of a link: both are faked.
TEST_F(Volumes, AFolderLinkIsFollowedToTheVolumeItLeadsTo)
{
    ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &FakeGetFileAttributesW);
    ImportPatch<decltype(::DeviceIoControl)> control("DeviceIoControl", &FakeDeviceIoControl);
    ImportPatch<decltype(::GetVolumeNameForVolumeMountPointW)> mountPoint("GetVolumeNameForVolumeMountPointW",
                                                                       &FakeGetVolumeNameForVolumeMountPointW);
    g_fileAttributes = &attributes;
    g_deviceIoControl = &control;
    g_mountPoint = &mountPoint;
    ASSERT_TRUE(attributes.IsActive() && control.IsActive() && mountPoint.IsActive());

    const std::wstring link = m_temp.MakeFolder(L"parent\\link");
    const std::wstring inside = m_temp.MakeFolder(L"parent\\link\\inside");
    const std::wstring other = m_temp.MakeFolder(L"other\\place");
    ASSERT_FALSE(link.empty() || inside.empty() || other.empty());
    const std::wstring otherVolume = L"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";
    g_extraAttributes[link] = FILE_ATTRIBUTE_REPARSE_POINT;
    g_mountedVolumes[WithBackslash(m_temp.Join(L"other"))] = otherVolume;

    const std::wstring mountedGuid = L"Volume{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}\\";
    // Below the folders that name a volume the mount-point query answers as on Windows.
    g_mountPointFails = true;
    g_mountPointError = ERROR_NOT_A_REPARSE_POINT;
    const std::wstring letterless = L"\\\\?\\Volume{99999999-8888-7777-6666-555555555555}";
    g_mountedVolumes[letterless + L"\\"] = letterless + L"\\";
    const struct {
        const char* m_what;
        std::vector<BYTE> m_data;
        std::wstring m_root;
        std::wstring m_pathAfter;
    } cases[] = {
        {"volume mount point", ReparseBuffer(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\" + mountedGuid),
         L"\\\\?\\" + mountedGuid, link},
        {"junction", ReparseBuffer(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\" + other), otherVolume,
         m_temp.Join(L"other")},
        {"absolute symbolic link", ReparseBuffer(IO_REPARSE_TAG_SYMLINK, L"\\??\\" + other), otherVolume,
         m_temp.Join(L"other")},
        {"relative symbolic link", ReparseBuffer(IO_REPARSE_TAG_SYMLINK, L"..\\other\\place", 1), otherVolume,
         m_temp.Join(L"other")},
        {"junction into a volume without a drive letter",
         ReparseBuffer(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\" + letterless.substr(4) + L"\\data\\deep"),
         letterless + L"\\", letterless},
    };
    for (const auto& c : cases) {
        g_fakeReparseData = c.m_data;
        std::wstring path = inside;  // the walk meets the link on its way up
        std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
        ASSERT_NE(volume, nullptr) << c.m_what;
        EXPECT_EQ(volume->m_root, c.m_root) << c.m_what;
        EXPECT_EQ(path, c.m_pathAfter) << c.m_what;
    }

    // A link whose data cannot be read (as every link under Wine) is walked as a plain folder.
    g_fakeReparseData.clear();
    std::wstring path = inside;
    std::unique_ptr<CVolume> volume(GetVolumeForPath(path));
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->m_root, m_driveC);
}
