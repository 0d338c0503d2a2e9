// The update check against hostile servers on 127.0.0.1: whatever the server sends, and however long it
// goes on, the check's exchange lets go of it by the deadline (its threads end, the process does not grow
// with what the server sends), and while one exchange lives no second one starts.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

#include "LoopbackHttpServer.h"
#include "UpdateTestUtil.h"
#include "app/VersionChecker.h"

using namespace updtest;
using Send = LoopbackHttpServer::Send;

namespace {

const ProductVersion kRunning{ 1, 0, 1 };
const char kFeedHost[] = "www.corvane.example";
constexpr SIZE_T kGrowthBound = 64 * 1024 * 1024;

int ThreadsOfThisProcess()
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId())
            ++count;
    ::CloseHandle(snapshot);
    return count;
}

SIZE_T WorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)) ? counters.WorkingSetSize : 0;
}

// Polls pred every 20 ms for at most ms; true as soon as it holds.
bool Within(DWORD ms, const std::function<bool()>& pred)
{
    const ULONGLONG until = ::GetTickCount64() + ms;
    for (;;) {
        if (pred())
            return true;
        if (::GetTickCount64() > until)
            return false;
        ::Sleep(20);
    }
}

struct FeedCheck {
    CUpdateInfo* info = nullptr;
    ULONGLONG ms = 0;
};

FeedCheck RunCheck(CVersionChecker& checker, DWORD deadlineMs)
{
    CVersionChecker::Limits limits;
    limits.stepTimeoutMs = 700;
    limits.connectRetries = 0;
    limits.deadlineMs = deadlineMs;
    checker.SetLimits(limits);
    HINTERNET session = ::InternetOpenW(L"MyUserAgent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    const ULONGLONG started = ::GetTickCount64();
    FeedCheck result;
    result.info = checker.Check(kRunning, session);
    result.ms = ::GetTickCount64() - started;
    return result;
}

std::wstring FeedUrl()
{
    return L"http://" + std::wstring(kFeedHost, kFeedHost + sizeof(kFeedHost) - 1) + L"/feed.xml";
}

struct UpdateBounds : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(server.IsListening());
        ASSERT_TRUE(redirect.IsActive());
        // A good check and one cut off first: the threads WinINet (under Wine) keeps for itself afterwards
        // (started before the exchange's own threads end), and the one GoogleTest starts for this thread's
        // traces, are part of the usual size.
        SCOPED_TRACE("warm-up");
        server.Set("/feed.xml", { 200, FeedText("1.2.3", "http://www.corvane.example/setup.exe") });
        CVersionChecker checker(FeedUrl().c_str());
        ASSERT_NE(RunCheck(checker, 3000).info, nullptr);
        // An exchange may outlast its check by moments, and a check made meanwhile would start none.
        ASSERT_TRUE(redirect.ThreadsEnded());
        server.Set("/feed.xml", { 200, "", Send::HeaderFlood });
        EXPECT_EQ(RunCheck(checker, 3000).info, nullptr);
        ASSERT_TRUE(redirect.ThreadsEnded());
        baseThreads = ThreadsOfThisProcess();
        baseMemory = WorkingSet();
        ASSERT_GT(baseThreads, 0);
        ASSERT_GT(baseMemory, 0u);
    }

    // No exchange is left to the next test.
    void TearDown() override { EXPECT_TRUE(redirect.ThreadsEnded()); }

    LoopbackHttpServer server;
    RedirectPort80 redirect{ server.Port() };
    int baseThreads = 0;
    SIZE_T baseMemory = 0;
};

}

TEST_F(UpdateBounds, TheFeedsServerIsAskedForByItsOwnName)
{
    server.Set("/feed.xml", { 200, FeedText("1.2.3", "http://www.corvane.example/setup.exe") });
    CVersionChecker checker(FeedUrl().c_str());
    FeedCheck check = RunCheck(checker, 3000);
    ASSERT_NE(check.info, nullptr);
    EXPECT_EQ(redirect.RequestedPort(), 80);
    const std::string head = server.LastRequestHead() + "\r\n";
    EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET /feed.xml HTTP/1.1");
    EXPECT_NE(head.find("\r\nHost: www.corvane.example\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nContent-Type: text/html\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: MyUserAgent\r\n"), std::string::npos) << head;
}

TEST_F(UpdateBounds, TheLongestFeedAcceptedStillComesThrough)
{
    std::string feed = FeedText("1.2.3", "http://www.corvane.example/setup.exe");
    const size_t room = CVersionChecker::Limits().maxBodyBytes - feed.size() - 7;
    feed.insert(feed.find("<Win32>"), "<!--" + std::string(room, 'p') + "-->");
    ASSERT_EQ(feed.size(), CVersionChecker::Limits().maxBodyBytes);
    server.Set("/feed.xml", { 200, feed });
    CVersionChecker checker(FeedUrl().c_str());
    EXPECT_NE(RunCheck(checker, 5000).info, nullptr);
}

