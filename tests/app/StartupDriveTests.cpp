// The recycle-bin road of start-up on a real small drive (a tmpfs mapped to a drive letter): the real
// question and progress dialogs shred what the user's bin holds, then the bin is emptied. The shell's
// emptying is faked and recorded: under Wine it empties the Linux trash of HOME, not the drive's bin.
#include <windows.h>

#include <gtest/gtest.h>

#include <shellapi.h>

#include <set>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "app/res/resource.h"
#include "app/Settings.h"
#include "RequestEncoder.h"
#include "StartupTestUtil.h"
#include "TempDir.h"
#include "TestDrive.h"
#include "engine/RecycleBin.h"

namespace {

struct EmptyCall {
    HWND m_owner;
    std::wstring m_root;
    DWORD m_flags;
    int m_dialogWindows;     // dialog windows of the thread when the bin was emptied
    bool m_binItemsLeft;     // a shredded item of the user's bin still there then
};
std::vector<EmptyCall> g_emptyCalls;
std::vector<std::wstring> g_shredded;

HRESULT WINAPI FakeEmptyRecycleBin(HWND owner, LPCWSTR root, DWORD flags)
{
    int dialogs = 0;
    EnumThreadWindows(GetCurrentThreadId(), [](HWND window, LPARAM count) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (wcscmp(name, L"#32770") == 0)
            ++*reinterpret_cast<int*>(count);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&dialogs));
    bool left = false;
    for (const std::wstring& path : g_shredded)
        left = left || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    g_emptyCalls.push_back({owner, root ? root : L"", flags, dialogs, left});
    return S_OK;
}

ImportPatch<decltype(::GetFileAttributesW)>* g_attributes;
std::wstring g_link;

// Windows reports a junction or symbolic link as a reparse point; a Unix link under Wine looks like the
// folder it points to.
DWORD WINAPI FakeAttributes(LPCWSTR path)
{
    const DWORD real = g_attributes->Original()(path);
    if (real != INVALID_FILE_ATTRIBUTES && g_link == path)
        return real | FILE_ATTRIBUTE_REPARSE_POINT;
    return real;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFile(const std::wstring& path, size_t size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes(size, 'r');
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return true;
}

// The shell's recycle bin under Wine: the Linux trash of the test run's HOME (inside the build folder), as
// a Windows path; empty when the environment names no home. Wine hands the home over as WINEHOMEDIR, an
// NT path; XDG_DATA_HOME, where set, is a Linux path.
std::wstring LinuxTrashFolder()
{
    wchar_t value[1024] = {};
    std::wstring path;
    if (GetEnvironmentVariableW(L"XDG_DATA_HOME", value, 1024) && value[0] == L'/') {
        path = L"Z:" + std::wstring(value) + L"/Trash";
        for (wchar_t& c : path) {
            if (c == L'/')
                c = L'\\';
        }
    } else if (GetEnvironmentVariableW(L"WINEHOMEDIR", value, 1024) && wcsncmp(value, L"\\??\\", 4) == 0) {
        path = std::wstring(value + 4) + L"\\.local\\share\\Trash";
    }
    return path;
}

// An item put in the Linux trash as a desktop puts it there: its file under files\ and its record under
// info\. Removed again when the object goes, whatever happened to it.
class TrashedItem {
public:
    explicit TrashedItem(const std::wstring& name) : m_trash(LinuxTrashFolder())
    {
        if (m_trash.empty())
            return;
        // The trash and whatever of HOME's folders above it is missing; those made here go again.
        const std::wstring trash = m_trash + L"\\";
        for (size_t at = trash.find(L'\\', 3); at != std::wstring::npos; at = trash.find(L'\\', at + 1)) {
            const std::wstring folder = trash.substr(0, at);
            if (CreateDirectoryW(folder.c_str(), nullptr))
                m_madeFolders.push_back(folder);
        }
        for (const std::wstring& folder : {m_trash + L"\\files", m_trash + L"\\info"}) {
            if (CreateDirectoryW(folder.c_str(), nullptr))
                m_madeFolders.push_back(folder);
        }
        m_file = m_trash + L"\\files\\" + name;
        m_info = m_trash + L"\\info\\" + name + L".trashinfo";
        const std::string record = "[Trash Info]\nPath=/tmp/" + std::string(name.begin(), name.end()) +
                                   "\nDeletionDate=2026-01-02T03:04:05\n";
        m_made = MakeFile(m_file, 5000) && WriteText(m_info, record);
    }
    ~TrashedItem()
    {
        DeleteFileW(m_file.c_str());
        DeleteFileW(m_info.c_str());
        for (auto folder = m_madeFolders.rbegin(); folder != m_madeFolders.rend(); ++folder)
            RemoveDirectoryW(folder->c_str());
    }
    TrashedItem(const TrashedItem&) = delete;
    TrashedItem& operator=(const TrashedItem&) = delete;

    bool Made() const { return m_made; }
    const std::wstring& File() const { return m_file; }

private:
    static bool WriteText(const std::wstring& path, const std::string& text)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                        written == text.size();
        CloseHandle(file);
        return ok;
    }

    std::wstring m_trash, m_file, m_info;
    std::vector<std::wstring> m_madeFolders;
    bool m_made = false;
};

