// The shredding thread on real trees in the Wine prefix, with the engine's real ShredFile and
// RenameAndDelete; its messages are collected by a window on the test thread.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ImportPatch.h"
#include "JobTestUtil.h"
#include "MessageSink.h"
#include "TempDir.h"
#include "app/jobs/DeleteItemsThread.h"
#include "engine/FoundNames.h"

namespace {

// Method 1 writes one pass of zeros, method 4 three passes of constants: no slow random data.
const int32_t kOnePass = 1;
const int32_t kThreePasses = 4;

struct Outcome {
    DeleteError m_error;
    uint64_t m_itemsDone = 0;
    uint64_t m_bytesDone = 0;
};

class ShreddingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.IsValid()); }

    Outcome RunJob(DeleteItemsThread& job, int32_t method)
    {
        job.m_hWnd = m_sink.Handle();
        job.m_method = method;
        EXPECT_TRUE(RunJobToEnd(job));
        EXPECT_FALSE(job.m_running);
        m_sink.Pump();
        return Outcome{job.m_error, job.m_itemsDone, job.m_bytesDone};
    }

    Outcome Shred(const PathList& files, const PathList& folders, int32_t method = kOnePass)
    {
        DeleteItemsThread job(&files, &folders);
        return RunJob(job, method);
    }

    // Exactly one WM_DELETE_DONE, as the last message.
    void ExpectDone() const
    {
        EXPECT_EQ(1u, m_sink.Count(WM_DELETE_DONE));
        ASSERT_FALSE(m_sink.Messages().empty());
        EXPECT_EQ(static_cast<UINT>(WM_DELETE_DONE), m_sink.Messages().back().m_msg);
    }

    static void ExpectError(const Outcome& outcome, const std::wstring& name, int32_t isFile, int32_t kind,
                            DWORD code)
    {
        EXPECT_EQ(name, outcome.m_error.m_name.Str());
        EXPECT_EQ(isFile, outcome.m_error.m_isFile);
        EXPECT_EQ(kind, outcome.m_error.m_kind);
        EXPECT_EQ(code, outcome.m_error.m_lastError);
    }

    static void ExpectNoError(const Outcome& outcome)
    {
        EXPECT_EQ(0, outcome.m_error.m_kind) << "failed on " << testing::PrintToString(outcome.m_error.m_name.Str())
                                             << " with " << outcome.m_error.m_lastError;
        EXPECT_TRUE(outcome.m_error.m_name.IsEmpty());
    }

    std::wstring File(const std::wstring& relative, size_t size = 10)
    {
        const std::wstring path = m_dir.Join(relative);
        const size_t slash = path.find_last_of(L'\\');
        EXPECT_TRUE(MakeFolders(path.substr(0, slash)));
        EXPECT_TRUE(MakeFile(path, size));
        return path;
    }
    std::wstring Folder(const std::wstring& relative)
    {
        const std::wstring path = m_dir.Join(relative);
        EXPECT_TRUE(MakeFolders(path));
        return path;
    }

    TempDir m_dir{L"shred"};
    MessageSink m_sink;
};

// The progress posts that end a file: those where the items done count goes up.
std::vector<DeleteProgress> FileEnds(const std::vector<DeleteProgress>& progress)
{
    std::vector<DeleteProgress> ends;
    uint64_t items = 0;
    for (const DeleteProgress& p : progress) {
        if (p.m_itemsDone > items)
            ends.push_back(p);
        items = p.m_itemsDone;
    }
    return ends;
}

// The files of a tree in the order a depth-first walk in search order takes them.
void WalkOrder(const std::wstring& folder, std::vector<std::wstring>& files)
{
    for (const std::wstring& name : ListFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            WalkOrder(path, files);
        else
            files.push_back(path);
    }
}

TEST_F(ShreddingTest, AJobOfFilesAndFoldersShredsEverythingAndAccountsForItsProgress)
{
    const std::wstring a = File(L"a.bin", 100), b = File(L"b.bin", 5000);
    const std::wstring tree = Folder(L"tree");
    File(L"tree\\sub\\x.bin", 10);
    File(L"tree\\sub\\deeper\\y.bin", 0);
    File(L"tree\\z.bin", 20);
    Folder(L"tree\\empty");
    std::vector<std::wstring> order{a, b};
    WalkOrder(tree, order);
    ASSERT_EQ(5u, order.size());
    const uint64_t sizes[] = {100, 5000};

    Outcome outcome = Shred({a, b}, {tree}, kThreePasses);

    ExpectNoError(outcome);
    ExpectDone();
    EXPECT_FALSE(Exists(a));
    EXPECT_FALSE(Exists(b));
    EXPECT_FALSE(Exists(tree));
    EXPECT_TRUE(ListFolder(m_dir.Path()).empty()) << "no renamed item left behind";

    // Files only are counted; bytes are sizes times passes.
    const uint64_t total = (100 + 5000 + 10 + 0 + 20) * 3;
    EXPECT_EQ(5u, outcome.m_itemsDone);
    EXPECT_EQ(total, outcome.m_bytesDone);

    std::vector<DeleteProgress> progress = m_sink.Progress();
    ASSERT_FALSE(progress.empty());
    // The one initial post names the first file before anything is written.
    const DeleteProgress& first = progress.front();
    EXPECT_EQ(a, first.m_name);
    EXPECT_EQ(0u, first.m_fileSize);
    EXPECT_EQ(0u, first.m_itemsDone);
    EXPECT_EQ(0u, first.m_bytesProcessed);
    EXPECT_EQ(1, first.m_passCount);
    EXPECT_EQ(3, first.m_passNumber);
    EXPECT_EQ(1, std::count_if(progress.begin(), progress.end(),
                               [](const DeleteProgress& p) { return p.m_passCount == 1; }));

    uint64_t bytes = 0;
    for (const DeleteProgress& p : progress) {
        EXPECT_GE(p.m_bytesProcessed, bytes) << "progress never goes back";
        EXPECT_EQ(0, p.m_freeSpace);
        bytes = p.m_bytesProcessed;
    }

    std::vector<DeleteProgress> ends = FileEnds(progress);
    ASSERT_EQ(5u, ends.size());
    uint64_t done = 0;
    for (size_t i = 0; i < ends.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(order[i], ends[i].m_name) << "files in list order, then the tree in search order";
        EXPECT_EQ(i + 1, ends[i].m_itemsDone);
        EXPECT_EQ(3, ends[i].m_passCount);
        EXPECT_EQ(3, ends[i].m_passNumber);
        if (i < 2) {
            EXPECT_EQ(sizes[i], ends[i].m_fileSize);
        }
        done += ends[i].m_fileSize * 3;
        EXPECT_EQ(done, ends[i].m_bytesProcessed);
    }
    EXPECT_EQ(total, ends.back().m_bytesProcessed);
    EXPECT_EQ(m_sink.PayloadsReceived(), m_sink.PayloadsFreed());
}

