// The recycle-bin enumeration on a real small drive (a tmpfs mapped to a drive letter): the user's SID
// folder, other users' folders, deleted folders, the shell's desktop.ini, a FAT-style shared recycle
// folder. Links and broken listings are shown by fakes of the file API, because under Wine a Unix link
// looks like the folder it points to and a listing cannot be made to fail halfway.
#include <gtest/gtest.h>

#include <objbase.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "ImportPatch.h"
#include "TempDir.h"
#include "TestDrive.h"
#include "UnixSide.h"
#include "engine/RecycleBin.h"

namespace {

std::wstring CurrentUserSid()
{
    HANDLE token = nullptr;
    std::wstring sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        GetUserSidString(sid, token);
    return sid;
}

bool MakeFolder(const std::wstring& path)
{
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool MakeFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, "bin", 3, &written, nullptr);
    CloseHandle(file);
    return true;
}

std::set<std::wstring> AsSet(const PathList& list)
{
    return std::set<std::wstring>(list.begin(), list.end());
}

// The drive with a recycle bin laid out as Windows keeps it, plus a FAT-style shared one; emptied again
// at the end, as the drive script requires.
class RecycleBinDrive : public testing::Test {
protected:
    void SetUp() override
    {
        USE_SMALL_EMPTY_TEST_DRIVE(m_root, nullptr, nullptr);
        m_sid = CurrentUserSid();
        ASSERT_FALSE(m_sid.empty());
        // The enumeration walks every volume; the prefix's own drives must hold no recycle folder.
        for (const wchar_t* other : {L"C:\\", L"Z:\\"}) {
            for (const wchar_t* name : {L"$RECYCLE.BIN", L"RECYCLER", L"RECYCLED"})
                ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((std::wstring(other) + name).c_str()));
        }

        m_bin = m_root + L"$RECYCLE.BIN";
        m_user = m_bin + L"\\" + m_sid;
        m_other = m_bin + L"\\S-1-5-21-7-7-7-1001";
        m_shared = m_root + L"RECYCLED";
        for (const std::wstring& folder : {m_bin, m_user, m_user + L"\\$RDIR1", m_user + L"\\$RDIR1\\inner", m_other,
                                           m_other + L"\\$RKEEP", m_shared, m_shared + L"\\Dc2",
                                           m_shared + L"\\S-1-5-21-7-7-7-500"})
            ASSERT_TRUE(MakeFolder(folder));
        for (const std::wstring& file :
             {m_user + L"\\$RAB12.txt", m_user + L"\\$IAB12.txt", m_user + L"\\desktop.ini",
              m_user + L"\\$RDIR1\\in.txt", m_user + L"\\$RDIR1\\inner\\deep.txt", m_bin + L"\\desktop.ini",
              m_other + L"\\$RXY.txt", m_other + L"\\$RKEEP\\kept.txt", m_shared + L"\\Dc1.txt",
              m_shared + L"\\DESKTOP.INI", m_shared + L"\\Dc2\\in.txt",
              m_shared + L"\\S-1-5-21-7-7-7-500\\theirs.txt"})
            ASSERT_TRUE(MakeFile(file));
    }

    void TearDown() override
    {
        if (m_root.empty())
            return;
        for (const wchar_t* name : {L"$RECYCLE.BIN", L"RECYCLER", L"RECYCLED"})
            TempDir::RemoveTree(m_root + name);
    }

    // What the drive's bin holds directly, as the enumeration must list it.
    std::set<std::wstring> ExpectedFiles() const
    {
        return {m_user + L"\\$RAB12.txt", m_user + L"\\$IAB12.txt", m_shared + L"\\Dc1.txt"};
    }
    std::set<std::wstring> ExpectedFolders() const { return {m_user + L"\\$RDIR1", m_shared + L"\\Dc2"}; }

    std::wstring m_root, m_sid, m_bin, m_user, m_other, m_shared;
};

}

TEST(RecycleBinPaths, JoinPathAndSid)
{
    EXPECT_EQ(L"", JoinPath(L"", L"x"));
    EXPECT_EQ(L"C:\\x", JoinPath(L"C:\\", L"x"));
    EXPECT_EQ(L"C:\\a\\x", JoinPath(L"C:\\a", L"x"));
    EXPECT_EQ(L"C:\\a\\", JoinPath(L"C:\\a", L""));

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::wstring sid = L"stale";
    GetUserSidString(sid, token);
    EXPECT_EQ(0u, sid.rfind(L"S-1-", 0)) << "a SID string";
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(token, &flags)) << "the token is closed";

    // A handle that is no token gives no SID.
    sid = L"stale";
    GetUserSidString(sid, nullptr);
    EXPECT_TRUE(sid.empty());
}