// What the shell counts in its recycle bin of every drive; -1 when it cannot tell.
long long ShellBinItems()
{
    SHQUERYRBINFO info{};
    info.cbSize = sizeof(info);
    return SUCCEEDED(SHQueryRecycleBinW(nullptr, &info)) ? info.i64NumItems : -1;
}

class RecycleBinRoad : public testing::Test {
protected:
    void SetUp() override
    {
        USE_SMALL_EMPTY_TEST_DRIVE(m_root, nullptr, nullptr);
        // Start-up walks every volume: the prefix's own drives must hold no recycle folder it could shred.
        for (const wchar_t* other : {L"C:\\", L"Z:\\"}) {
            for (const wchar_t* name : {L"$RECYCLE.BIN", L"RECYCLER", L"RECYCLED"})
                ASSERT_FALSE(Exists(std::wstring(other) + name));
        }
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        std::wstring sid;
        GetUserSidString(sid, token);
        ASSERT_FALSE(sid.empty());

        m_user = m_root + L"$RECYCLE.BIN\\" + sid;
        m_other = m_root + L"$RECYCLE.BIN\\S-1-5-21-7-7-7-1001";
        m_shared = m_root + L"RECYCLED";
        for (const std::wstring& folder : {m_root + L"$RECYCLE.BIN", m_user, m_other, m_shared})
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        m_shell = {m_user + L"\\desktop.ini", m_root + L"$RECYCLE.BIN\\desktop.ini"};
        m_theirs = {m_other + L"\\$RTHEIRS.txt"};
        for (const std::wstring& file : m_shell)
            ASSERT_TRUE(MakeFile(file, 20));
        for (const std::wstring& file : m_theirs)
            ASSERT_TRUE(MakeFile(file, 20));
        g_emptyCalls.clear();
        g_shredded.clear();
    }

    void TearDown() override
    {
        CancelScheduledActions();
        if (!m_systemBin.empty())
            TempDir::RemoveTree(m_systemBin);
        if (m_root.empty())
            return;
        for (const wchar_t* name : {L"$RECYCLE.BIN", L"RECYCLER", L"RECYCLED"})
            TempDir::RemoveTree(m_root + name);
    }

