#include "DialogWatch.h"

#include <algorithm>
#include <map>

namespace {
std::map<UINT_PTR, DialogWatch*>& Watches()
{
    static std::map<UINT_PTR, DialogWatch*> watches;
    return watches;
}
}  // namespace

DialogWatch::DialogWatch(std::function<HWND()> window, DWORD tickMs) : m_window(std::move(window))
{
    m_timer = SetTimer(nullptr, 0, tickMs, &DialogWatch::OnTimer);
    Watches()[m_timer] = this;
}

DialogWatch::~DialogWatch()
{
    KillTimer(nullptr, m_timer);
    Watches().erase(m_timer);
}

void CALLBACK DialogWatch::OnTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    auto found = Watches().find(id);
    if (found != Watches().end())
        found->second->Tick();
}

void DialogWatch::Tick()
{
    ++m_ticks;
    HWND dialog = m_window();
    if (dialog && IsWindow(dialog)) {
        if (IsWindowVisible(dialog))
            m_everVisible = true;
        if (GetActiveWindow() == dialog)
            m_everActive = true;
        if (GetForegroundWindow() == dialog)
            m_everForeground = true;
        HWND focus = GetFocus();
        if (focus && (focus == dialog || IsChild(dialog, focus)))
            m_everFocused = true;
    }
    for (const ThreadMessageBox& box : FindThreadMessageBoxes(dialog)) {
        if (std::find(m_seenBoxes.begin(), m_seenBoxes.end(), box.hWnd) != m_seenBoxes.end())
            continue;
        m_seenBoxes.push_back(box.hWnd);
        m_boxes.push_back(box);
        if (m_pressBoxes)
            PressMessageBoxButton(box.hWnd, IDOK);
    }
    if (dialog && IsWindow(dialog) && m_onTick)
        RunChecked([&] { m_onTick(dialog); });
}
