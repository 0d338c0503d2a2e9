// Shows the progress-window template with both controls for a screenshot: the animation playing, the
// pointer over the pause button (its raised look) and the progress bar part way. Run by
// scripts/screenshot.
//   controls_showcase <ready file> <done file> [seconds]
// Once the dialog has shown a few frames it writes its screen rectangle ("left top width height") to the
// ready file; it ends when the done file appears, or after the given seconds (default 30).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TestText.h"
#include "ShowcaseDialog.h"

namespace {

std::wstring g_ready, g_done;
DWORD g_started = 0, g_limit = 30000;
bool g_reported = false;
ShowcaseDialog* g_dialog = nullptr;

void PointAtPauseButton()
{
    RECT r;
    ::GetWindowRect(g_dialog->m_pauseButton.m_hWnd, &r);
    POINT p{ (r.left + r.right) / 2, (r.top + r.bottom) / 2 };
    ::SetCursorPos(p.x, p.y);
    ::ScreenToClient(g_dialog->m_pauseButton.m_hWnd, &p);
    ::SendMessageW(g_dialog->m_pauseButton.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(p.x, p.y));
}

void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD)
{
    const DWORD elapsed = ::GetTickCount() - g_started;
    if (!g_reported && elapsed > 2500) {
        PointAtPauseButton();
        ::RedrawWindow(g_dialog->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        RECT r;
        ::GetWindowRect(g_dialog->m_hWnd, &r);
        if (FILE* f = _wfopen(g_ready.c_str(), L"w")) {
            std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
            std::fclose(f);
        }
        g_reported = true;
    }
    if (elapsed > g_limit || (g_reported && ::GetFileAttributesW(g_done.c_str()) != INVALID_FILE_ATTRIBUTES))
        g_dialog->EndDialog(IDOK);
}

}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: controls_showcase <ready file> <done file> [seconds]\n");
        return 2;
    }
    g_ready = Widen(argv[1]);
    g_done = Widen(argv[2]);
    if (argc > 3)
        g_limit = static_cast<DWORD>(std::atoi(argv[3])) * 1000;

    INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES };
    ::InitCommonControlsEx(&icc);

    ShowcaseDialog dlg(IDD_DELETE_ITEMS, IDR_SHREDDER_LARGE);
    g_dialog = &dlg;
    dlg.m_onInit = [](ShowcaseDialog& d) {
        ::SetWindowPos(d.m_hWnd, nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ::SetWindowTextW(d.m_hWnd, L"Delete");
        ::SendDlgItemMessageW(d.m_hWnd, IDC_PROGRESS, PBM_SETPOS, 40, 0);
        ::SetDlgItemTextW(d.m_hWnd, IDC_PERCENT, L"40 % complete");
        g_started = ::GetTickCount();
        ::SetTimer(nullptr, 0, 100, &OnTick);
    };
    INT_PTR result = dlg.DoModal();
    g_dialog = nullptr;
    return result == IDOK && g_reported ? 0 : 1;
}
