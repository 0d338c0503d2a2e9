// The worker-thread base and its owner contract.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <new>
#include <stdexcept>

#include "JobTestUtil.h"
#include "MessageSink.h"
#include "app/jobs/Thread.h"

namespace {

// A job that records its hooks and posts one message from Run; it can throw from either hook.
class ProbeJob : public Thread {
public:
    enum Throw { None, OwnException, BadAlloc, Runtime, Integer };

    ProbeJob(HWND target, Throw what = None, bool fromOnStart = false)
        : m_target(target), m_throw(what), m_fromOnStart(fromOnStart)
    {
    }

    void OnStart() override
    {
        m_onStartThread = GetCurrentThreadId();
        ++m_onStartCalls;
        if (m_fromOnStart)
            ThrowIt();
    }
    void Run() override
    {
        m_runThread = GetCurrentThreadId();
        m_runningSeenByRun = m_running;
        ++m_runCalls;
        if (!m_fromOnStart)
            ThrowIt();
        PostMessageW(m_target, WM_DELETE_DONE, 0, 0);
    }
    void OnStop() override { ++m_onStopCalls; }

    void ThrowIt()
    {
        switch (m_throw) {
        case None: return;
        case OwnException: throw Exception();
        case BadAlloc: throw std::bad_alloc();
        case Runtime: throw std::runtime_error("job failed");
        case Integer: throw 42;
        }
    }

    HWND m_target;
    Throw m_throw;
    bool m_fromOnStart;
    std::atomic<int> m_onStartCalls{0}, m_runCalls{0}, m_onStopCalls{0};
    DWORD m_onStartThread = 0, m_runThread = 0;
    bool m_runningSeenByRun = false;
};

TEST(ThreadTest, AJobNeverResumedRunsNothingPostsNothingAndIsDestroyedAtOnce)
{
    MessageSink sink;
    HANDLE thread = nullptr;
    {
        ProbeJob job(sink.Handle());
        ASSERT_NE(nullptr, job.m_hThread);
        EXPECT_NE(0u, job.m_threadId);
        EXPECT_FALSE(job.m_running);
        EXPECT_EQ(0, job.m_stop);
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.m_hThread, GetCurrentProcess(), &thread, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS));
        Sleep(50);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(job.m_hThread, 0)) << "created suspended";
        EXPECT_EQ(0, job.m_onStartCalls);
        EXPECT_EQ(0, job.m_runCalls);
    }
    // The object is gone; its thread still exists, suspended, and never ran a step.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
    sink.Pump();
    EXPECT_TRUE(sink.Messages().empty());
    // It stays so until the process ends.
    CloseHandle(thread);
}

TEST(ThreadTest, StopOnAJobNeverResumedSetsTheFlagCallsOnStopAndReturns)
{
    MessageSink sink;
    ProbeJob job(sink.Handle());
    job.Stop();
    EXPECT_EQ(1, job.m_stop);
    EXPECT_EQ(1, job.m_onStopCalls);
    EXPECT_FALSE(job.m_running) << "Stop leaves m_running alone; an owner keeping the contract does not wait";
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(job.m_hThread, 0));
    EXPECT_EQ(0, job.m_runCalls);
    sink.Pump();
    EXPECT_TRUE(sink.Messages().empty());
}

TEST(ThreadTest, AResumedJobRunsOnStartThenRunOnItsOwnThreadAndEndsWithRunningFalse)
{
    MessageSink sink;
    ProbeJob job(sink.Handle());
    ASSERT_TRUE(RunJobToEnd(job));
    EXPECT_EQ(1, job.m_onStartCalls);
    EXPECT_EQ(1, job.m_runCalls);
    EXPECT_EQ(job.m_threadId, job.m_onStartThread);
    EXPECT_EQ(job.m_threadId, job.m_runThread);
    EXPECT_NE(GetCurrentThreadId(), job.m_runThread);
    EXPECT_TRUE(job.m_runningSeenByRun) << "the owner set it when the resume worked";
    EXPECT_FALSE(job.m_running) << "cleared when Run returned";
    DWORD exitCode = 1;
    EXPECT_TRUE(GetExitCodeThread(job.m_hThread, &exitCode));
    EXPECT_EQ(0u, exitCode);
    sink.Pump();
    EXPECT_EQ(1u, sink.Count(WM_DELETE_DONE));
}

TEST(ThreadTest, AnyExceptionEndsTheJobQuietlyWithRunningFalseAndExitCodeZero)
{
    struct Case {
        const char* what;
        ProbeJob::Throw kind;
        bool fromOnStart;
    };
    const Case cases[] = {
        {"Exception from Run", ProbeJob::OwnException, false},
        {"Exception from OnStart", ProbeJob::OwnException, true},
        {"a failed allocation in Run", ProbeJob::BadAlloc, false},
        {"a standard exception in OnStart", ProbeJob::Runtime, true},
        {"an int from Run", ProbeJob::Integer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MessageSink sink;
        ProbeJob job(sink.Handle(), c.kind, c.fromOnStart);
        ASSERT_TRUE(RunJobToEnd(job, 10000)) << "the thread ended";
        EXPECT_FALSE(job.m_running);
        DWORD exitCode = 1;
        EXPECT_TRUE(GetExitCodeThread(job.m_hThread, &exitCode));
        EXPECT_EQ(0u, exitCode);
        EXPECT_EQ(c.fromOnStart ? 0 : 1, job.m_runCalls);
        sink.Pump();
        EXPECT_TRUE(sink.Messages().empty()) << "the base posts nothing for a failed job";
    }
}

}  // namespace
