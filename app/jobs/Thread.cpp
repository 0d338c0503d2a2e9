// Worker-thread base of the job threads.
#include "Thread.h"

Exception::~Exception() = default;

Thread::Thread() : m_hThread(nullptr), m_threadId(0), m_running(false), m_stop(0)
{
    // Suspended: the derived constructor still has to run, and the owner decides when the job starts.
    m_hThread = CreateThread(nullptr, 0, &Thread::ThreadProc, this, CREATE_SUSPENDED, &m_threadId);
}

Thread::~Thread()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

void Thread::Stop()
{
    m_stop = kCancelStop;
    OnStop();
}

void Thread::OnStop()
{
}

void Thread::OnStart()
{
}

DWORD WINAPI Thread::ThreadProc(LPVOID parameter)
{
    Thread* job = static_cast<Thread*>(parameter);
    try {
        job->OnStart();
        job->Run();
        job->m_finished = true;
    } catch (Exception&) {
        // The program's own exception type ends the job quietly.
    } catch (...) {
        // So does anything else (a failed allocation inside a job, say): the owner decides by m_running
        // whether to wait, so the thread must end normally and clear it.
    }
    job->m_running = false;
    return 0;
}
