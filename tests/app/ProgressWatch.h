#pragma once
// Watching the progress dialog from the test thread: every message the thread takes from its queue (a
// WH_GETMESSAGE hook), and what the dialog shows once it has handled a message of its job.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "app/res/resource.h"
#include "engine/ProgressMessages.h"

// Sees every message the test thread takes from its queue, before it is handled, so that a test can act at
// a given point of the job; it may also change the message (to WM_NULL, say). One at a time.
class MessageSpy {
public:
    explicit MessageSpy(std::function<void(MSG&)> onMessage) : m_onMessage(std::move(onMessage))
    {
        s_spy = this;
        m_hook = SetWindowsHookExW(WH_GETMESSAGE, &MessageSpy::Hook, nullptr, GetCurrentThreadId());
    }
    ~MessageSpy()
    {
        UnhookWindowsHookEx(m_hook);
        s_spy = nullptr;
    }
    MessageSpy(const MessageSpy&) = delete;
    MessageSpy& operator=(const MessageSpy&) = delete;
    bool IsActive() const { return m_hook != nullptr; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam)
    {
        if (code == HC_ACTION && wParam == PM_REMOVE && s_spy)
            s_spy->m_onMessage(*reinterpret_cast<MSG*>(lParam));
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static inline MessageSpy* s_spy = nullptr;
    std::function<void(MSG&)> m_onMessage;
    HHOOK m_hook = nullptr;
};

// What the progress dialog shows, read from its window and controls.
struct ProgressView {
    std::wstring m_title;
    std::wstring m_percent;    // control 1014
    bool m_hasLines = false;   // controls 1007 and 1015 exist (not in the narrow template)
    std::wstring m_name;       // control 1007
    std::wstring m_remaining;  // control 1015
    bool m_marquee = false;    // the bar has the marquee style
    int m_low = 0;             // the bar's range and position
    int m_high = 0;
    int m_pos = 0;
    bool m_visible = false;    // the dialog is shown
};

inline std::wstring WindowTextOf(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

inline ProgressView ReadProgressView(HWND dialog)
{
    ProgressView view;
    view.m_title = WindowTextOf(dialog);
    view.m_visible = IsWindowVisible(dialog) != FALSE;
    view.m_percent = WindowTextOf(GetDlgItem(dialog, IDC_PERCENT));
    HWND name = GetDlgItem(dialog, IDC_ITEMS_NAME);
    HWND remaining = GetDlgItem(dialog, IDC_ITEMS_REMAINING);
    view.m_hasLines = name && remaining;
    view.m_name = WindowTextOf(name);
    view.m_remaining = WindowTextOf(remaining);
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    view.m_marquee = (GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
    PBRANGE range = {};
    SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    view.m_low = range.iLow;
    view.m_high = range.iHigh;
    view.m_pos = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    return view;
}

// Records the dialog's job messages (progress, resident phase, free-space total) with what the dialog shows
// right after it has handled each: the next message the thread takes comes only after that handling, and
// the view is read then, so what is recorded does not depend on how fast the job runs.
class ProgressRecorder {
public:
    struct Seen {
        UINT m_message = 0;
        DeleteProgress m_progress{};  // WM_DELETE_PROGRESS
        int64_t m_value = 0;          // WM_RESIDENT_PHASE: the flag; WM_FREE_SPACE_TOTAL: the bytes
        ProgressView m_view;          // after the dialog handled the message
    };

    explicit ProgressRecorder(std::function<HWND()> dialog)
        : m_dialog(std::move(dialog)), m_spy([this](const MSG& msg) { OnMessage(msg); })
    {
    }
    bool IsActive() const { return m_spy.IsActive(); }

    std::vector<Seen> m_seen;

private:
    void OnMessage(const MSG& msg)
    {
        HWND dialog = m_dialog();
        if (m_pending) {
            m_pending = false;
            if (dialog && IsWindow(dialog)) {
                m_next.m_view = ReadProgressView(dialog);
                m_seen.push_back(m_next);
            }
        }
        if (!dialog || msg.hwnd != dialog || !msg.wParam)
            return;
        m_next = Seen();
        m_next.m_message = msg.message;
        if (msg.message == WM_DELETE_PROGRESS)
            m_next.m_progress = *reinterpret_cast<const DeleteProgress*>(msg.wParam);
        else if (msg.message == WM_RESIDENT_PHASE)
            m_next.m_value = *reinterpret_cast<const int32_t*>(msg.wParam);
        else if (msg.message == WM_FREE_SPACE_TOTAL)
            m_next.m_value = static_cast<int64_t>(*reinterpret_cast<const uint64_t*>(msg.wParam));
        else
            return;
        m_pending = true;
    }

    std::function<HWND()> m_dialog;
    MessageSpy m_spy;
    bool m_pending = false;
    Seen m_next;
};

// The whole-number percentage of done bytes against the job's bytes times its passes, at most 100; 0 for a
// job of no bytes.
inline int ExactPercent(uint64_t bytesProcessed, int32_t passCount, uint64_t totalBytes)
{
    const uint64_t whole = totalBytes * static_cast<uint64_t>(passCount);
    if (whole == 0)
        return 0;
    const uint64_t percent = bytesProcessed / whole * 100 + bytesProcessed % whole * 100 / whole;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

// The number at the start of a percentage text such as "50 % complete"; -1 when it has none.
inline int LeadingNumber(const std::wstring& text)
{
    if (text.empty() || text[0] < L'0' || text[0] > L'9')
        return -1;
    return static_cast<int>(std::wcstol(text.c_str(), nullptr, 10));
}

// Checks what the dialog showed after a progress report of a job of totalBytes: the percentage line, the
// title (titleStart and that line) and the bar at that percentage, out of its marquee. The dialog counts
// in whole kibibytes and truncates: its figure may be one below the exact one. Returns the percentage shown.
inline int ExpectPercentShown(const ProgressView& view, const DeleteProgress& progress, uint64_t totalBytes,
                              const std::wstring& titleStart)
{
    const int percent = LeadingNumber(view.m_percent);
    EXPECT_EQ(std::to_wstring(percent) + L" % complete", view.m_percent);
    EXPECT_EQ(titleStart + view.m_percent, view.m_title);
    const int exact = ExactPercent(progress.m_bytesProcessed, progress.m_passCount, totalBytes);
    EXPECT_TRUE(percent == exact || percent == exact - 1) << percent << " against " << exact;
    EXPECT_FALSE(view.m_marquee);
    EXPECT_EQ(0, view.m_low);
    EXPECT_EQ(100, view.m_high);
    EXPECT_EQ(percent, view.m_pos);
    return percent;
}