    // The user's deleted items: two files, a deleted folder with a tree, and an item of the shared folder.
    void FillUsersBin()
    {
        ASSERT_TRUE(CreateDirectoryW((m_user + L"\\$RDIR1").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((m_user + L"\\$RDIR1\\inner").c_str(), nullptr));
        m_mine = {m_user + L"\\$RAB12.txt", m_user + L"\\$IAB12.txt", m_user + L"\\$RDIR1\\inner\\deep.txt",
                  m_user + L"\\$RDIR1"};
        m_sharedItems = {m_shared + L"\\Dc1.txt"};
        for (const std::wstring& file : {m_mine[0], m_mine[1], m_mine[2], m_sharedItems[0]})
            ASSERT_TRUE(MakeFile(file, 5000));
    }

    StartupRun Run(int answer, RecordingDialogs& dialogs, StartupWatch*& watchOut)
    {
        m_mapping = std::make_unique<RequestMapping>(std::vector<uint8_t>{0, 1});
        m_watch.reset();
        m_watch = std::make_unique<StartupWatch>(answer);
        watchOut = m_watch.get();
        return RunStartup(m_mapping->Name(), dialogs);
    }

    std::wstring m_root, m_user, m_other, m_shared;
    std::wstring m_systemBin;   // C:'s recycle folder, where a test made one
    std::vector<std::wstring> m_shell, m_theirs, m_mine, m_sharedItems;
    std::unique_ptr<RequestMapping> m_mapping;
    std::unique_ptr<StartupWatch> m_watch;
};

}

TEST_F(RecycleBinRoad, ShredsTheUsersBinThenEmptiesItOnceTheDialogIsGone)
{
    FillUsersBin();
    g_shredded = m_mine;
    ImportPatch<decltype(::SHEmptyRecycleBinW)> empty("SHEmptyRecycleBinW", &FakeEmptyRecycleBin);
    ASSERT_TRUE(empty.IsActive());

    RecordingDialogs dialogs;
    StartupWatch* watch = nullptr;
    Run(IDOK, dialogs, watch);
    EXPECT_EQ(1, m_mapping->Acknowledge());
    EXPECT_EQ(std::vector<std::wstring>{L"Empty Recycle Bin"}, watch->m_questions);
    EXPECT_TRUE(watch->m_boxes.empty());
    ASSERT_EQ(2u, dialogs.m_calls.size());
    EXPECT_EQ(L"list job", dialogs.m_calls[1].m_what);
    EXPECT_TRUE(dialogs.m_calls[1].m_flag) << "recycle-bin mode";
    EXPECT_EQ((std::set<std::wstring>{m_user + L"\\$RDIR1"}),
              std::set<std::wstring>(dialogs.m_calls[1].m_folders.begin(), dialogs.m_calls[1].m_folders.end()));
    EXPECT_EQ(IDOK, dialogs.m_calls[1].m_result);

    for (const std::wstring& gone : m_mine)
        EXPECT_FALSE(Exists(gone));
    for (const std::wstring& gone : m_sharedItems)
        EXPECT_FALSE(Exists(gone));
    for (const std::wstring& kept : m_shell)
        EXPECT_TRUE(Exists(kept)) << "the shell's own file";
    for (const std::wstring& kept : m_theirs)
        EXPECT_TRUE(Exists(kept)) << "another user's bin";

    ASSERT_EQ(1u, g_emptyCalls.size());
    EXPECT_EQ(nullptr, g_emptyCalls[0].m_owner);
    EXPECT_EQ(L"", g_emptyCalls[0].m_root);
    EXPECT_EQ(static_cast<DWORD>(SHERB_NOCONFIRMATION | SHERB_NOPROGRESSUI | SHERB_NOSOUND), g_emptyCalls[0].m_flags);
    EXPECT_EQ(0, g_emptyCalls[0].m_dialogWindows) << "the progress dialog is destroyed first";
    EXPECT_FALSE(g_emptyCalls[0].m_binItemsLeft) << "its jobs have ended first";
}

TEST_F(RecycleBinRoad, ALinkInTheBinIsNotFollowedAndTheBinIsNotEmptied)
{
    FillUsersBin();
    ImportPatch<decltype(::SHEmptyRecycleBinW)> empty("SHEmptyRecycleBinW", &FakeEmptyRecycleBin);
    ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &FakeAttributes);
    g_attributes = &attributes;
    ASSERT_TRUE(empty.IsActive() && attributes.IsActive());
    g_link = m_shared;

    RecordingDialogs dialogs;
    StartupWatch* watch = nullptr;
    Run(IDOK, dialogs, watch);
    g_link.clear();
    ASSERT_EQ(2u, dialogs.m_calls.size());
    EXPECT_EQ(IDOK, dialogs.m_calls[1].m_result);
    for (const std::wstring& gone : m_mine)
        EXPECT_FALSE(Exists(gone));
    for (const std::wstring& kept : m_sharedItems)
        EXPECT_TRUE(Exists(kept)) << "nothing behind the link is touched";
    EXPECT_TRUE(g_emptyCalls.empty()) << "emptying would destroy what lies behind the link unshredded";
    ASSERT_EQ(1u, watch->m_boxes.size()) << "the user is told the bin was not emptied";
    EXPECT_EQ(ResourceText(IDS_BIN_NOT_EMPTIED), watch->m_boxes[0].m_text);
}

