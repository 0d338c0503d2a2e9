#pragma once
// Base class of the job threads that the progress dialog owns. Each job object owns one system thread,
// created suspended while the object is constructed. The base never resumes, holds or waits for its own
// thread: the owner does, by this contract:
//   start    ResumeThread(m_hThread); m_running = (it did not fail); m_stop = 0
//   pause    hold the thread; m_running = false once it is held
//   resume   let it go on; m_running = (that worked); m_stop = 0
//   cancel   Stop(); then, only when m_running is true, WaitForSingleObject(m_hThread, INFINITE)
//   destroy  only when m_running is true, wait the same way; then delete the object
// When Run returns (normally, after a stop or by an exception) ThreadProc clears m_running; it sets
// m_finished first when Run returned rather than threw.
#include <windows.h>

#include <atomic>

#include "libcommon/CancelFlag.h"

// The program's own exception type, caught at the thread entry. Nothing in the program throws it.
class Exception {
public:
    virtual ~Exception();
};

class Thread {
public:
    // Creates the system thread suspended; m_running false, m_stop 0. A failed creation leaves m_hThread
    // NULL: the owner's ResumeThread then fails and it never waits for this job.
    Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Closes the thread handle; neither stops nor waits for the thread (the owner waits first).
    virtual ~Thread();

    // Asks the job to stop (m_stop = 1), then calls OnStop. Never blocks, never releases a held thread.
    virtual void Stop();
    virtual void OnStop();
    // The job body, run once on the job's own thread.
    virtual void Run() = 0;
    virtual void OnStart();

    // Start routine of the system thread: OnStart, then Run; every exception is caught; m_running is
    // cleared however the job ends. Returns 0.
    static DWORD WINAPI ThreadProc(LPVOID parameter);

    HANDLE m_hThread;
    DWORD m_threadId;
    std::atomic<bool> m_running;  // resumed and not held; written by the owner, cleared by ThreadProc
    CancelFlag m_stop;            // kCancelGoOn, kCancelStop or kCancelHold; polled by the job's loops
    std::atomic<bool> m_finished{false};  // set by ThreadProc when Run returned, not when it threw
};