TEST_F(RecycleBinDrive, ListsTheUsersItemsAndDeletedFoldersOnly)
{
    PathList files{L"C:\\kept\\earlier"}, folders;
    EXPECT_EQ(1, CollectRecycleBinFiles(files, folders));
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(L"C:\\kept\\earlier", files.front()) << "entries already in the list stay first";
    files.erase(files.begin());
    EXPECT_EQ(ExpectedFiles(), AsSet(files));
    EXPECT_EQ(ExpectedFolders(), AsSet(folders));
    EXPECT_EQ(files.size(), AsSet(files).size()) << "nothing listed twice";
    // The user's SID folder sorts before RECYCLED and is listed first.
    EXPECT_EQ(0u, files.front().rfind(m_user, 0));
}

// Linux allows a backslash in a name, and Wine lists it as it stands: joined plainly, "..\$RSTOLEN.txt"
// in the user's folder would address a file in the recycle folder above it. Such an entry is never
// listed, and the bin is not listed whole.
TEST_F(RecycleBinDrive, ANameThatCannotBeJoinedToItsFolderIsNeverListed)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its names on the Unix side of the Wine prefix";
    const std::wstring above = m_bin + L"\\$RSTOLEN.txt";
    ASSERT_TRUE(MakeFile(above));
    ASSERT_TRUE(CopyToUnixName(above, m_user, L"..\\$RSTOLEN.txt"));
    PathList files, folders;
    EXPECT_EQ(0, CollectRecycleBinFiles(files, folders));
    EXPECT_EQ(ExpectedFiles(), AsSet(files)) << "the other items are still listed, the odd one not";
    EXPECT_EQ(ExpectedFolders(), AsSet(folders));
    EXPECT_TRUE(RemoveUnixTree(m_user));
}

namespace {

// Reports chosen folders as reparse points, as Windows does for a junction or a symbolic link.
ImportPatch<decltype(::GetFileAttributesW)>* g_attributes;
std::set<std::wstring> g_links;

DWORD WINAPI FakeAttributes(LPCWSTR path)
{
    const DWORD real = g_attributes->Original()(path);
    if (real != INVALID_FILE_ATTRIBUTES && g_links.count(path))
        return real | FILE_ATTRIBUTE_REPARSE_POINT;
    return real;
}

}

TEST_F(RecycleBinDrive, NeverFollowsALinkAndSaysTheBinIsIncomplete)
{
    ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &FakeAttributes);
    g_attributes = &attributes;
    ASSERT_TRUE(attributes.IsActive());

    struct LinkCase {
        const char* name;
        std::wstring link;
        std::set<std::wstring> files, folders;
    };
    const LinkCase cases[] = {
        // A link in place of the user's SID folder: neither it nor the shared folder above it is listed.
        {"SID folder is a link", m_user, {m_shared + L"\\Dc1.txt"}, {m_shared + L"\\Dc2"}},
        // A recycle folder that is a link is passed over whole.
        {"recycle folder is a link", m_shared, {m_user + L"\\$RAB12.txt", m_user + L"\\$IAB12.txt"},
         {m_user + L"\\$RDIR1"}},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_links = {c.link};
        PathList files, folders;
        EXPECT_EQ(0, CollectRecycleBinFiles(files, folders));
        EXPECT_EQ(c.files, AsSet(files));
        EXPECT_EQ(c.folders, AsSet(folders));
    }
    g_links.clear();
}

namespace {

ImportPatch<decltype(::FindFirstFileW)>* g_findFirst;
std::wstring g_refusedPattern;

HANDLE WINAPI FakeFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    if (g_refusedPattern == pattern) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return g_findFirst->Original()(pattern, data);
}

ImportPatch<decltype(::FindNextFileW)>* g_findNext;
int g_nextCalls = 0;

// The second entry of every listing breaks the listing off, as a failing network volume or a folder
// removed meanwhile would.
BOOL WINAPI FakeFindNext(HANDLE search, LPWIN32_FIND_DATAW data)
{
    if (++g_nextCalls == 3) {
        SetLastError(ERROR_UNEXP_NET_ERR);
        return FALSE;
    }
    return g_findNext->Original()(search, data);
}

}

TEST_F(RecycleBinDrive, AListingThatFailsOrBreaksOffIsReported)
{
    {
        ImportPatch<decltype(::FindFirstFileW)> findFirst("FindFirstFileW", &FakeFindFirst);
        g_findFirst = &findFirst;
        ASSERT_TRUE(findFirst.IsActive());
        g_refusedPattern = m_shared + L"\\*";
        PathList files, folders;
        EXPECT_EQ(0, CollectRecycleBinFiles(files, folders));
        EXPECT_EQ((std::set<std::wstring>{m_user + L"\\$RAB12.txt", m_user + L"\\$IAB12.txt"}), AsSet(files))
            << "the other folders are still listed";
    }
    {
        ImportPatch<decltype(::FindNextFileW)> findNext("FindNextFileW", &FakeFindNext);
        g_findNext = &findNext;
        ASSERT_TRUE(findNext.IsActive());
        g_nextCalls = 0;
        PathList files, folders;
        EXPECT_EQ(0, CollectRecycleBinFiles(files, folders));
    }
}