TEST_F(ShreddingTest, EmptyListsShredNothingAndReportSuccess)
{
    Outcome outcome = Shred({}, {});
    ExpectNoError(outcome);
    ExpectDone();
    EXPECT_EQ(1u, m_sink.Messages().size());
}

TEST_F(ShreddingTest, ASinglePathJobShredsThatFolder)
{
    const std::wstring tree = Folder(L"tree");
    File(L"tree\\f.bin", 3);
    DeleteItemsThread job{CString(tree)};
    Outcome outcome = RunJob(job, kOnePass);
    ExpectNoError(outcome);
    ExpectDone();
    EXPECT_FALSE(Exists(tree));
    EXPECT_EQ(1u, outcome.m_itemsDone);
}

// The item that a rename (SetFileInformationByHandle with FileRenameInfo, through the item's handle) takes
// from its place, as a user reads its path.
std::wstring RenamedFrom(HANDLE item)
{
    wchar_t final[1024] = {};
    const DWORD length = GetFinalPathNameByHandleW(item, final, 1024, 0);
    return length > 0 && length < 1024 ? ShownPath(std::wstring(final, length)) : std::wstring();
}

// Records the first rename of every item: the source of a rename that is not a rename target (those end in
// ".tmp"). Passes every call on to the real function.
ImportPatch<decltype(::SetFileInformationByHandle)>* g_move = nullptr;
std::vector<std::wstring>* g_renamed = nullptr;

BOOL WINAPI RecordingMove(HANDLE item, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size)
{
    if (type == FileRenameInfo && g_renamed) {
        const std::wstring source = RenamedFrom(item);
        if (source.size() < 4 || source.compare(source.size() - 4, 4, L".tmp") != 0)
            g_renamed->push_back(source);
    }
    return g_move->Original()(item, type, info, size);
}

TEST_F(ShreddingTest, FoldersAreWalkedDepthFirstInSearchOrderAndRemovedAfterTheirContents)
{
    const std::wstring tree = Folder(L"tree");
    File(L"tree\\a\\a1.bin");
    File(L"tree\\a\\aa\\aa1.bin");
    File(L"tree\\a\\aa\\aa2.bin");
    File(L"tree\\b.bin");
    File(L"tree\\c\\c1.bin");
    Folder(L"tree\\c\\empty");
    File(L"tree\\d.bin");

    // Every item of the tree, each folder right after its contents, in search order.
    std::vector<std::wstring> expected;
    struct Walk {
        static void Items(const std::wstring& folder, std::vector<std::wstring>& items)
        {
            for (const std::wstring& name : ListFolder(folder)) {
                const std::wstring path = folder + L"\\" + name;
                if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
                    Items(path, items);
                else
                    items.push_back(path);
            }
            items.push_back(folder);
        }
    };
    Walk::Items(tree, expected);

    std::vector<std::wstring> renamed;
    Outcome outcome;
    {
        ImportPatch<decltype(::SetFileInformationByHandle)> move("SetFileInformationByHandle", &RecordingMove);
        ASSERT_TRUE(move.IsActive());
        g_move = &move;
        g_renamed = &renamed;
        outcome = Shred({}, {tree});
        g_renamed = nullptr;
    }
    ExpectNoError(outcome);
    ExpectDone();
    EXPECT_FALSE(Exists(tree));
    EXPECT_EQ(expected, renamed);
    EXPECT_EQ(6u, outcome.m_itemsDone);

    // A job of folders alone makes its one initial post before the first file found in them.
    std::vector<DeleteProgress> progress = m_sink.Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(expected.front(), progress.front().m_name);
    EXPECT_EQ(0u, progress.front().m_itemsDone);
    EXPECT_EQ(1, progress.front().m_passCount);
    EXPECT_EQ(1, std::count_if(progress.begin(), progress.end(),
                               [](const DeleteProgress& p) { return p.m_itemsDone == 0 && p.m_fileSize == 0 &&
                                                                    p.m_bytesProcessed == 0; }));
}

// Holds a file or folder open so that the engine cannot open it for writing (sharing violation).
class Lock {
public:
    explicit Lock(const std::wstring& path)
        : m_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr))
    {
    }
    ~Lock()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    bool IsHeld() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

TEST_F(ShreddingTest, AFailureOnTheThirdOfFiveFilesEndsTheJob)
{
    PathList files;
    for (int i = 1; i <= 5; ++i)
        files.push_back(File(L"f" + std::to_wstring(i) + L".bin"));
    const std::wstring tree = Folder(L"tree");
    const std::wstring inTree = File(L"tree\\t.bin");

    Outcome outcome;
    {
        Lock lock(files[2]);
        ASSERT_TRUE(lock.IsHeld());
        outcome = Shred(files, {tree});
    }
    ExpectError(outcome, files[2], 1, DeleteErrorFailed, ERROR_SHARING_VIOLATION);
    ExpectDone();
    EXPECT_FALSE(Exists(files[0]));
    EXPECT_FALSE(Exists(files[1]));
    for (int i = 2; i < 5; ++i)
        EXPECT_TRUE(Exists(files[i])) << i;
    EXPECT_TRUE(Exists(inTree));
    EXPECT_EQ(2u, outcome.m_itemsDone);
}

TEST_F(ShreddingTest, AFailureDeepInsideAFolderKeepsWhatFollowsItAndEveryEnclosingFolder)
{
    const std::wstring tree = Folder(L"tree");
    const std::wstring inner = Folder(L"tree\\p\\q");
    for (int i = 0; i < 5; ++i)
        File(L"tree\\p\\q\\file" + std::to_wstring(i) + L".bin");
    const std::wstring other = Folder(L"other");
    const std::wstring otherFile = File(L"other\\o.bin");
    std::vector<std::wstring> inOrder;
    WalkOrder(inner, inOrder);
    ASSERT_EQ(5u, inOrder.size());
    const std::wstring failing = inOrder[2];

    Outcome outcome;
    {
        Lock lock(failing);
        ASSERT_TRUE(lock.IsHeld());
        outcome = Shred({}, {tree, other});
    }
    ExpectError(outcome, failing, 1, DeleteErrorFailed, ERROR_SHARING_VIOLATION);
    ExpectDone();
    EXPECT_FALSE(Exists(inOrder[0]));
    EXPECT_FALSE(Exists(inOrder[1]));
    for (size_t i = 2; i < inOrder.size(); ++i)
        EXPECT_TRUE(Exists(inOrder[i])) << i;
    EXPECT_TRUE(Exists(inner));
    EXPECT_TRUE(Exists(tree + L"\\p"));
    EXPECT_TRUE(Exists(tree));
    EXPECT_TRUE(Exists(otherFile));
}

// The waits after failed renames and removals (100 ms, 1000 ms) are skipped; other waits pass on.
ImportPatch<decltype(::Sleep)>* g_sleep = nullptr;
VOID WINAPI ShortSleep(DWORD milliseconds)
{
    if (milliseconds != 100 && milliseconds != 1000)
        g_sleep->Original()(milliseconds);
}

