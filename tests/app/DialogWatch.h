#pragma once
// Runs a real dialog of the program on the test thread and watches it from a timer of the same thread:
// whether it was ever visible or active, the message boxes it showed (each pressed OK once seen), and a
// hook that the test gives for each tick.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "DialogTestUtil.h"

class DialogWatch {
public:
    // window: how to find the dialog's window (it exists only while DoModal runs).
    explicit DialogWatch(std::function<HWND()> window, DWORD tickMs = 5);
    ~DialogWatch();
    DialogWatch(const DialogWatch&) = delete;
    DialogWatch& operator=(const DialogWatch&) = delete;

    // Called on every tick while the dialog's window exists.
    std::function<void(HWND)> m_onTick;
    // Message boxes are pressed OK when seen, unless this is cleared.
    bool m_pressBoxes = true;

    bool m_everVisible = false;
    bool m_everActive = false;      // the active window of the thread
    bool m_everFocused = false;     // it or one of its controls had the keyboard focus
    bool m_everForeground = false;
    std::vector<ThreadMessageBox> m_boxes;
    DWORD m_ticks = 0;

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    void Tick();

    std::function<HWND()> m_window;
    UINT_PTR m_timer = 0;
    std::vector<HWND> m_seenBoxes;
};
