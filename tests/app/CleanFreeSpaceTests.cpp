// The free-space job thread on the prefix's C: drive, with the drive's answers faked (FreeSpaceFakes): that
// drive is a folder of the machine's disk, where Wine never runs out of room, so a real fill there would
// fill the machine's disk. The whole job on a real small drive is in CleanFreeSpaceDriveTests.cpp.
#include <gtest/gtest.h>

#include <rpc.h>
#include <shellapi.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FreeSpaceFakes.h"
#include "JobTestUtil.h"
#include "ImportPatch.h"
#include "MessageSink.h"
#include "TempDir.h"
#include "app/jobs/CleanFreeSpaceThread.h"
#include "engine/FreeSpace.h"

namespace {

constexpr uint64_t KiB = 1024;

bool IsUuidText(const std::wstring& s)
{
    if (s.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const wchar_t c = s[i];
        if (hyphen ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
            return false;
        }
    }
    return true;
}

// Entries directly under the root that are named like this job's folders.
std::set<std::wstring> UuidFoldersIn(const std::wstring& root)
{
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (IsUuidText(data.cFileName)) {
            names.insert(data.cFileName);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

std::vector<UINT> MessageOrder(const MessageSink& sink)
{
    std::vector<UINT> order;
    for (const MessageSink::Message& m : sink.Messages()) {
        if (m.m_msg == WM_DELETE_PROGRESS && !order.empty() && order.back() == WM_DELETE_PROGRESS) {
            continue;
        }
        order.push_back(m.m_msg == WM_RESIDENT_PHASE ? WM_RESIDENT_PHASE + (m.m_flag ? 0x100 : 0) : m.m_msg);
    }
    return order;
}

// WM_RESIDENT_PHASE with 1 and with 0, told apart in MessageOrder.
constexpr UINT kPhaseOn = WM_RESIDENT_PHASE + 0x100;
constexpr UINT kPhaseOff = WM_RESIDENT_PHASE;

// The fill's folder, as the progress reports name the fill files: everything before the last "\".
std::wstring FolderOfFirstFillFile(const MessageSink& sink)
{
    for (const DeleteProgress& p : sink.Progress()) {
        return p.m_name.substr(0, p.m_name.rfind(L'\\'));
    }
    return std::wstring();
}

// Counts SHFileOperationW calls; fails the first `failures` of them without deleting anything.
ImportPatch<decltype(::SHFileOperationW)>* g_shellPatch = nullptr;
int g_shellCalls = 0;
int g_shellFailures = 0;
std::vector<UINT> g_shellFlags;

int WINAPI FakeSHFileOperationW(LPSHFILEOPSTRUCTW operation)
{
    ++g_shellCalls;
    g_shellFlags.push_back(operation->fFlags);
    if (g_shellCalls <= g_shellFailures) {
        return 0x7C;  // DE_INVALIDFILES
    }
    return g_shellPatch->Original()(operation);
}

class CleanFreeSpaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_before = UuidFoldersIn(L"C:\\");
        // Files this job makes lie under C:\<uuid>\; the test makes none of its own there.
        m_fakes.reset(new FreeSpaceFakes(L"C:"));
        ASSERT_TRUE(m_fakes->IsActive());
        m_shell.reset(new ImportPatch<decltype(::SHFileOperationW)>("SHFileOperationW", &FakeSHFileOperationW));
        ASSERT_TRUE(m_shell->IsActive());
        g_shellPatch = m_shell.get();
        g_shellCalls = 0;
        g_shellFailures = 0;
        g_shellFlags.clear();
    }

    void TearDown() override
    {
        m_shell.reset();
        m_fakes.reset();
        // Whatever a failed test left behind.
        for (const std::wstring& name : UuidFoldersIn(L"C:\\")) {
            if (!m_before.count(name)) {
                TempDir::RemoveTree(L"C:\\" + name);
            }
        }
    }

    // Starts the job as the progress dialog does and waits for its end. True when the thread ended.
    bool RunJob(CleanFreeSpaceThread& job, int32_t method)
    {
        job.m_hWnd = m_sink.Handle();
        job.m_method = method;
        // Posting never waits for the receiver: the messages queue up until the job has ended.
        const bool ended = RunJobToEnd(job, 60000);
        m_sink.Pump();
        return ended;
    }

    std::set<std::wstring> NewFolders() const
    {
        std::set<std::wstring> added;
        for (const std::wstring& name : UuidFoldersIn(L"C:\\")) {
            if (!m_before.count(name)) {
                added.insert(name);
            }
        }
        return added;
    }

    std::set<std::wstring> m_before;
    std::unique_ptr<FreeSpaceFakes> m_fakes;
    std::unique_ptr<ImportPatch<decltype(::SHFileOperationW)>> m_shell;
    MessageSink m_sink;
};

TEST(MakeUniqueFolderNameTest, NamesAFolderDirectlyUnderTheRoot)
{
    struct Case {
        const wchar_t* drive;
        const wchar_t* root;
    } cases[] = {{L"C:\\", L"C:\\"}, {L"C:", L"C:\\"}, {L"\\\\?\\Volume{x}\\", L"\\\\?\\Volume{x}\\"}};
    for (const Case& c : cases) {
        CString first, second;
        ASSERT_EQ(1, MakeUniqueFolderName(c.drive, first));
        ASSERT_EQ(1, MakeUniqueFolderName(c.drive, second));
        const std::wstring root(c.root);
        for (const CString* name : {&first, &second}) {
            EXPECT_EQ(root, name->Str().substr(0, root.size()));
            EXPECT_TRUE(IsUuidText(name->Str().substr(root.size()))) << name->GetString();
        }
        EXPECT_NE(first.Str(), second.Str());
    }
    CString none = L"unchanged";
    EXPECT_EQ(0, MakeUniqueFolderName(L"", none));
    EXPECT_EQ(L"unchanged", none.Str());
}

RPC_STATUS RPC_ENTRY FailingUuidCreate(UUID* uuid)
{
    *uuid = {};
    return RPC_S_UUID_LOCAL_ONLY;  // a UUID unique only on this machine is not taken either
}

TEST(MakeUniqueFolderNameTest, NoUuidNoName)
{
    ImportPatch<decltype(::UuidCreate)> patch("UuidCreate", &FailingUuidCreate);
    ASSERT_TRUE(patch.IsActive());
    CString name = L"unchanged";
    EXPECT_EQ(0, MakeUniqueFolderName(L"C:\\", name));
    EXPECT_EQ(L"unchanged", name.Str());
}

TEST_F(CleanFreeSpaceTest, WipesTheDriveAndLeavesNothing)
{
    // NTFS with 1024-byte records; the drive takes one fill file and three small files.
    for (const wchar_t* drive : {L"C:\\"}) {
        SCOPED_TRACE(drive);
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(L"C:"));
        m_fakes->SetFreeBytes({40 * KiB, 0});
        m_fakes->SetRecordSize(1024);
        m_fakes->FailCreatesAfter(1 + 3);
        m_sink.Clear();
        g_shellCalls = 0;
        g_shellFlags.clear();

        CleanFreeSpaceThread job(drive);
        ASSERT_TRUE(RunJob(job, 4));
        EXPECT_FALSE(job.m_running.load());
        EXPECT_EQ(0, job.m_failed);
        EXPECT_EQ((std::vector<UINT>{WM_SHOW_PROGRESS, WM_FREE_SPACE_TOTAL, WM_DELETE_PROGRESS, kPhaseOn, kPhaseOff,
                                     WM_FREE_SPACE_DONE}),
                  MessageOrder(m_sink));
        EXPECT_EQ(3u, m_sink.Progress().size());  // 3 passes, one chunk each

        const std::wstring folder = FolderOfFirstFillFile(m_sink);
        EXPECT_EQ(L"C:\\", folder.substr(0, 3));
        EXPECT_TRUE(IsUuidText(folder.substr(3))) << folder;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
        EXPECT_TRUE(NewFolders().empty());
        // One fill file and three small files were made and overwritten, 3 passes each.
        uint64_t written = 0;
        for (const auto& [path, bytes] : m_fakes->BytesWritten()) {
            EXPECT_EQ(folder, path.substr(0, folder.size()));
            written += bytes;
        }
        EXPECT_EQ(3 * 40 * KiB + 3 * 3 * 1024, written);
        ASSERT_EQ(1, g_shellCalls);
        EXPECT_EQ(0x614u, g_shellFlags[0]);
    }
}