// A listing that breaks off part-way (a network or device error while a folder is read), which Wine's
// local drives never give: the seam fails the search's third FindNextFileW with ERROR_UNEXP_NET_ERR and
// passes the calls before it on.
ImportPatch<decltype(::FindNextFileW)>* g_breakingFindNext = nullptr;
int g_findNextsBeforeBreak = 0;

BOOL WINAPI FindNextBreakingOff(HANDLE search, LPWIN32_FIND_DATAW entry)
{
    if (g_findNextsBeforeBreak-- <= 0) {
        SetLastError(ERROR_UNEXP_NET_ERR);
        return FALSE;
    }
    return g_breakingFindNext->Original()(search, entry);
}

TEST_F(ShreddingTest, FailuresTheThreadRecordsItself)
{
    ImportPatch<decltype(::Sleep)> sleep("Sleep", &ShortSleep);
    g_sleep = &sleep;

    {
        SCOPED_TRACE("a listed file that no longer exists");
        const std::wstring missing = m_dir.Join(L"missing.bin"), next = File(L"next.bin");
        Outcome outcome = Shred({missing, next}, {});
        ExpectError(outcome, missing, 1, DeleteErrorNotFound, ERROR_FILE_NOT_FOUND);
        EXPECT_TRUE(Exists(next));
        m_sink.Clear();
    }
    {
        SCOPED_TRACE("a listed folder that does not exist");
        const std::wstring missing = m_dir.Join(L"no-such-folder");
        const std::wstring next = Folder(L"next-folder");
        Outcome outcome = Shred({}, {missing, next});
        ExpectError(outcome, missing, 0, DeleteErrorFailed, ERROR_PATH_NOT_FOUND);
        ExpectDone();
        EXPECT_TRUE(Exists(next));
        m_sink.Clear();
    }
    {
        SCOPED_TRACE("a folder that cannot be removed");
        const std::wstring tree = Folder(L"held");
        const std::wstring inside = File(L"held\\h.bin");
        Outcome outcome;
        {
            Lock lock(tree);
            ASSERT_TRUE(lock.IsHeld());
            outcome = Shred({}, {tree});
        }
        ExpectError(outcome, tree, 0, DeleteErrorFailed, ERROR_SHARING_VIOLATION);
        ExpectDone();
        EXPECT_TRUE(Exists(tree));
        EXPECT_FALSE(Exists(inside)) << "its contents went first";
        m_sink.Clear();
    }
    {
        SCOPED_TRACE("a folder whose listing breaks off");
        const std::wstring tree = Folder(L"broken");
        std::vector<std::wstring> inside;
        for (int i = 0; i < 5; ++i)
            inside.push_back(File(L"broken\\f" + std::to_wstring(i) + L".bin"));
        Outcome outcome;
        {
            ImportPatch<decltype(::FindNextFileW)> findNext("FindNextFileW", &FindNextBreakingOff);
            ASSERT_TRUE(findNext.IsActive());
            g_breakingFindNext = &findNext;
            g_findNextsBeforeBreak = 2;
            outcome = Shred({}, {tree});
        }
        ExpectError(outcome, tree, 0, DeleteErrorFailed, ERROR_UNEXP_NET_ERR);
        ExpectDone();
        EXPECT_TRUE(Exists(tree)) << "kept under its own name, not renamed by a removal that cannot work";
        const size_t left = std::count_if(inside.begin(), inside.end(), Exists);
        EXPECT_GT(left, 0u);
        EXPECT_EQ(inside.size() - left, outcome.m_itemsDone);
        m_sink.Clear();
    }
}

TEST_F(ShreddingTest, AMethodWithoutAPassListShredsNothingAndReportsAFailure)
{
    const std::wstring file = File(L"f.bin");
    const std::wstring tree = Folder(L"tree");
    struct Case {
        const char* what;
        int32_t method;
        PathList files, folders;
        std::wstring name;
        int32_t isFile;
    };
    const Case cases[] = {
        {"index 12 with files and folders", 12, {file}, {tree}, file, 1},
        {"index -1 with folders only", -1, {}, {tree}, tree, 0},
        {"index 1000 with nothing listed", 1000, {}, {}, L"", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_sink.Clear();
        Outcome outcome = Shred(c.files, c.folders, c.method);
        ExpectError(outcome, c.name, c.isFile, DeleteErrorFailed, ERROR_INVALID_PARAMETER);
        ExpectDone();
        EXPECT_EQ(1u, m_sink.Messages().size()) << "no progress: nothing was shredded";
        EXPECT_TRUE(Exists(file));
        EXPECT_TRUE(Exists(tree));
    }
}

TEST_F(ShreddingTest, AStopBeforeTheFirstItemShredsNothingAndPostsNothing)
{
    const std::wstring file = File(L"f.bin");
    const std::wstring tree = Folder(L"tree");
    PathList files{file}, folders{tree};
    DeleteItemsThread job(&files, &folders);
    job.Stop();
    Outcome outcome = RunJob(job, kOnePass);
    ExpectNoError(outcome);
    EXPECT_TRUE(m_sink.Messages().empty());
    EXPECT_TRUE(Exists(file));
    EXPECT_TRUE(Exists(tree));
}

// The stop has to land in the middle of a folder walk: the seam stops the job when the search hands
// over the third entry of the folder and passes every call on to the real function.
ImportPatch<decltype(::FindNextFileW)>* g_findNext = nullptr;
DeleteItemsThread* g_stoppingJob = nullptr;
int g_entriesSeen = 0;

BOOL WINAPI FindNextStoppingAtThirdEntry(HANDLE search, LPWIN32_FIND_DATAW entry)
{
    const BOOL result = g_findNext->Original()(search, entry);
    const std::wstring name = result ? entry->cFileName : L".";
    if (name != L"." && name != L".." && ++g_entriesSeen == 3 && g_stoppingJob)
        g_stoppingJob->Stop();
    return result;
}

TEST_F(ShreddingTest, AStopDuringAFolderWalkLeavesTheRestOfTheFolderAndPostsNothingFurther)
{
    const std::wstring tree = Folder(L"tree");
    for (int i = 0; i < 6; ++i)
        File(L"tree\\f" + std::to_wstring(i) + L".bin");
    const std::wstring next = Folder(L"next");
    const std::wstring nextFile = File(L"next\\n.bin");
    std::vector<std::wstring> inOrder;
    WalkOrder(tree, inOrder);
    // The first entry comes from FindFirstFileW, not from the patched function, unless it is a dot entry.
    const bool firstIsDot = [&] {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((tree + L"\\*").c_str(), &entry);
        const bool dot = entry.cFileName[0] == L'.';
        FindClose(search);
        return dot;
    }();
    const size_t shredded = firstIsDot ? 2 : 3;

    PathList files, folders{tree, next};
    DeleteItemsThread job(&files, &folders);
    Outcome outcome;
    {
        ImportPatch<decltype(::FindNextFileW)> patch("FindNextFileW", &FindNextStoppingAtThirdEntry);
        ASSERT_TRUE(patch.IsActive());
        g_findNext = &patch;
        g_entriesSeen = 0;
        g_stoppingJob = &job;
        outcome = RunJob(job, kOnePass);
        g_stoppingJob = nullptr;
    }
    ExpectNoError(outcome);
    EXPECT_EQ(0u, m_sink.Count(WM_DELETE_DONE));
    for (size_t i = 0; i < inOrder.size(); ++i)
        EXPECT_EQ(i >= shredded, Exists(inOrder[i])) << i;
    EXPECT_TRUE(Exists(tree));
    EXPECT_TRUE(Exists(nextFile));
    EXPECT_EQ(shredded, outcome.m_itemsDone);
}

// A cancel that the overwrite loop sees: the seam stops the job at the first write of the first file
// and passes the write on.
ImportPatch<decltype(::WriteFile)>* g_write = nullptr;
DeleteItemsThread* g_writingJob = nullptr;

BOOL WINAPI WriteFileStopping(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_writingJob)
        g_writingJob->Stop();
    return g_write->Original()(file, data, size, written, overlapped);
}

