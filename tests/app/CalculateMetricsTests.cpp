// The counting thread on real trees in the Wine prefix, its messages collected by a window on the test
// thread.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ImportPatch.h"
#include "JobTestUtil.h"
#include "MessageSink.h"
#include "TempDir.h"
#include "app/jobs/CalculateMetricsThread.h"

namespace {

std::wstring Shown(const std::wstring& path)
{
    return path.size() <= 50 ? path : L"..." + path.substr(path.size() - 50);
}

std::wstring StatusLine(uint64_t files, uint64_t value, const wchar_t* unit, uint64_t bytes)
{
    return L"Total Items: " + std::to_wstring(files) + L" Size : " + std::to_wstring(value) + L" " + unit +
           L"  (" + std::to_wstring(bytes) + L" bytes)";
}

class CountingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.IsValid());
        g_hProgressWnd = m_sink.Handle();
    }
    void TearDown() override { g_hProgressWnd = nullptr; }

    // Runs a lists-mode job to its end and collects what it posted.
    void Count(const PathList& files, const PathList& folders)
    {
        CCalculateMetricsThread job(&files, &folders);
        ASSERT_TRUE(RunJobToEnd(job));
        EXPECT_FALSE(job.m_running);
        m_sink.Pump();
    }

    std::vector<MessageSink::Message> Statuses() const
    {
        std::vector<MessageSink::Message> result;
        for (const MessageSink::Message& m : m_sink.Messages())
            if (m.m_msg == WM_METRICS_STATUS)
                result.push_back(m);
        return result;
    }

    // The totals; fails the test unless exactly one WM_METRICS_DONE came, as the last message.
    MetricsResult Totals() const
    {
        EXPECT_EQ(1u, m_sink.Count(WM_METRICS_DONE));
        EXPECT_FALSE(m_sink.Messages().empty());
        if (m_sink.Messages().empty())
            return MetricsResult{~0ull, ~0ull};
        EXPECT_EQ(static_cast<UINT>(WM_METRICS_DONE), m_sink.Messages().back().m_msg);
        return m_sink.Messages().back().m_result;
    }

    TempDir m_dir{L"counting"};
    MessageSink m_sink;
};

TEST_F(CountingTest, EmptyListsGiveZeroTotalsAndNoStatus)
{
    Count({}, {});
    MetricsResult totals = Totals();
    EXPECT_EQ(0u, totals.m_files);
    EXPECT_EQ(0u, totals.m_bytes);
    EXPECT_EQ(1u, m_sink.Messages().size());
    EXPECT_EQ(m_sink.PayloadsReceived(), m_sink.PayloadsFreed());
}

TEST_F(CountingTest, AStatusFollowsThe201stFileAndEvery201stAfterIt)
{
    PathList all;
    for (int i = 0; i < 402; ++i) {
        wchar_t name[32];
        _snwprintf(name, 32, L"file%03d.bin", i);
        all.push_back(m_dir.Join(name));
        ASSERT_TRUE(MakeFile(all.back(), 2));
    }
    for (size_t count : {200u, 201u, 402u}) {
        SCOPED_TRACE(count);
        m_sink.Clear();
        Count(PathList(all.begin(), all.begin() + count), {});
        std::vector<MessageSink::Message> statuses = Statuses();
        ASSERT_EQ(count / 201, statuses.size());
        for (size_t i = 0; i < statuses.size(); ++i) {
            const size_t files = 201 * (i + 1);
            EXPECT_EQ(L"Name : " + Shown(all[files - 1]), statuses[i].m_status.m_nameLine);
            EXPECT_EQ(StatusLine(files, files * 2, L"bytes", files * 2), statuses[i].m_status.m_statusLine);
        }
        MetricsResult totals = Totals();
        EXPECT_EQ(count, totals.m_files);
        EXPECT_EQ(count * 2, totals.m_bytes);
    }
}

