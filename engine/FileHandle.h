#pragma once
// An open file or folder handle of the engine, closed when it goes, keeping the thread's last error as the
// failed step left it (callers report that error after the handle is gone).
#include <windows.h>

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }
    // Hands the handle over to the caller, who closes it.
    void Release() { m_handle = INVALID_HANDLE_VALUE; }
    void Close()
    {
        if (m_handle != INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
            SetLastError(error);
        }
    }

private:
    HANDLE m_handle;
};