TEST_F(ShreddingTest, ACancelDuringAnOverwriteKeepsTheFileRecordsNothingAndPostsNoCompletion)
{
    const std::wstring first = File(L"first.bin", 3000), second = File(L"second.bin", 10);
    PathList files{first, second}, folders;
    DeleteItemsThread job(&files, &folders);
    Outcome outcome;
    {
        ImportPatch<decltype(::WriteFile)> patch("WriteFile", &WriteFileStopping);
        ASSERT_TRUE(patch.IsActive());
        g_write = &patch;
        g_writingJob = &job;
        outcome = RunJob(job, kThreePasses);
        g_writingJob = nullptr;
    }
    ExpectNoError(outcome);
    EXPECT_EQ(0u, m_sink.Count(WM_DELETE_DONE));
    EXPECT_TRUE(Exists(first)) << "a file whose overwrite saw the cancel is not deleted";
    EXPECT_TRUE(Exists(second));
    EXPECT_EQ(0u, outcome.m_itemsDone);
}

TEST_F(ShreddingTest, PathsTooLongToHandleFailCleanly)
{
    // Folder chains past MAX_PATH characters: Wine takes such paths, Windows would refuse them.
    std::wstring deep = Folder(L"tree");
    while (deep.size() + 31 < 250)
        deep += L"\\" + std::wstring(30, L'd');  // ends between 219 and 249 characters
    ASSERT_TRUE(MakeFolders(deep));
    const std::wstring longFile = deep + L"\\" + std::wstring(40, L'f');
    if (!MakeFile(longFile, 5))
        GTEST_SKIP() << "this system does not make files with paths past MAX_PATH";
    ASSERT_GE(longFile.size(), static_cast<size_t>(MAX_PATH));
    const std::wstring longFolder = deep + L"\\" + std::wstring(30, L'e');

    {
        // The walked folder holds the long file alone: with a second entry the search order would
        // decide which of the two fails first.
        SCOPED_TRACE("a file too long inside a walked folder");
        Outcome outcome = Shred({}, {deep});
        ExpectError(outcome, longFile, 1, DeleteErrorFailed, ERROR_FILENAME_EXCED_RANGE);
        ExpectDone();
        EXPECT_TRUE(Exists(longFile));
    }
    {
        SCOPED_TRACE("a listed file too long");
        m_sink.Clear();
        Outcome outcome = Shred({longFile}, {});
        ExpectError(outcome, longFile, 1, DeleteErrorFailed, ERROR_FILENAME_EXCED_RANGE);
        EXPECT_TRUE(Exists(longFile));
    }
    {
        SCOPED_TRACE("a folder whose entries cannot be searched");
        std::wstring deeper = longFolder;
        while (deeper.size() + 2 < MAX_PATH)
            deeper += L"\\g";
        ASSERT_TRUE(MakeFolders(deeper));
        m_sink.Clear();
        Outcome outcome = Shred({}, {longFolder});
        ExpectError(outcome, deeper, 0, DeleteErrorFailed, ERROR_FILENAME_EXCED_RANGE);
        EXPECT_TRUE(Exists(deeper));
    }
}

// Wine acts on what a Unix symbolic link points at when it renames or removes the link (measured:
// MoveFileW moves the target folder, RemoveDirectoryW removes an empty target, and a handle opened with
// FILE_FLAG_OPEN_REPARSE_POINT is the target's); Windows opens the link itself. For the links only, these
// fakes give the Windows behaviour: the handle opened on a link with FILE_FLAG_OPEN_REPARSE_POINT shows the
// reparse point, and deleting through it removes the Unix link (nothing is set on what it points at).
// Renames of a link are recorded and refused. Every other call passes on.
ImportPatch<decltype(::CreateFileW)>* g_linkCreate = nullptr;
ImportPatch<decltype(::GetFileInformationByHandleEx)>* g_linkInformation = nullptr;
ImportPatch<decltype(::SetFileInformationByHandle)>* g_linkSetInformation = nullptr;
std::vector<std::wstring> g_links;
std::vector<std::wstring> g_linksRemoved;
std::vector<std::wstring> g_linksRenamed;
std::vector<std::pair<HANDLE, std::wstring>> g_linkHandles;

bool IsLink(LPCWSTR path)
{
    return std::find(g_links.begin(), g_links.end(), std::wstring(path)) != g_links.end();
}

const std::wstring* LinkOfHandle(HANDLE handle)
{
    for (const auto& [h, link] : g_linkHandles) {
        if (h == handle)
            return &link;
    }
    return nullptr;
}

HANDLE WINAPI LinkAwareCreate(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const HANDLE handle = g_linkCreate->Original()(name, access, share, security, disposition, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE && (flags & FILE_FLAG_OPEN_REPARSE_POINT) && IsLink(name))
        g_linkHandles.push_back({handle, name});
    return handle;
}

BOOL WINAPI LinkAwareInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size)
{
    const BOOL ok = g_linkInformation->Original()(handle, type, info, size);
    if (ok && type == FileAttributeTagInfo && LinkOfHandle(handle)) {
        auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
        tag->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        tag->ReparseTag = IO_REPARSE_TAG_SYMLINK;
    }
    return ok;
}

// A handle of the link itself names the link as its final path, not what it points at.
ImportPatch<decltype(::GetFinalPathNameByHandleW)>* g_linkFinalPath = nullptr;
DWORD WINAPI LinkAwareFinalPath(HANDLE handle, LPWSTR path, DWORD length, DWORD flags)
{
    const std::wstring* link = LinkOfHandle(handle);
    if (!link)
        return g_linkFinalPath->Original()(handle, path, length, flags);
    const std::wstring final = IsLiteralPath(*link) ? *link : L"\\\\?\\" + *link;
    if (length <= final.size())
        return static_cast<DWORD>(final.size() + 1);
    final.copy(path, final.size());
    path[final.size()] = L'\0';
    return static_cast<DWORD>(final.size());
}

