#pragma once
// The messages that the engine and the job threads post to the progress dialog, their payload records
// and the four engine posters. Every message is posted (never sent) with lParam 0; a payload travels as
// a pointer in wParam, is a new heap object made for that one message, and belongs to the receiving
// window once posted: the receiver frees it exactly once, also when it drops the message.
#include <windows.h>

#include <cstdint>
#include <string>

constexpr UINT WM_DELETE_PROGRESS = WM_APP + 1;   // DeleteProgress*
constexpr UINT WM_RESIDENT_PHASE = WM_APP + 2;    // int32_t*: 1 the resident-file phase begins, 0 it ended
constexpr UINT WM_DELETE_DONE = WM_APP + 3;       // no payload
constexpr UINT WM_METRICS_STATUS = WM_APP + 4;    // MetricsStatus*
constexpr UINT WM_SHOW_PROGRESS = WM_APP + 5;     // no payload
constexpr UINT WM_METRICS_DONE = WM_APP + 6;      // MetricsResult*
constexpr UINT WM_FREE_SPACE_DONE = WM_APP + 7;   // no payload
constexpr UINT WM_FREE_SPACE_TOTAL = WM_APP + 8;  // uint64_t*: free bytes available to the user
constexpr UINT WM_CLOSE_PROGRESS = WM_APP + 9;    // no payload

// Progress of a shredding or free-space job, posted after every chunk written.
struct DeleteProgress {
    std::wstring m_name;        // item being overwritten; empty when the poster had no name
    uint64_t m_fileSize;        // size of the item
    uint64_t m_itemsDone;       // items of the job finished before this one
    uint64_t m_bytesProcessed;  // job progress in bytes, counted with passes
    int32_t m_passCount;        // passes of the method in use
    int32_t m_passNumber;       // pass being written, from 1
    int32_t m_freeSpace;        // 0 list and recycle-bin jobs, 1 free-space jobs
};

// What the counting thread shows while it counts: both lines ready to display.
struct MetricsStatus {
    std::wstring m_nameLine;
    std::wstring m_statusLine;
};

// The counting thread's totals.
struct MetricsResult {
    uint64_t m_files;
    uint64_t m_bytes;
};

// Called by CErasureMethod::WritePasses after every chunk; returns the posting result, which the loop
// ignores. name may be null.
using ProgressCallback = BOOL (*)(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone,
                                  uint64_t bytesProcessed, int32_t passCount, int32_t passNumber);

// Posts payload in wParam (lParam 0). When the post fails the receiver never sees the payload, so it is
// deleted here; the caller must not touch it after the call either way.
template <class T>
BOOL PostPayload(HWND hWnd, UINT msg, T* payload)
{
    if (!PostMessageW(hWnd, msg, reinterpret_cast<WPARAM>(payload), 0)) {
        DWORD error = GetLastError();
        delete payload;
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// WM_DELETE_PROGRESS with m_freeSpace 0 (list and recycle-bin jobs).
BOOL PostDeleteProgress(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone,
                        uint64_t bytesProcessed, int32_t passCount, int32_t passNumber);
// WM_DELETE_PROGRESS with m_freeSpace 1 (free-space jobs).
BOOL PostFreeSpaceProgress(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone,
                           uint64_t bytesProcessed, int32_t passCount, int32_t passNumber);
// WM_FREE_SPACE_TOTAL with the free bytes of the volume (also when 0).
BOOL PostFreeSpaceTotal(HWND hWnd, uint64_t freeBytes);
// WM_RESIDENT_PHASE with the phase flag.
BOOL PostResidentPhase(HWND hWnd, int32_t flag);