TEST_F(CleanFreeSpaceTest, FailedJobsReportFailureAndLeaveNothing)
{
    struct Case {
        const char* what;
        const wchar_t* drive;
        int32_t method;
        bool uuidFails;
        bool folderFails;
        bool writeFails;
        int deletions;  // SHFileOperationW calls
    } cases[] = {
        {"no pass list for the method", L"C:\\", 12, false, false, false, 0},
        {"no volume for the drive", L"Q:\\", 4, false, false, false, 0},
        // "C:" names the drive's current folder, not its root: refused before anything is made.
        {"a drive without its root", L"C:", 4, false, false, false, 0},
        {"a folder, not a drive root", L"C:\\windows", 4, false, false, false, 0},
        {"no UUID", L"C:\\", 4, true, false, false, 0},
        // The name is not this run's folder: nothing is deleted under it.
        {"folder cannot be created", L"C:\\", 4, false, true, false, 0},
        {"the fill fails", L"C:\\", 4, false, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(L"C:"));
        m_fakes->SetFreeBytes({40 * KiB, 0});
        if (c.writeFails) {
            m_fakes->FailWrites(ERROR_IO_DEVICE);
        }
        std::unique_ptr<ImportPatch<decltype(::UuidCreate)>> uuid;
        if (c.uuidFails) {
            uuid.reset(new ImportPatch<decltype(::UuidCreate)>("UuidCreate", &FailingUuidCreate));
            ASSERT_TRUE(uuid->IsActive());
        }
        std::unique_ptr<ImportPatch<decltype(::CreateDirectoryW)>> mkdir;
        if (c.folderFails) {
            mkdir.reset(new ImportPatch<decltype(::CreateDirectoryW)>(
                "CreateDirectoryW", +[](LPCWSTR, LPSECURITY_ATTRIBUTES) -> BOOL {
                    SetLastError(ERROR_ALREADY_EXISTS);
                    return FALSE;
                }));
            ASSERT_TRUE(mkdir->IsActive());
        }
        m_sink.Clear();
        g_shellCalls = 0;

        CleanFreeSpaceThread job(c.drive);
        job.m_failed = 0;
        job.m_unwipedBytes = 77;
        ASSERT_TRUE(RunJob(job, c.method));
        EXPECT_EQ(1, job.m_failed);
        EXPECT_EQ(0u, job.m_unwipedBytes);  // none of these failures leaves free space out of reach
        const std::vector<UINT> order = MessageOrder(m_sink);
        ASSERT_GE(order.size(), 2u);
        EXPECT_EQ(WM_SHOW_PROGRESS, order.front());
        EXPECT_EQ(WM_FREE_SPACE_DONE, order.back());
        EXPECT_EQ(0u, m_sink.Count(WM_RESIDENT_PHASE));
        EXPECT_EQ(c.deletions, g_shellCalls);
        EXPECT_TRUE(NewFolders().empty());
    }
}