TEST_F(CountingTest, StatusUnitsAndValues)
{
    struct Case {
        uint64_t bytes;
        uint64_t value;
        const wchar_t* unit;
    };
    const uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;
    const Case cases[] = {
        {0, 0, L"bytes"},          {1023, 1023, L"bytes"},      {1024, 1, L"KB"},
        {MiB - 1, 1023, L"KB"},    {MiB, 1, L"MB"},             {5000000, 4, L"MB"},
        {GiB - 1, 1023, L"MB"},    {GiB, 1, L"GB"},             {TiB - 1, 1023, L"GB"},
        {TiB, 1, L"TB"},           {5 * TiB + 7, 5, L"TB"},     {1ull << 62, 1ull << 22, L"TB"},
    };
    CCalculateMetricsThread job(nullptr, nullptr);  // never resumed: PostStatus runs on this thread
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        m_sink.Clear();
        const uint64_t files = 1234;
        job.m_filesSinceStatus = 200;
        job.PostStatus(L"C:\\a.txt", &c.bytes, &files);
        EXPECT_EQ(0, job.m_filesSinceStatus);
        m_sink.Pump();
        std::vector<MessageSink::Message> statuses = Statuses();
        ASSERT_EQ(1u, statuses.size());
        EXPECT_EQ(StatusLine(1234, c.value, c.unit, c.bytes), statuses[0].m_status.m_statusLine);
        EXPECT_EQ(L"Name : C:\\a.txt", statuses[0].m_status.m_nameLine);
    }
}

TEST_F(CountingTest, NamesOfMoreThan50CharactersShowTheirLast50)
{
    const std::wstring fifty = L"C:\\" + std::wstring(41, L'a') + L"\\b.txt";  // 50 characters
    const std::wstring fiftyOne = L"C:\\" + std::wstring(42, L'a') + L"\\b.txt";
    ASSERT_EQ(50u, fifty.size());
    ASSERT_EQ(51u, fiftyOne.size());
    CCalculateMetricsThread job(nullptr, nullptr);
    const uint64_t bytes = 5000000, files = 1234;
    job.PostStatus(fifty.c_str(), &bytes, &files);
    job.PostStatus(fiftyOne.c_str(), &bytes, &files);
    m_sink.Pump();
    std::vector<MessageSink::Message> statuses = Statuses();
    ASSERT_EQ(2u, statuses.size());
    EXPECT_EQ(L"Name : " + fifty, statuses[0].m_status.m_nameLine);
    EXPECT_EQ(L"Name : ..." + fiftyOne.substr(1), statuses[1].m_status.m_nameLine);
    EXPECT_EQ(L"Total Items: 1234 Size : 4 MB  (5000000 bytes)", statuses[0].m_status.m_statusLine);
}

TEST_F(CountingTest, TreesCountFilesAtEveryDepthAndSkipWhatIsMissing)
{
    const std::wstring tree = m_dir.Join(L"tree");
    ASSERT_TRUE(MakeFolders(tree + L"\\a\\b\\c"));
    ASSERT_TRUE(MakeFolders(tree + L"\\empty\\e1\\e2"));
    ASSERT_TRUE(MakeFile(tree + L"\\a\\b\\c\\deep.bin", 10));
    ASSERT_TRUE(MakeFile(tree + L"\\a\\one.bin", 5));
    ASSERT_TRUE(MakeFile(tree + L"\\top.bin", 0));
    const std::wstring onlyEmpty = m_dir.Join(L"only-empty");
    ASSERT_TRUE(MakeFolders(onlyEmpty + L"\\x\\y"));
    ASSERT_TRUE(MakeFolders(onlyEmpty + L"\\z"));
    const std::wstring listed = m_dir.Join(L"listed.bin");
    ASSERT_TRUE(MakeFile(listed, 7));

    Count({listed, m_dir.Join(L"missing.bin")}, {tree, onlyEmpty, m_dir.Join(L"no-such-folder")});
    MetricsResult totals = Totals();
    EXPECT_EQ(4u, totals.m_files);
    EXPECT_EQ(22u, totals.m_bytes);
    EXPECT_TRUE(Statuses().empty());

    m_sink.Clear();
    Count({}, {onlyEmpty});
    totals = Totals();
    EXPECT_EQ(0u, totals.m_files);
    EXPECT_EQ(0u, totals.m_bytes);

    // A file list entry counts the size its directory entry records (4 GiB and more included).
    m_sink.Clear();
    const std::wstring big = m_dir.Join(L"big.bin");
    HANDLE file = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER end;
    end.QuadPart = 5ll << 30;  // sparse under Wine: takes no room on the disk
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
    Count({big}, {});
    totals = Totals();
    EXPECT_EQ(1u, totals.m_files);
    EXPECT_EQ(5ull << 30, totals.m_bytes);
}