TEST_F(RecycleBinRoad, ABinItemThatFailsToShredKeepsTheBinUnemptied)
{
    FillUsersBin();
    ImportPatch<decltype(::SHEmptyRecycleBinW)> empty("SHEmptyRecycleBinW", &FakeEmptyRecycleBin);
    ASSERT_TRUE(empty.IsActive());
    ASSERT_EQ(0, ShellBinItems()) << "the shell's own bin holds nothing here";
    // Held open without sharing, the item cannot be opened for its overwrite: the job fails at it.
    HANDLE held = CreateFileW(m_mine[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    RecordingDialogs dialogs;
    StartupWatch* watch = nullptr;
    Run(IDOK, dialogs, watch);
    CloseHandle(held);
    EXPECT_EQ(std::vector<std::wstring>{L"Empty Recycle Bin"}, watch->m_questions);
    ASSERT_EQ(2u, dialogs.m_calls.size());
    EXPECT_EQ(IDCANCEL, dialogs.m_calls[1].m_result) << "the failure ends the progress dialog";
    EXPECT_EQ(1u, watch->m_boxes.size()) << "the failure's box";
    EXPECT_TRUE(Exists(m_mine[0])) << "the item that failed is still in the bin";
    EXPECT_TRUE(g_emptyCalls.empty()) << "emptying would destroy the failed item unshredded";
}

TEST_F(RecycleBinRoad, AnItemOfTheShellsBinThatWasNotListedKeepsTheBinAndIsToldOf)
{
    // Under Wine the shell's bin is the Linux trash, which no recycle folder of a drive shows; the drive C:
    // of the prefix holds one deleted item of the user, so that there is something to shred.
    TrashedItem trashed(L"pellumar-trashed-marker.txt");
    ASSERT_TRUE(trashed.Made());
    ASSERT_EQ(1, ShellBinItems()) << "the shell counts the trashed item";
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::wstring sid;
    GetUserSidString(sid, token);
    m_systemBin = L"C:\\$Recycle.Bin";
    const std::wstring systemUser = m_systemBin + L"\\" + sid;
    ASSERT_TRUE(CreateDirectoryW(m_systemBin.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(systemUser.c_str(), nullptr));
    const std::wstring listed = systemUser + L"\\$RSYS01.txt";
    ASSERT_TRUE(MakeFile(listed, 5000));

    // The shell's own emptying runs for real: it would destroy the trashed item unshredded.
    RecordingDialogs dialogs;
    StartupWatch* watch = nullptr;
    Run(IDOK, dialogs, watch);
    EXPECT_EQ(std::vector<std::wstring>{L"Empty Recycle Bin"}, watch->m_questions);
    ASSERT_EQ(2u, dialogs.m_calls.size());
    EXPECT_EQ(IDOK, dialogs.m_calls[1].m_result);
    EXPECT_FALSE(Exists(listed)) << "the listed item is shredded";
    EXPECT_TRUE(Exists(trashed.File())) << "the trashed item is left, not emptied unshredded";
    EXPECT_EQ(1, ShellBinItems());
    ASSERT_EQ(1u, watch->m_boxes.size());
    EXPECT_EQ(ResourceText(IDS_BIN_NOT_EMPTIED), watch->m_boxes[0].m_text);
    EXPECT_TRUE(watch->m_boxes[0].m_hasIcon);
}

TEST_F(RecycleBinRoad, ABinThatOnlyTheShellSeesIsToldOfWithNothingAskedOrEmptied)
{
    // No recycle folder of a drive holds anything of the user's: only the Linux trash (the shell's bin
    // under Wine) holds an item. The listing is empty, but the bin is not.
    ImportPatch<decltype(::SHEmptyRecycleBinW)> empty("SHEmptyRecycleBinW", &FakeEmptyRecycleBin);
    ASSERT_TRUE(empty.IsActive());
    TrashedItem trashed(L"pellumar-only-trashed-marker.txt");
    ASSERT_TRUE(trashed.Made());
    ASSERT_EQ(1, ShellBinItems());

    RecordingDialogs dialogs;
    StartupWatch* watch = nullptr;
    Run(IDOK, dialogs, watch);
    EXPECT_TRUE(dialogs.m_calls.empty()) << "nothing to confirm or shred";
    EXPECT_TRUE(watch->m_questions.empty());
    ASSERT_EQ(1u, watch->m_boxes.size()) << "the bin's items that were not shredded are told of";
    EXPECT_EQ(ResourceText(IDS_BIN_NOT_EMPTIED), watch->m_boxes[0].m_text);
    EXPECT_TRUE(Exists(trashed.File()));
    EXPECT_TRUE(g_emptyCalls.empty());
}

TEST_F(RecycleBinRoad, CancelOrAnEmptyBinShredsNothingAndEmptiesNothing)
{
    ImportPatch<decltype(::SHEmptyRecycleBinW)> empty("SHEmptyRecycleBinW", &FakeEmptyRecycleBin);
    ASSERT_TRUE(empty.IsActive());
    {
        SCOPED_TRACE("bin with only the shell's files and another user's");
        RecordingDialogs dialogs;
        StartupWatch* watch = nullptr;
        Run(IDOK, dialogs, watch);
        EXPECT_TRUE(dialogs.m_calls.empty()) << "no question";
        EXPECT_TRUE(watch->m_questions.empty());
    }
    FillUsersBin();
    {
        SCOPED_TRACE("cancel");
        RecordingDialogs dialogs;
        StartupWatch* watch = nullptr;
        Run(IDCANCEL, dialogs, watch);
        ASSERT_EQ(1u, dialogs.m_calls.size());
        EXPECT_EQ(IDCANCEL, dialogs.m_calls[0].m_result);
        for (const std::wstring& kept : m_mine)
            EXPECT_TRUE(Exists(kept));
    }
    EXPECT_TRUE(g_emptyCalls.empty());
}

TEST(FreeSpaceRoad, WipesTheDrivesFreeSpaceBehindTheRealDialogs)
{
    std::wstring root;
    uint64_t capacity = 0, free = 0;
    USE_SMALL_EMPTY_TEST_DRIVE(root, &capacity, &free);

    // One pass of zeros keeps the fill of the small drive quick; the stored method is put back afterwards.
    CGeneralSettings stored;
    stored.Serialize(true);
    CGeneralSettings quick = stored;
    quick.m_deleteMethod = 1;
    ASSERT_TRUE(quick.Serialize(false));

    RequestImage image;
    image.m_freeSpace = true;
    image.m_folders = {root};
    RequestMapping mapping(EncodeShellRequest(image));
    RecordingDialogs dialogs;
    StartupWatch watch(IDOK);
    RunStartup(mapping.Name(), dialogs);
    stored.Serialize(false);

    EXPECT_EQ(std::vector<std::wstring>{L"Delete File"}, watch.m_questions);
    EXPECT_TRUE(watch.m_boxes.empty());
    ASSERT_EQ(2u, dialogs.m_calls.size());
    EXPECT_EQ(TRUE, dialogs.m_calls[0].m_freeSpace);
    EXPECT_EQ(L"free-space job", dialogs.m_calls[1].m_what);
    EXPECT_EQ(root, dialogs.m_calls[1].m_path);
    EXPECT_EQ(IDOK, dialogs.m_calls[1].m_result);
    EXPECT_TRUE(DriveIsEmpty(root)) << "the fill files are gone";
    EXPECT_EQ(free, DriveFreeBytes(root));
    CancelScheduledActions();
}