// A quota keeps the caller from 192 KiB of the free space: the job fails and tells how much; the record
// phase does not run.
TEST_F(CleanFreeSpaceTest, FreeSpaceOutOfTheFillsReachFailsTheJobWithItsAmount)
{
    m_fakes->SetClusterSize(4096);
    m_fakes->SetFreeBytes({256 * KiB + 192 * KiB, 192 * KiB});
    m_fakes->SetCallerFreeBytes({256 * KiB, 0});
    m_fakes->LimitExtension(256 * KiB);
    m_fakes->FailCreatesAfter(1, ERROR_DISK_QUOTA_EXCEEDED);
    CleanFreeSpaceThread job(L"C:\\");
    ASSERT_TRUE(RunJob(job, 1));
    EXPECT_EQ(1, job.m_failed);
    EXPECT_EQ(192 * KiB, job.m_unwipedBytes);
    EXPECT_EQ(0u, m_sink.Count(WM_RESIDENT_PHASE));
    EXPECT_EQ(1u, m_sink.Count(WM_FREE_SPACE_DONE));
    EXPECT_EQ(1, g_shellCalls);
    EXPECT_TRUE(NewFolders().empty());
}

TEST_F(CleanFreeSpaceTest, AFolderThatCannotBeDeletedAfterThreeTriesFailsTheJob)
{
    struct Case {
        const char* what;
        int failures;
        int calls;
        bool folderGone;
    } cases[] = {
        {"the second try deletes it", 1, 2, true},
        // Left behind, the folder holds the drive's free space in fill files: the user must learn of it.
        {"every try fails: the folder stays and the wipe fails", 3, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(L"C:"));
        m_fakes->SetFreeBytes({40 * KiB, 0});
        m_sink.Clear();
        g_shellCalls = 0;
        g_shellFailures = c.failures;

        CleanFreeSpaceThread job(L"C:\\");
        ASSERT_TRUE(RunJob(job, 1));
        EXPECT_EQ(c.folderGone ? 0 : 1, job.m_failed);
        EXPECT_EQ(1u, m_sink.Count(WM_FREE_SPACE_DONE));
        EXPECT_EQ(c.calls, g_shellCalls);
        EXPECT_EQ(c.folderGone, NewFolders().empty());
        for (const std::wstring& name : NewFolders()) {
            EXPECT_TRUE(TempDir::RemoveTree(L"C:\\" + name));
        }
    }
}

TEST_F(CleanFreeSpaceTest, StopDuringTheFillDeletesTheFolderAndPostsNoCompletion)
{
    m_fakes->SetFreeBytes({40 * KiB});  // never runs out
    m_fakes->SetRecordSize(1024);
    CleanFreeSpaceThread job(L"C:\\");
    m_fakes->OnWrite([&job](int number) {
        if (number == 2) {
            job.Stop();
        }
    });
    ASSERT_TRUE(RunJob(job, 4));
    EXPECT_EQ(0u, m_sink.Count(WM_FREE_SPACE_DONE));
    const std::vector<UINT> order = MessageOrder(m_sink);
    EXPECT_EQ((std::vector<UINT>{WM_SHOW_PROGRESS, WM_FREE_SPACE_TOTAL, WM_DELETE_PROGRESS, kPhaseOn}), order);
    EXPECT_EQ(1, g_shellCalls);
    EXPECT_TRUE(NewFolders().empty());
    EXPECT_EQ(1u, m_fakes->BytesWritten().size());  // one fill file, no small file
}

}  // namespace