TEST_F(CountingTest, AStopBeforeTheStartPostsNothing)
{
    const std::wstring tree = m_dir.Join(L"tree");
    ASSERT_TRUE(MakeFolders(tree));
    ASSERT_TRUE(MakeFile(tree + L"\\f.bin", 1));
    PathList files{tree + L"\\f.bin"}, folders{tree};
    CCalculateMetricsThread job(&files, &folders);
    job.Stop();
    ASSERT_TRUE(RunJobToEnd(job));
    m_sink.Pump();
    EXPECT_TRUE(m_sink.Messages().empty());
}

// The stop has to land in the middle of a folder walk; the seam only picks that moment (after the
// 300th FindNextFileW) and passes every call on to the real function.
CCalculateMetricsThread* g_stoppingJob = nullptr;
ImportPatch<decltype(::FindNextFileW)>* g_findNext = nullptr;
int g_findNextCalls = 0;

BOOL WINAPI FindNextStoppingAt300(HANDLE search, LPWIN32_FIND_DATAW entry)
{
    BOOL result = g_findNext->Original()(search, entry);
    if (++g_findNextCalls == 300 && g_stoppingJob)
        g_stoppingJob->Stop();
    return result;
}

TEST_F(CountingTest, AStopDuringAFolderWalkEndsItWithNoFurtherStatusAndNoTotals)
{
    const std::wstring tree = m_dir.Join(L"tree");
    ASSERT_TRUE(MakeFolders(tree));
    for (int i = 0; i < 450; ++i)
        ASSERT_TRUE(MakeFile(tree + L"\\f" + std::to_wstring(i), 1));
    const std::wstring second = m_dir.Join(L"second");
    ASSERT_TRUE(MakeFolders(second));
    ASSERT_TRUE(MakeFile(second + L"\\g", 1));

    PathList files, folders{tree, second};
    CCalculateMetricsThread job(&files, &folders);
    ImportPatch<decltype(::FindNextFileW)> patch("FindNextFileW", &FindNextStoppingAt300);
    ASSERT_TRUE(patch.IsActive());
    g_findNext = &patch;
    g_findNextCalls = 0;
    g_stoppingJob = &job;
    ASSERT_TRUE(RunJobToEnd(job));
    g_stoppingJob = nullptr;
    m_sink.Pump();
    EXPECT_EQ(1u, Statuses().size()) << "the status of the 201st file, none after the stop";
    EXPECT_EQ(0u, m_sink.Count(WM_METRICS_DONE));
    EXPECT_LE(g_findNextCalls, 301) << "the walk went no further than the next entry";
}

TEST_F(CountingTest, LinksToFoldersAreNeitherCountedNorFollowed)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its links as Unix symbolic links in the Wine prefix";
    const std::wstring target = m_dir.Join(L"target");
    ASSERT_TRUE(MakeFolders(target + L"\\inner"));
    for (const wchar_t* name : {L"\\t1", L"\\t2", L"\\inner\\t3"})
        ASSERT_TRUE(MakeFile(target + name, 100));
    const std::wstring tree = m_dir.Join(L"tree");
    ASSERT_TRUE(MakeFolders(tree));
    ASSERT_TRUE(MakeFile(tree + L"\\real.bin", 4));
    const std::wstring inside = tree + L"\\link", listed = m_dir.Join(L"listed-link");
    ScopedUnixLink insideLink(inside, target), listedLink(listed, target);
    ASSERT_TRUE(insideLink.IsMade());
    ASSERT_TRUE(listedLink.IsMade());
    ASSERT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              GetFileAttributesW(inside.c_str()) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

    Count({}, {tree, listed});
    MetricsResult totals = Totals();
    EXPECT_EQ(1u, totals.m_files);
    EXPECT_EQ(4u, totals.m_bytes);
}

