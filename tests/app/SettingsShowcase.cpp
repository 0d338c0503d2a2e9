// Shows one window of the settings-window road for a screenshot (run by scripts/screenshot-settings):
//   settings_showcase <settings|tray-menu|help-menu|about|offer|download> <ready file> <done file> [seconds]
// Once the window (and its menu) is up it writes the screen rectangle to capture ("left top width height")
// to the ready file; it ends when the done file appears, or after the given seconds (default 30). The
// tray and help menus are real menus; nothing is fetched or started.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TestText.h"
#include "app/CorvaneAboutDlg.h"
#include "app/PellumarDlg.h"
#include "app/RegisteredMessages.h"
#include "app/VersionUpdaterDlg.h"
#include "app/res/resource.h"

namespace {

CWinApp g_app;
std::string g_mode;
std::wstring g_ready, g_done;
DWORD g_started = 0, g_limit = 30000;
bool g_reported = false;
CDialog* g_dialog = nullptr;

// The dialog's rectangle joined with that of an open menu.
RECT CaptureRect()
{
    RECT r;
    ::GetWindowRect(g_dialog->m_hWnd, &r);
    HWND menu = nullptr;
    while ((menu = ::FindWindowExW(nullptr, menu, L"#32768", nullptr)) != nullptr) {
        if (!::IsWindowVisible(menu))
            continue;
        RECT m;
        ::GetWindowRect(menu, &m);
        ::UnionRect(&r, &r, &m);
    }
    return r;
}

void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD)
{
    const DWORD elapsed = ::GetTickCount() - g_started;
    if (!g_reported && elapsed > 1500) {
        ::RedrawWindow(g_dialog->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        RECT r = CaptureRect();
        if (FILE* f = _wfopen(g_ready.c_str(), L"w")) {
            std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
            std::fclose(f);
        }
        g_reported = true;
    }
    if (elapsed > g_limit || (g_reported && ::GetFileAttributesW(g_done.c_str()) != INVALID_FILE_ATTRIBUTES)) {
        ::EndMenu();
        g_dialog->EndDialog(IDCANCEL);
    }
}

void PlaceAndTick(HWND wnd)
{
    ::SetWindowPos(wnd, nullptr, 60, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    g_started = ::GetTickCount();
    ::SetTimer(nullptr, 0, 100, &OnTick);
}

class SettingsShowcase : public CPellumarDlg {
public:
    SettingsShowcase() : CPellumarDlg(FALSE) { SetFeedUrl(L""); }
    BOOL OnInitDialog() override
    {
        CPellumarDlg::OnInitDialog();
        PlaceAndTick(m_hWnd);
        if (g_mode == "tray-menu" || g_mode == "help-menu") {
            // A real menu, opened where the pointer is: near the window's bottom-right corner.
            RECT r;
            ::GetWindowRect(m_hWnd, &r);
            ::SetCursorPos(r.right - 20, r.bottom + 4);
            ::PostMessageW(m_hWnd, WM_APP + 300, 0, 0);
        }
        return TRUE;
    }
    LRESULT OnOpenMenu(WPARAM, LPARAM)
    {
        if (g_mode == "tray-menu")
            ::SendMessageW(m_hWnd, g_uMsgTrayNotify, kTrayIconId, WM_RBUTTONDOWN);
        else
            ::SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDHELP, BN_CLICKED), 0);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(SettingsShowcase, CPellumarDlg)
    ON_MESSAGE(WM_APP + 300, OnOpenMenu)
END_MESSAGE_MAP()

class AboutShowcase : public CCorvaneAboutDlg {
public:
    BOOL OnInitDialog() override
    {
        CCorvaneAboutDlg::OnInitDialog();
        PlaceAndTick(m_hWnd);
        return TRUE;
    }
};

class OfferShowcase : public CVersionUpdaterDlg {
public:
    using CVersionUpdaterDlg::CVersionUpdaterDlg;
    BOOL OnInitDialog() override
    {
        CVersionUpdaterDlg::OnInitDialog();
        PlaceAndTick(m_hWnd);
        if (g_mode == "download") {
            // The download layout with the bar part way (the address's server takes the connection and
            // never answers).
            ::PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            // After the connection's first status reports (which carry no sizes).
            ::SetTimer(nullptr, 0, 800, [](HWND, UINT, UINT_PTR id, DWORD) {
                ::KillTimer(nullptr, id);
                ::PostMessageW(g_dialog->m_hWnd, WM_APP + 301, 0, 0);
            });
        }
        return TRUE;
    }
    LRESULT OnHalfWay(WPARAM, LPARAM)
    {
        m_progressCtrl.SetRange32(0, 100);
        m_progressCtrl.SetPos(40);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(OfferShowcase, CVersionUpdaterDlg)
    ON_MESSAGE(WM_APP + 301, OnHalfWay)
END_MESSAGE_MAP()

}

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: settings_showcase <settings|tray-menu|help-menu|about|offer|download> <ready> <done> [seconds]\n");
        return 2;
    }
    g_mode = argv[1];
    g_ready = Widen(argv[2]);
    g_done = Widen(argv[3]);
    if (argc > 4)
        g_limit = static_cast<DWORD>(std::atoi(argv[4])) * 1000;
    INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES };
    ::InitCommonControlsEx(&icc);

    if (g_mode == "settings" || g_mode == "tray-menu" || g_mode == "help-menu") {
        SettingsShowcase dlg;
        g_dialog = &dlg;
        g_app.m_pMainWnd = &dlg;
        dlg.DoModal();
    } else if (g_mode == "about") {
        AboutShowcase dlg;
        g_dialog = &dlg;
        dlg.DoModal();
    } else if (g_mode == "offer" || g_mode == "download") {
        CUpdateInfo info;
        info.m_version = { 1, 1, 0 };
        // A listener that never accepts: the connection waits in its backlog and no answer comes.
        WSADATA wsa;
        ::WSAStartup(MAKEWORD(2, 2), &wsa);
        SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        info.m_downloadUrl.Format(L"http://127.0.0.1:%d/setup.exe", ntohs(address.sin_port));
        info.m_feedHost.Format(L"127.0.0.1:%d", ntohs(address.sin_port));
        info.m_features = { L"Faster overwriting of large files", L"The Gutmann method shuffles its passes again",
                            L"Clearer messages when a file is in use" };
        OfferShowcase dlg(&info);
        g_dialog = &dlg;
        dlg.DoModal();
    } else {
        std::fprintf(stderr, "settings_showcase: unknown mode %s\n", argv[1]);
        return 2;
    }
    return g_reported ? 0 : 1;
}
