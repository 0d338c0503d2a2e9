#pragma once
// A message-only window on the calling (test) thread that stands in for the progress dialog: it collects
// the messages WM_APP+1 .. WM_APP+9 posted to it, copies their payloads into records and frees every
// payload once, counting what it received and what it freed.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "engine/ProgressMessages.h"

class MessageSink {
public:
    // One collected message; only the field that belongs to msg is filled.
    struct Message {
        UINT m_msg = 0;
        WPARAM m_wParam = 0;  // as posted (the payload's address, already freed)
        LPARAM m_lParam = 0;
        DeleteProgress m_progress{};  // WM_DELETE_PROGRESS
        MetricsStatus m_status;       // WM_METRICS_STATUS
        MetricsResult m_result{};     // WM_METRICS_DONE
        uint64_t m_total = 0;         // WM_FREE_SPACE_TOTAL
        int32_t m_flag = 0;           // WM_RESIDENT_PHASE
    };

    MessageSink();
    // Collects and frees what is still queued, then destroys the window.
    ~MessageSink();
    MessageSink(const MessageSink&) = delete;
    MessageSink& operator=(const MessageSink&) = delete;

    HWND Handle() const { return m_hWnd; }

    // Dispatches everything queued for the window now. Messages posted from this thread are in the queue
    // as soon as the post returns, so one Pump after the code under test is enough there.
    void Pump();
    // Pumps until a message msg has been collected (counting those collected before), or until timeoutMs
    // has passed; true when one arrived. For messages posted from other threads.
    bool PumpUntil(UINT msg, DWORD timeoutMs);

    const std::vector<Message>& Messages() const { return m_messages; }
    // The WM_DELETE_PROGRESS records, in the order they arrived.
    std::vector<DeleteProgress> Progress() const;
    size_t Count(UINT msg) const;
    // Forgets the collected records (and releases their memory).
    void Clear() { std::vector<Message>().swap(m_messages); }

    // Payloads received (messages that carry one, with a non-zero wParam) and payloads freed.
    uint64_t PayloadsReceived() const { return m_received; }
    uint64_t PayloadsFreed() const { return m_freed; }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Collect(UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;
    std::vector<Message> m_messages;
    uint64_t m_received = 0;
    uint64_t m_freed = 0;
};
