#include "MessageSink.h"

namespace {

const wchar_t kClassName[] = L"PellumarTestMessageSink";

void RegisterSinkClass(WNDPROC proc)
{
    static const ATOM atom = [proc] {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc);
    }();
    (void)atom;
}

}  // namespace

MessageSink::MessageSink()
{
    RegisterSinkClass(&MessageSink::WindowProc);
    m_hWnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (m_hWnd) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

MessageSink::~MessageSink()
{
    if (m_hWnd) {
        Pump();
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hWnd);
    }
}

void MessageSink::Pump()
{
    MSG msg;
    while (m_hWnd && PeekMessageW(&msg, m_hWnd, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
}

bool MessageSink::PumpUntil(UINT msg, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        Pump();
        if (Count(msg) > 0) {
            return true;
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLPOSTMESSAGE);
    }
}

std::vector<DeleteProgress> MessageSink::Progress() const
{
    std::vector<DeleteProgress> result;
    for (const Message& m : m_messages) {
        if (m.m_msg == WM_DELETE_PROGRESS) {
            result.push_back(m.m_progress);
        }
    }
    return result;
}

size_t MessageSink::Count(UINT msg) const
{
    size_t count = 0;
    for (const Message& m : m_messages) {
        count += m.m_msg == msg;
    }
    return count;
}

LRESULT CALLBACK MessageSink::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* sink = reinterpret_cast<MessageSink*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (sink && msg >= WM_DELETE_PROGRESS && msg <= WM_CLOSE_PROGRESS) {
        sink->Collect(msg, wParam, lParam);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

// Copies the payload into the record and frees it, as the progress dialog does.
void MessageSink::Collect(UINT msg, WPARAM wParam, LPARAM lParam)
{
    Message m;
    m.m_msg = msg;
    m.m_wParam = wParam;
    m.m_lParam = lParam;
    bool freed = false;
    switch (msg) {
    case WM_DELETE_PROGRESS:
        if (auto* p = reinterpret_cast<DeleteProgress*>(wParam)) {
            m.m_progress = *p;
            delete p;
            freed = true;
        }
        break;
    case WM_METRICS_STATUS:
        if (auto* p = reinterpret_cast<MetricsStatus*>(wParam)) {
            m.m_status = *p;
            delete p;
            freed = true;
        }
        break;
    case WM_METRICS_DONE:
        if (auto* p = reinterpret_cast<MetricsResult*>(wParam)) {
            m.m_result = *p;
            delete p;
            freed = true;
        }
        break;
    case WM_FREE_SPACE_TOTAL:
        if (auto* p = reinterpret_cast<uint64_t*>(wParam)) {
            m.m_total = *p;
            delete p;
            freed = true;
        }
        break;
    case WM_RESIDENT_PHASE:
        if (auto* p = reinterpret_cast<int32_t*>(wParam)) {
            m.m_flag = *p;
            delete p;
            freed = true;
        }
        break;
    default:  // WM_DELETE_DONE, WM_SHOW_PROGRESS, WM_FREE_SPACE_DONE, WM_CLOSE_PROGRESS carry nothing
        break;
    }
    if (freed) {
        ++m_received;
        ++m_freed;
    }
    m_messages.push_back(std::move(m));
}