BOOL WINAPI LinkAwareSetInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size)
{
    const std::wstring* link = LinkOfHandle(handle);
    if (!link)
        return g_linkSetInformation->Original()(handle, type, info, size);
    if (type == FileRenameInfo) {
        g_linksRenamed.push_back(*link);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (type == FileDispositionInfo && static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile) {
        const std::wstring removed = *link;
        g_linkHandles.erase(std::remove_if(g_linkHandles.begin(), g_linkHandles.end(),
                                           [&](const auto& entry) { return entry.first == handle; }),
                            g_linkHandles.end());
        g_linksRemoved.push_back(removed);
        return RemoveUnixLink(removed);
    }
    return TRUE;  // the link's own attributes: nothing of the target changes
}

// The four fakes above for the life of the object.
class WindowsLinks {
public:
    explicit WindowsLinks(std::vector<std::wstring> links)
        : m_create("CreateFileW", &LinkAwareCreate),
          m_finalPath("GetFinalPathNameByHandleW", &LinkAwareFinalPath),
          m_information("GetFileInformationByHandleEx", &LinkAwareInformation),
          m_setInformation("SetFileInformationByHandle", &LinkAwareSetInformation)
    {
        g_linkCreate = &m_create;
        g_linkFinalPath = &m_finalPath;
        g_linkInformation = &m_information;
        g_linkSetInformation = &m_setInformation;
        g_links = std::move(links);
        g_linksRemoved.clear();
        g_linksRenamed.clear();
        g_linkHandles.clear();
    }
    ~WindowsLinks()
    {
        g_links.clear();
        g_linkHandles.clear();
    }
    bool IsActive() const
    {
        return m_create.IsActive() && m_finalPath.IsActive() && m_information.IsActive() &&
               m_setInformation.IsActive();
    }

private:
    ImportPatch<decltype(::CreateFileW)> m_create;
    ImportPatch<decltype(::GetFinalPathNameByHandleW)> m_finalPath;
    ImportPatch<decltype(::GetFileInformationByHandleEx)> m_information;
    ImportPatch<decltype(::SetFileInformationByHandle)> m_setInformation;
};

TEST_F(ShreddingTest, LinksToFoldersAreRemovedWithoutTouchingWhatTheyPointAt)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its links as Unix symbolic links in the Wine prefix";
    const std::wstring target = Folder(L"target");
    const std::wstring targetFiles[] = {File(L"target\\t1.bin"), File(L"target\\inner\\t2.bin")};
    const std::wstring tree = Folder(L"tree");
    const std::wstring real = File(L"tree\\real.bin");
    const std::wstring inside = tree + L"\\link", listed = m_dir.Join(L"listed-link");
    ScopedUnixLink insideLink(inside, target), listedLink(listed, target);
    ASSERT_TRUE(insideLink.IsMade());
    ASSERT_TRUE(listedLink.IsMade());

    Outcome outcome;
    {
        ImportPatch<decltype(::Sleep)> sleep("Sleep", &ShortSleep);
        g_sleep = &sleep;
        WindowsLinks links({inside, listed});
        ASSERT_TRUE(links.IsActive());
        outcome = Shred({}, {tree, listed});
    }
    ExpectNoError(outcome);
    ExpectDone();
    EXPECT_EQ((std::vector<std::wstring>{inside, listed}), g_linksRemoved);
    EXPECT_TRUE(g_linksRenamed.empty()) << "a link is never renamed: that may move what it points at";
    EXPECT_TRUE(Exists(target));
    EXPECT_FALSE(Exists(tree));
    EXPECT_FALSE(Exists(listed));
    for (const std::wstring& file : targetFiles)
        EXPECT_EQ(10u, TempDir::FileSize(file)) << "untouched: " << testing::PrintToString(file);
    EXPECT_EQ(1u, outcome.m_itemsDone) << "only the real file was shredded";
}

// A listed link named with a trailing separator or in the long form is still the link: removed, never
// walked. A path that is not fully qualified is refused before anything is touched.
TEST_F(ShreddingTest, ListedLinksInEveryFormAreRemovedAndRelativePathsRefused)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its links as Unix symbolic links in the Wine prefix";
    const std::wstring target = Folder(L"target");
    const std::wstring targetFile = File(L"target\\t1.bin");
    const std::wstring link = m_dir.Join(L"listed-link");
    const std::wstring forms[] = {link + L"\\", link + L"/", L"\\\\?\\" + link};
    for (const std::wstring& form : forms) {
        SCOPED_TRACE(testing::PrintToString(form));
        ScopedUnixLink listedLink(link, target);
        ASSERT_TRUE(listedLink.IsMade());
        Outcome outcome;
        {
            ImportPatch<decltype(::Sleep)> sleep("Sleep", &ShortSleep);
            g_sleep = &sleep;
            WindowsLinks links({link, L"\\\\?\\" + link});
            ASSERT_TRUE(links.IsActive());
            outcome = Shred({}, {form});
        }
        ExpectNoError(outcome);
        EXPECT_EQ(1u, g_linksRemoved.size());
        EXPECT_TRUE(g_linksRenamed.empty());
        EXPECT_EQ(0u, outcome.m_itemsDone) << "nothing behind the link was shredded";
        EXPECT_EQ(10u, TempDir::FileSize(targetFile)) << "untouched";
    }

    const std::wstring file = File(L"plain.bin");
    const struct {
        const char* m_what;
        std::wstring m_path;
        bool m_isFile;
    } relative[] = {
        {"a drive alone", m_dir.Path().substr(0, 2), false},
        {"a drive and a relative name", m_dir.Path().substr(0, 2) + L"plain.bin", true},
        {"rooted on the current drive", m_dir.Path().substr(2), false},
        {"relative to the current folder", L"plain.bin", true},
    };
    for (const auto& c : relative) {
        SCOPED_TRACE(c.m_what);
        const Outcome outcome = c.m_isFile ? Shred({c.m_path}, {}) : Shred({}, {c.m_path});
        EXPECT_EQ(DeleteErrorFailed, outcome.m_error.m_kind);
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), outcome.m_error.m_lastError);
        EXPECT_EQ(10u, TempDir::FileSize(file)) << "untouched";
    }
}

}  // namespace