namespace {

// The shell's recycle-bin known folder has no file-system path under Wine; this stands in for one that
// has, reached through GetProcAddress as the enumeration looks it up.
ImportPatch<decltype(::GetProcAddress)>* g_procAddress;
ImportPatch<decltype(::CoTaskMemFree)>* g_taskFree;
std::wstring g_knownFolder;
HRESULT g_knownFolderResult = S_OK;
std::map<void*, int> g_freed;

HRESULT WINAPI FakeKnownFolderPath(REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path)
{
    EXPECT_TRUE(IsEqualGUID(id, FOLDERID_RecycleBinFolder));
    const size_t bytes = (g_knownFolder.size() + 1) * sizeof(wchar_t);
    *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
    memcpy(*path, g_knownFolder.c_str(), bytes);
    g_freed[*path] = 0;
    return g_knownFolderResult;
}

FARPROC WINAPI FakeProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && strcmp(name, "SHGetKnownFolderPath") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeKnownFolderPath));
    return g_procAddress->Original()(module, name);
}

void WINAPI FakeTaskFree(void* block)
{
    if (g_freed.count(block))
        ++g_freed[block];
    g_taskFree->Original()(block);
}

}

TEST_F(RecycleBinDrive, KnownFolderAddsItsFoldersOnceAndIsAlwaysFreed)
{
    ASSERT_TRUE(LoadLibraryW(L"shell32.dll"));
    ImportPatch<decltype(::GetProcAddress)> procAddress("GetProcAddress", &FakeProcAddress);
    ImportPatch<decltype(::CoTaskMemFree)> taskFree("CoTaskMemFree", &FakeTaskFree);
    g_procAddress = &procAddress;
    g_taskFree = &taskFree;
    ASSERT_TRUE(procAddress.IsActive());
    ASSERT_TRUE(taskFree.IsActive());

    // The known folder names the test drive's RECYCLED folder once more, in another case and with a
    // trailing backslash: listed once. The drive root also adds its top recycle folder, which holds only
    // the shell's desktop.ini and other users' folders.
    std::wstring lower = m_root;
    for (wchar_t& c : lower)
        c = towlower(c);
    g_knownFolder = lower;
    g_knownFolderResult = S_OK;
    g_freed.clear();
    PathList files, folders;
    EXPECT_EQ(1, CollectRecycleBinFiles(files, folders));
    EXPECT_EQ(ExpectedFiles(), AsSet(files));
    EXPECT_EQ(files.size(), ExpectedFiles().size()) << "a folder reached twice is listed once";
    EXPECT_EQ(ExpectedFolders(), AsSet(folders));
    ASSERT_EQ(1u, g_freed.size());
    EXPECT_EQ(1, g_freed.begin()->second);

    // A failing call that still set a path: nothing added, the path freed.
    g_knownFolderResult = E_FAIL;
    g_freed.clear();
    files.clear();
    folders.clear();
    EXPECT_EQ(1, CollectRecycleBinFiles(files, folders));
    EXPECT_EQ(ExpectedFiles(), AsSet(files));
    ASSERT_EQ(1u, g_freed.size());
    EXPECT_EQ(1, g_freed.begin()->second);
}

namespace {

ImportPatch<decltype(::FindFirstVolumeW)>* g_firstVolume;
DWORD g_errorModeSeen = 0;

HANDLE WINAPI FakeFirstVolume(LPWSTR name, DWORD length)
{
    g_errorModeSeen = GetThreadErrorMode();
    return g_firstVolume->Original()(name, length);
}

}

// The walk touches every volume, removable drives without a disk included: the system must not ask the
// user to insert one. (Wine shows no such box; the error mode in force during the walk shows it.)
TEST(RecycleBinPaths, NoCriticalErrorBoxesDuringTheWalk)
{
    ImportPatch<decltype(::FindFirstVolumeW)> firstVolume("FindFirstVolumeW", &FakeFirstVolume);
    g_firstVolume = &firstVolume;
    ASSERT_TRUE(firstVolume.IsActive());
    const DWORD before = GetThreadErrorMode();
    PathList files, folders;
    CollectRecycleBinFiles(files, folders);
    EXPECT_TRUE(g_errorModeSeen & SEM_FAILCRITICALERRORS);
    EXPECT_EQ(before, GetThreadErrorMode()) << "restored afterwards";
}
