#pragma once
// Synchronisation objects.
#include <windows.h>

// An event (auto-reset unless bManualReset). The handle is closed with the object.
class CEvent {
public:
    explicit CEvent(BOOL bInitiallyOwn = FALSE, BOOL bManualReset = FALSE, const wchar_t* lpszName = nullptr,
                    LPSECURITY_ATTRIBUTES lpsaAttribute = nullptr)
        : m_hObject(::CreateEventW(lpsaAttribute, bManualReset, bInitiallyOwn, lpszName))
    {
    }
    ~CEvent()
    {
        if (m_hObject)
            ::CloseHandle(m_hObject);
    }
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    HANDLE m_hObject;

    operator HANDLE() const { return m_hObject; }
    BOOL SetEvent() { return ::SetEvent(m_hObject); }
    BOOL ResetEvent() { return ::ResetEvent(m_hObject); }
    BOOL PulseEvent() { return ::PulseEvent(m_hObject); }
    // True when the event was signalled within the time-out.
    BOOL Lock(DWORD dwTimeout = INFINITE) { return ::WaitForSingleObject(m_hObject, dwTimeout) == WAIT_OBJECT_0; }
    BOOL Unlock() { return TRUE; }
};