namespace {

// Names that Linux allows and Wine lists as they stand, but that cannot be joined to their folder as one
// entry of it: joined plainly, the first two address a file beside the folder, the last a wildcard.
TEST_F(ShreddingTest, ANameThatCannotBeJoinedToItsFolderFailsTheJobUntouched)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its names on the Unix side of the Wine prefix";
    const std::wstring victim = File(L"victim.txt", 300);
    const std::wstring source = File(L"source.bin", 700);
    const struct {
        const char* m_what;
        std::wstring m_name;
    } cases[] = {
        {"a name climbing out of the folder", L"..\\victim.txt"},
        {"a name climbing through a sub-folder", L"sub\\..\\..\\victim.txt"},
        {"a name holding a wildcard", L"what?.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        m_sink.Clear();
        const std::wstring sel = Folder(L"sel");
        ASSERT_TRUE(CopyToUnixName(source, sel, c.m_name));
        Outcome outcome = Shred({}, {sel});
        ExpectError(outcome, sel + L"\\" + c.m_name, 1, DeleteErrorFailed, ERROR_INVALID_NAME);
        ExpectDone();
        EXPECT_EQ(300u, TempDir::FileSize(victim)) << "nothing beside the folder is touched";
        EXPECT_EQ(std::vector<std::wstring>{c.m_name}, ListFolder(sel)) << "the entry itself stays";
        EXPECT_EQ(0u, outcome.m_itemsDone);
        ASSERT_TRUE(RemoveUnixTree(sel)) << "the Unix side removes what Windows cannot name";
    }
}

}  // namespace

namespace {

// Under Wine a handle opened on a Unix link to a folder is the target's, whatever the flags: the link
// cannot be deleted by itself. The job fails at it with a true code and leaves the target where it is,
// with everything in it (renaming the link, as a removal by renames would, moves the target).
TEST_F(ShreddingTest, ALinkThatCannotBeDeletedItselfFailsTheJobAndTheTargetStaysInPlace)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its links as Unix symbolic links in the Wine prefix";
    ImportPatch<decltype(::Sleep)> sleep("Sleep", &ShortSleep);
    g_sleep = &sleep;
    const std::wstring target = Folder(L"target");
    const std::wstring targetFiles[] = {File(L"target\\t1.bin", 40), File(L"target\\inner\\t2.bin", 50)};
    const std::wstring emptyTarget = Folder(L"empty-target");
    const struct {
        const char* m_what;
        bool m_listed;
        std::wstring m_target;
    } cases[] = {
        {"a link found in a walk", false, target},
        {"a listed link", true, target},
        {"a link to an empty folder", false, emptyTarget},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        m_sink.Clear();
        const std::wstring tree = Folder(L"tree");
        const std::wstring link = c.m_listed ? m_dir.Join(L"listed-link") : tree + L"\\link";
        ScopedUnixLink made(link, c.m_target);
        ASSERT_TRUE(made.IsMade());
        const Outcome outcome = c.m_listed ? Shred({}, {link}) : Shred({}, {tree});
        ExpectError(outcome, link, 0, DeleteErrorFailed, ERROR_NOT_SUPPORTED);
        ExpectDone();
        EXPECT_TRUE(Exists(link)) << "the link stays";
        EXPECT_TRUE(Exists(c.m_target)) << "the target stays in place";
        for (const std::wstring& file : targetFiles)
            EXPECT_TRUE(Exists(file)) << "untouched: " << testing::PrintToString(file);
        EXPECT_EQ(40u, TempDir::FileSize(targetFiles[0]));
        EXPECT_EQ(50u, TempDir::FileSize(targetFiles[1]));
        if (!c.m_listed) {
            EXPECT_EQ(std::vector<std::wstring>{L"link"}, ListFolder(tree)) << "nothing moved into the tree";
        }
    }
}

}  // namespace

namespace {

// Another program writes a file into the folder while the job renames it: the seam writes it right after
// the folder's first rename, into the folder under its new name, and passes every call on.
ImportPatch<decltype(::SetFileInformationByHandle)>* g_writingMove = nullptr;
std::wstring g_folderToWriteInto;

BOOL WINAPI MoveThenWriteInto(HANDLE item, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size)
{
    const std::wstring from = type == FileRenameInfo ? RenamedFrom(item) : std::wstring();
    const BOOL moved = g_writingMove->Original()(item, type, info, size);
    if (moved && !from.empty() && g_folderToWriteInto == from) {
        g_folderToWriteInto.clear();
        MakeFile(RenamedFrom(item) + L"\\late.txt", 77);
    }
    return moved;
}

TEST_F(ShreddingTest, AFolderThatCannotBeRemovedIsFoundUnderItsOwnNameWithItsContents)
{
    const std::wstring outer = Folder(L"outer");
    const std::wstring held = Folder(L"outer\\held");
    File(L"outer\\held\\early.bin", 30);
    Outcome outcome;
    {
        ImportPatch<decltype(::Sleep)> sleep("Sleep", &ShortSleep);
        g_sleep = &sleep;
        ImportPatch<decltype(::SetFileInformationByHandle)> move("SetFileInformationByHandle", &MoveThenWriteInto);
        ASSERT_TRUE(move.IsActive());
        g_writingMove = &move;
        g_folderToWriteInto = held;
        outcome = Shred({}, {outer});
    }
    ExpectError(outcome, held, 0, DeleteErrorFailed, ERROR_DIR_NOT_EMPTY);
    ExpectDone();
    EXPECT_EQ(std::vector<std::wstring>{L"held"}, ListFolder(outer)) << "under its own name, nothing else beside it";
    EXPECT_EQ(std::vector<std::wstring>{L"late.txt"}, ListFolder(held));
    EXPECT_EQ(77u, TempDir::FileSize(held + L"\\late.txt"));
    EXPECT_TRUE(Exists(outer)) << "the folder around it stays";
    EXPECT_EQ(1u, outcome.m_itemsDone);
}

}  // namespace

namespace {

// Linux names that the plain path rules would change (a trailing dot or space is dropped, a device name
// leads to the device), each beside the name it would turn into: every one is shredded as it stands.
TEST_F(ShreddingTest, NamesThePlainPathRulesWouldChangeAreShreddedAsTheyStand)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its names on the Unix side of the Wine prefix";
    const std::wstring source = File(L"source.bin", 900);
    const std::wstring sourceTree = Folder(L"source-tree");
    File(L"source-tree\\inside.bin", 40);
    const std::wstring sel = Folder(L"sel");
    File(L"sel\\report", 11);
    File(L"sel\\trail", 12);
    File(L"sel\\sub\\other.bin", 13);
    const std::wstring odd[] = {L"report.", L"trail ", L"nul.txt", L"CON"};
    for (const std::wstring& name : odd)
        ASSERT_TRUE(CopyToUnixName(source, sel, name)) << testing::PrintToString(name);
    ASSERT_TRUE(CopyToUnixName(sourceTree, sel, L"sub."));
    const std::wstring literalSub = L"\\\\?\\" + sel + L"\\sub.";
    ASSERT_EQ(std::vector<std::wstring>{L"inside.bin"}, ListFolder(literalSub));