TEST_F(UpdateBounds, AHostileServerIsLetGoAtTheDeadline)
{
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
    };
    const Case cases[] = {
        { "header lines without end", { 200, "", Send::HeaderFlood } },
        { "chunks without end", { 200, "", Send::EndlessChunked, 0 } },
        { "a chunk every 50 ms", { 200, "", Send::EndlessChunked, 50 } },
        { "one chunk without end", { 200, "", Send::EndlessChunk } },
        { "a header byte every 50 ms", { 200, "", Send::DripHeaders, 50 } },
    };
    const DWORD deadlineMs = 1500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Set("/feed.xml", c.answer);
        CVersionChecker checker(FeedUrl().c_str());
        const ULONGLONG started = ::GetTickCount64();
        FeedCheck check = RunCheck(checker, deadlineMs);
        EXPECT_EQ(check.info, nullptr);
        EXPECT_LT(check.ms, deadlineMs + 2000u);
        // The exchange's threads end within a few seconds of the deadline, whatever the server does.
        EXPECT_TRUE(Within(3000, [&] { return ThreadsOfThisProcess() <= baseThreads; }))
            << ThreadsOfThisProcess() << " threads, " << baseThreads << " before";
        const ULONGLONG threadsBack = ::GetTickCount64() - started;
        // A server left to go on would have grown the process by now.
        ::Sleep(1000);
        const SIZE_T memory = WorkingSet();
        EXPECT_LT(memory, baseMemory + kGrowthBound) << (memory - baseMemory) / 1024 << " KiB more";
        EXPECT_LE(ThreadsOfThisProcess(), baseThreads);
        std::printf("%-28s check %llu ms, threads back after %llu ms, working set %+lld KiB, %d threads (%d before)\n",
                    c.name, check.ms, threadsBack, (static_cast<long long>(memory) - static_cast<long long>(baseMemory)) / 1024,
                    ThreadsOfThisProcess(), baseThreads);
    }
}

TEST_F(UpdateBounds, WhileAnExchangeLivesOtherChecksEndAtOnceWithNoAnswer)
{
    server.Set("/feed.xml", { 200, "", Send::DripHeaders, 50 });
    const int requestsBefore = server.Requests("/feed.xml");
    std::atomic<bool> firstEnded{ false };
    CUpdateInfo* firstInfo = reinterpret_cast<CUpdateInfo*>(1);
    std::thread first([&] {
        CVersionChecker checker(FeedUrl().c_str());
        firstInfo = RunCheck(checker, 6000).info;
        firstEnded = true;
    });
    ASSERT_TRUE(Within(5000, [&] { return server.Requests("/feed.xml") > requestsBefore; }));
    int most = 0;
    int made = 0;
    ULONGLONG longest = 0;
    for (int i = 0; i < 30 && !firstEnded; ++i, ++made) {
        SCOPED_TRACE(i);
        CVersionChecker checker(FeedUrl().c_str());
        FeedCheck check = RunCheck(checker, 2000);
        EXPECT_EQ(check.info, nullptr);
        EXPECT_LT(check.ms, 1000u) << "a second exchange was started";
        most = (std::max)(most, ThreadsOfThisProcess());
        longest = (std::max)(longest, check.ms);
    }
    std::printf("%d checks while one lived: longest %llu ms, %d requests, at most %d threads (%d before)\n", made,
                longest, server.Requests("/feed.xml") - requestsBefore, most, baseThreads);
    EXPECT_FALSE(firstEnded) << "the quick checks ran past the first check's deadline";
    EXPECT_EQ(server.Requests("/feed.xml"), requestsBefore + 1);
    // The thread that runs the first check, the two of its exchange (relay and WinINet) and the server's
    // thread of that connection: nothing more.
    EXPECT_LE(most, baseThreads + 4);
    first.join();
    EXPECT_EQ(firstInfo, nullptr);
    EXPECT_TRUE(Within(3000, [&] { return ThreadsOfThisProcess() <= baseThreads; }))
        << ThreadsOfThisProcess() << " threads, " << baseThreads << " before";
    // Once it has ended, a check is made again.
    server.Set("/feed.xml", { 200, FeedText("1.2.3", "http://www.corvane.example/setup.exe") });
    CVersionChecker checker(FeedUrl().c_str());
    EXPECT_NE(RunCheck(checker, 3000).info, nullptr);
}