TEST_F(CountingTest, PathsTooLongToHandleAreNotCounted)
{
    // A folder chain reaching past MAX_PATH characters (Wine takes such paths; Windows would refuse them).
    const std::wstring tree = m_dir.Join(L"tree");
    std::wstring deep = tree;
    while (deep.size() + 31 < 250)
        deep += L"\\" + std::wstring(30, L'd');  // ends between 219 and 249 characters: still listed
    if (!MakeFolders(deep + L"\\" + std::wstring(30, L'e')))
        GTEST_SKIP() << "this system does not make folders with paths past MAX_PATH";
    ASSERT_TRUE(MakeFile(tree + L"\\short.bin", 2));
    ASSERT_TRUE(MakeFile(deep + L"\\" + std::wstring(40, L'f'), 50));  // path past MAX_PATH
    ASSERT_TRUE(MakeFile(deep + L"\\" + std::wstring(30, L'e') + L"\\" + std::wstring(30, L'g'), 60));
    const std::wstring longListed = deep + L"\\" + std::wstring(40, L'f');
    ASSERT_GE(longListed.size(), static_cast<size_t>(MAX_PATH));

    Count({longListed}, {tree});
    MetricsResult totals = Totals();
    EXPECT_EQ(1u, totals.m_files);
    EXPECT_EQ(2u, totals.m_bytes);
}

}  // namespace

namespace {

// A name that cannot be joined to its folder as one entry of it (Linux allows a backslash; joined plainly
// it addresses the file beside the folder) is not counted, nor what it would reach.
TEST_F(CountingTest, ANameThatCannotBeJoinedToItsFolderIsNotCounted)
{
    if (!UnderWine())
        GTEST_SKIP() << "makes its names on the Unix side of the Wine prefix";
    const std::wstring sel = m_dir.Join(L"sel");
    ASSERT_TRUE(MakeFolders(sel));
    ASSERT_TRUE(MakeFile(sel + L"\\plain.bin", 10));
    const std::wstring victim = m_dir.Join(L"victim.txt");
    ASSERT_TRUE(MakeFile(victim, 5000));
    ASSERT_TRUE(CopyToUnixName(victim, sel, L"..\\victim.txt"));
    Count({}, {sel});
    const MetricsResult totals = Totals();
    EXPECT_EQ(1u, totals.m_files);
    EXPECT_EQ(10u, totals.m_bytes);
    EXPECT_TRUE(RemoveUnixTree(sel));
}

}  // namespace

namespace {

// A folder of the selection exchanged for a link to a folder outside it just as its listing begins (after
// it was checked): nothing outside is counted.
TEST_F(CountingTest, AFolderExchangedForALinkAsItsListingBeginsCountsNothingOutside)
{
    if (!UnderWine())
        GTEST_SKIP() << "exchanges the names on the Unix side of the Wine prefix";
    const std::wstring top = m_dir.Join(L"top");
    const std::wstring sub = top + L"\\sub";
    const std::wstring outside = m_dir.Join(L"outside");
    const std::wstring spare = m_dir.Join(L"spare");
    for (const std::wstring& folder : {top, sub, outside, spare})
        ASSERT_TRUE(MakeFolders(folder));
    ASSERT_TRUE(MakeFile(top + L"\\own.bin", 10));
    ASSERT_TRUE(MakeFile(sub + L"\\inside.bin", 20));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(MakeFile(outside + L"\\o" + std::to_wstring(i) + L".bin", 1000));
    ScopedUnixLink link(spare + L"\\lnk", outside);
    ASSERT_TRUE(link.IsMade());
    {
        ExchangeDuringListing exchange(sub, spare + L"\\lnk", ExchangeDuringListing::When::BeforeListing);
        ASSERT_TRUE(exchange.IsActive());
        Count({}, {top});
        EXPECT_TRUE(exchange.Exchanged());
    }
    const MetricsResult totals = Totals();
    EXPECT_EQ(1u, totals.m_files) << "only top's own file";
    EXPECT_EQ(10u, totals.m_bytes);
    EXPECT_TRUE(RemoveUnixTree(top));  // top\sub is the link now
    EXPECT_TRUE(RemoveUnixTree(spare));
}

}  // namespace