    const Outcome outcome = Shred({}, {sel});
    ExpectNoError(outcome);
    ExpectDone();
    EXPECT_FALSE(Exists(sel));
    EXPECT_EQ(8u, outcome.m_itemsDone) << "each file once: report, trail, other.bin, four odd names, inside.bin";
    EXPECT_EQ((11u + 12u + 13u + 4u * 900u + 40u), outcome.m_bytesDone);
    EXPECT_EQ(900u, TempDir::FileSize(source));
    EXPECT_EQ(40u, TempDir::FileSize(sourceTree + L"\\inside.bin"));
}

// A FIFO (Wine lists it as a plain file whose attributes cannot be read) is not a file that can be
// overwritten; it is no missing file either.
TEST_F(ShreddingTest, AFifoFailsAsNotSupportedAndStays)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its FIFO on the Unix side of the Wine prefix";
    const std::wstring sel = Folder(L"sel");
    ASSERT_TRUE(MakeUnixFifo(sel, L"pipe"));
    const std::wstring fifo = sel + L"\\pipe";
    const struct {
        const char* m_what;
        bool m_listed;
    } cases[] = {{"found in a walk", false}, {"listed", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        m_sink.Clear();
        const Outcome outcome = c.m_listed ? Shred({fifo}, {}) : Shred({}, {sel});
        ExpectError(outcome, fifo, 1, DeleteErrorFailed, ERROR_NOT_SUPPORTED);
        ExpectDone();
        EXPECT_EQ(std::vector<std::wstring>{L"pipe"}, ListFolder(sel));
    }
    EXPECT_TRUE(RemoveUnixTree(sel));
}

}  // namespace

namespace {

// ---- what the walk finds is what it touches ----

// The contents of every file of the folder, by name.
std::vector<std::pair<std::wstring, std::vector<uint8_t>>> Contents(const std::wstring& folder)
{
    std::vector<std::pair<std::wstring, std::vector<uint8_t>>> contents;
    for (const std::wstring& name : ListFolder(folder))
        contents.push_back({name, TempDir::ReadFile(folder + L"\\" + name)});
    return contents;
}

// A folder of the selection exchanged for a link to a folder outside it, just as its listing begins (after
// its check) or once the job has shredded its first file: the link's target holds files of the same names.
// Nothing outside is written, renamed or moved; the job fails at the first item that is no longer the one
// checked or listed.
TEST_F(ShreddingTest, AFolderExchangedForALinkMidWalkLeavesWhatTheLinkLeadsToUntouched)
{
    if (!UnderWine())
        GTEST_SKIP() << "exchanges the names on the Unix side of the Wine prefix";
    const struct {
        const wchar_t* m_case;
        ExchangeDuringListing::When m_when;
        uint64_t m_shredded;  // files of the folder shredded before the exchange
    } cases[] = {
        {L"before-listing", ExchangeDuringListing::When::BeforeListing, 0},
        {L"after-first-file", ExchangeDuringListing::When::AfterFirstFile, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.m_case)));
        m_sink.Clear();
        const std::wstring top = Folder(std::wstring(c.m_case) + L"\\top");
        const std::wstring sub = Folder(std::wstring(c.m_case) + L"\\top\\sub");
        const std::wstring outside = Folder(std::wstring(c.m_case) + L"\\outside");
        for (int i = 1; i <= 6; ++i) {
            ASSERT_TRUE(MakeFile(sub + L"\\s" + std::to_wstring(i) + L".bin", 300));
            ASSERT_TRUE(MakeFile(outside + L"\\s" + std::to_wstring(i) + L".bin", 300, 'K'));
        }
        const auto outsideBefore = Contents(outside);
        // The link lies beside the selection, not in it; it points at the outside folder.
        const std::wstring spare = Folder(std::wstring(c.m_case) + L"\\spare");
        ScopedUnixLink link(spare + L"\\lnk", outside);
        ASSERT_TRUE(link.IsMade());

        Outcome outcome;
        {
            ExchangeDuringListing exchange(sub, spare + L"\\lnk", c.m_when);
            ASSERT_TRUE(exchange.IsActive());
            outcome = Shred({}, {top});
            EXPECT_TRUE(exchange.Exchanged());
        }
        EXPECT_EQ(c.m_shredded, outcome.m_itemsDone);
        EXPECT_EQ(DeleteErrorFailed, outcome.m_error.m_kind);
        EXPECT_EQ(kLeadsElsewhereError, outcome.m_error.m_lastError);
        EXPECT_EQ(0u, std::wstring(outcome.m_error.m_name).find(sub)) << outcome.m_error.m_name.Str();
        ExpectDone();
        EXPECT_EQ(outsideBefore, Contents(outside)) << "every outside file whole, none renamed";
        EXPECT_EQ(std::vector<std::wstring>{L"sub"}, ListFolder(top)) << "nothing moved into the selection";
        // The real folder, now under the link's name, holds the entries the job did not reach.
        EXPECT_EQ(6u - c.m_shredded, ListFolder(spare + L"\\lnk").size());
        EXPECT_TRUE(RemoveUnixTree(top));  // top\sub is the link now
        EXPECT_TRUE(RemoveUnixTree(spare));
    }
}

// A file of the selection that has another name elsewhere: overwriting it would destroy the other file too.
TEST_F(ShreddingTest, AFileWithOtherNamesIsNotWrittenAndFailsTheJob)
{
    const std::wstring keep = File(L"outside\\keep.txt", 500);
    const std::wstring sel = Folder(L"sel");
    const std::wstring alias = sel + L"\\alias.txt";
    ASSERT_TRUE(CreateHardLinkW(alias.c_str(), keep.c_str(), nullptr));
    const std::vector<uint8_t> before = TempDir::ReadFile(keep);
    for (bool listed : {false, true}) {
        SCOPED_TRACE(listed ? "listed" : "found in a walk");
        m_sink.Clear();
        const Outcome outcome = listed ? Shred({alias}, {}) : Shred({}, {sel});
        ExpectError(outcome, alias, 1, DeleteErrorFailed, kOtherNamesError);
        ExpectDone();
        EXPECT_EQ(before, TempDir::ReadFile(keep));
        EXPECT_EQ(before, TempDir::ReadFile(alias));
    }
}

// Another program appends to a file while its overwrite runs (Linux writers ignore the share modes), or
// while it is renamed: what it wrote got no pass, so the file fails, kept under its own name.
enum class AppendWhen { Never, AtFirstFlush, AtFirstRename };
AppendWhen g_appendWhen = AppendWhen::Never;
std::wstring g_appendTo;
ImportPatch<decltype(::FlushFileBuffers)>* g_appendingFlush = nullptr;
ImportPatch<decltype(::SetFileInformationByHandle)>* g_appendingRename = nullptr;

void AppendOnce(AppendWhen now)
{
    if (g_appendWhen != now)
        return;
    g_appendWhen = AppendWhen::Never;
    HANDLE other = CreateFileW(g_appendTo.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return;
    const char line[] = "appended meanwhile\n";
    DWORD written = 0;
    WriteFile(other, line, sizeof line - 1, &written, nullptr);
    CloseHandle(other);
}

BOOL WINAPI AppendingFlush(HANDLE file)
{
    const BOOL flushed = g_appendingFlush->Original()(file);
    AppendOnce(AppendWhen::AtFirstFlush);
    return flushed;
}

BOOL WINAPI AppendingRename(HANDLE item, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size)
{
    if (type == FileRenameInfo)
        AppendOnce(AppendWhen::AtFirstRename);
    return g_appendingRename->Original()(item, type, info, size);
}

TEST_F(ShreddingTest, AFileThatGrowsWhileItIsShreddedFailsUnderItsOwnName)
{
    ImportPatch<decltype(::FlushFileBuffers)> flush("FlushFileBuffers", &AppendingFlush);
    ImportPatch<decltype(::SetFileInformationByHandle)> rename("SetFileInformationByHandle", &AppendingRename);
    ASSERT_TRUE(flush.IsActive() && rename.IsActive());
    g_appendingFlush = &flush;
    g_appendingRename = &rename;
    for (AppendWhen when : {AppendWhen::AtFirstFlush, AppendWhen::AtFirstRename}) {
        SCOPED_TRACE(when == AppendWhen::AtFirstFlush ? "after the first pass" : "at the first rename");
        m_sink.Clear();
        const std::wstring file = File(L"growing.log", 5000);
        g_appendTo = file;
        g_appendWhen = when;
        const Outcome outcome = Shred({file}, {}, kThreePasses);
        EXPECT_EQ(AppendWhen::Never, g_appendWhen) << "the seam appended";
        ExpectError(outcome, file, 1, DeleteErrorFailed, kSizeChangedError);
        ExpectDone();
        EXPECT_EQ(std::vector<std::wstring>{L"growing.log"}, ListFolder(m_dir.Path())) << "under its own name";
        EXPECT_TRUE(DeleteFileW(file.c_str()));
    }
    g_appendWhen = AppendWhen::Never;
}

// A file system mounted on a folder of the selection (Wine shows a Linux mount as a plain folder): the walk
// does not go into it. Needs root for the mount; the mount is undone whatever happens.
class ScopedTmpfs {
public:
    ScopedTmpfs(const std::wstring& folder, const std::wstring& marker)
        : m_folder(folder), m_marker(marker), m_mounted(MountUnixTmpfs(folder, marker)) {}
    ~ScopedTmpfs()
    {
        if (m_mounted)
            UnmountUnix(m_folder, m_marker);
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
    bool IsMounted() const { return m_mounted; }

private:
    std::wstring m_folder, m_marker;
    bool m_mounted;
};

TEST_F(ShreddingTest, AMountedFileSystemIsNotWalked)
{
    if (!UnderWine())
        GTEST_SKIP() << "mounts a file system on the Unix side of the Wine prefix";
    const std::wstring top = Folder(L"top");
    const std::wstring mnt = Folder(L"top\\mnt");
    const std::wstring marker = File(L"top\\mnt\\under-the-mount.txt", 20);
    ScopedTmpfs mount(mnt, marker);
    if (!mount.IsMounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here (not root)";
    const std::wstring inside = mnt + L"\\inside.bin";
    ASSERT_TRUE(MakeFile(inside, 400, 'M'));
    const std::vector<uint8_t> before = TempDir::ReadFile(inside);

    // Wine shows a mount of another file system as a reparse point without a tag, which the walk takes for
    // a link and leaves alone (a Unix link cannot be removed through Wine).
    const Outcome outcome = Shred({}, {top});
    EXPECT_EQ(mnt, outcome.m_error.m_name.Str());
    EXPECT_EQ(DeleteErrorFailed, outcome.m_error.m_kind);
    ExpectDone();
    EXPECT_EQ(before, TempDir::ReadFile(inside)) << "nothing of the other file system is touched";
    EXPECT_EQ(std::vector<std::wstring>{L"mnt"}, ListFolder(top));
}

// A folder that lies on another volume than its parent without showing as a reparse point (a mounted
// folder that Wine shows plainly): its handle's volume serial tells. The serial is faked, since the mounts
// that Wine shows plainly (bind mounts of the same file system) keep their parent's serial.
ImportPatch<decltype(::GetFileInformationByHandle)>* g_volumeInformation = nullptr;
std::wstring g_otherVolume;  // the folder whose handle reports another volume

BOOL WINAPI OtherVolumeInformation(HANDLE item, LPBY_HANDLE_FILE_INFORMATION info)
{
    const BOOL ok = g_volumeInformation->Original()(item, info);
    if (ok && !g_otherVolume.empty() && RenamedFrom(item) == g_otherVolume)
        info->dwVolumeSerialNumber ^= 0x5A5A5A5A;
    return ok;
}

TEST_F(ShreddingTest, AFolderOnAnotherVolumeIsNotWalkedAndFailsTheJob)
{
    const std::wstring top = Folder(L"top");
    File(L"top\\plain.bin", 30);
    const std::wstring mnt = Folder(L"top\\mnt");
    const std::wstring inside = File(L"top\\mnt\\inside.bin", 400);
    ImportPatch<decltype(::GetFileInformationByHandle)> volume("GetFileInformationByHandle", &OtherVolumeInformation);
    ASSERT_TRUE(volume.IsActive());
    g_volumeInformation = &volume;
    g_otherVolume = mnt;
    const Outcome outcome = Shred({}, {top});
    g_otherVolume.clear();
    ExpectError(outcome, mnt, 0, DeleteErrorFailed, kOtherVolumeError);
    ExpectDone();
    EXPECT_EQ(std::vector<uint8_t>(400, 'x'), TempDir::ReadFile(inside)) << "nothing in it is touched";
    EXPECT_TRUE(Exists(mnt));
}

// Wine reports a removal that Linux refused (an immutable folder) as done: the job checks that the name is
// gone, and fails at the folder that stays. Needs root and a file system that keeps the attribute.
TEST_F(ShreddingTest, AFolderReportedRemovedThatIsStillThereFailsTheJobAtIt)
{
    if (!UnderWine())
        GTEST_SKIP() << "sets the immutable attribute on the Unix side of the Wine prefix";
    const std::wstring top = Folder(L"top");
    File(L"top\\first.bin", 30);
    const std::wstring stuck = Folder(L"top\\stuck");
    if (!SetUnixImmutable(stuck, true))
        GTEST_SKIP() << "the immutable attribute cannot be set here (not root, or the file system keeps none)";
    struct Undo {
        std::wstring m_folder;
        ~Undo() { SetUnixImmutable(m_folder, false); }
    } undo{stuck};

    const Outcome outcome = Shred({}, {top});
    ExpectError(outcome, stuck, 0, DeleteErrorFailed, kStillThereError);
    ExpectDone();
    EXPECT_EQ(std::vector<std::wstring>{L"stuck"}, ListFolder(top)) << "under its own name";
}

}  // namespace
