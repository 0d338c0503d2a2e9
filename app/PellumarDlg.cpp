// The tray settings window.
#include "app/PellumarDlg.h"

#include <shellapi.h>
#include <wininet.h>

#include "app/CorvaneAboutDlg.h"
#include "app/RegisteredMessages.h"
#include "app/UpdateFile.h"
#include "app/VersionUpdaterDlg.h"
#include "app/WebPages.h"
#include "app/res/resource.h"
#include "libcommon/ProductNames.h"

namespace {

// The shell broadcasts this when the taskbar is (re)created, e.g. after Explorer restarted: tray icons
// added before are gone and must be added again.
const UINT g_uMsgTaskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");

// The method names by method index 0 to 11 (string 110 is no method name).
constexpr UINT kMethodNameIds[] = { 121, 120, 119, 118, 117, 116, 115, 114, 113, 112, 111, 109 };

NOTIFYICONDATAW TrayRecord(HWND window)
{
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window;
    record.uID = CPellumarDlg::kTrayIconId;
    return record;
}

}

BEGIN_MESSAGE_MAP(CPellumarDlg, CDialogEx)
    ON_WM_WINDOWPOSCHANGING()
    ON_WM_SYSCOMMAND()
    ON_WM_SHOWWINDOW()
    ON_WM_CLOSE()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDOK, OnOkButton)
    ON_CBN_SELCHANGE(IDC_METHOD, OnMethodSelChange)
    ON_BN_CLICKED(IDC_NOTIFY_UPDATES, OnNotifyUpdatesClicked)
    ON_BN_CLICKED(IDHELP, OnHelpButton)
    ON_REGISTERED_MESSAGE(g_uMsgTrayNotify, OnTrayNotify)
    ON_COMMAND(ID_TRAY_EXIT, OnExit)
    ON_COMMAND(ID_TRAY_HELP, OnViewHelp)
    ON_COMMAND(ID_HELP_VIEW_HELP, OnViewHelp)
    ON_COMMAND(ID_TRAY_CHECK_VERSION, OnCheckForUpdates)
    ON_COMMAND(ID_HELP_CHECK_UPDATES, OnCheckForUpdates)
    ON_COMMAND(ID_TRAY_CONFIGURE, OnConfigure)
    ON_COMMAND(ID_HELP_VISIT_WEBSITE, OnVisitWebsite)
    ON_COMMAND(ID_HELP_VISIT_FORUM, OnVisitForum)
    ON_COMMAND(ID_HELP_ABOUT, OnAbout)
    ON_REGISTERED_MESSAGE(g_uMsgShowMainWindow, OnShowRequest)
    ON_REGISTERED_MESSAGE(g_uMsgCloseApp, OnCloseRequest)
    ON_REGISTERED_MESSAGE(g_uMsgTaskbarCreated, OnTaskbarCreated)
    ON_MESSAGE(WM_SILENT_CHECK, OnSilentCheck)
    ON_MESSAGE(WM_UPDATE_ENDED, OnUpdateEnded)
END_MESSAGE_MAP()

CPellumarDlg::CPellumarDlg(BOOL startHidden)
    : CDialogEx(IDD),
      m_hIcon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_APP))),
      m_startHidden(startHidden),
      m_feedUrl(MakersWebPage(kUpdateFeedPath))
{
}

void CPellumarDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_NOTIFY_UPDATES, m_notifyCheck);
    DDX_Control(pDX, IDC_METHOD, m_methodCombo);
    DDX_Control(pDX, IDC_SETTINGS_BANNER, m_banner);
}

BOOL CPellumarDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();

    if (CMenu* system = GetSystemMenu(FALSE)) {
        CString about;
        about.LoadString(IDS_ABOUTBOX);
        if (!about.IsEmpty()) {
            system->AppendMenu(MF_SEPARATOR);
            system->AppendMenu(MF_STRING, IDM_ABOUTBOX, about);
        }
    }

    m_settings.Serialize(true);
    m_notifyCheck.SetCheck(m_settings.m_versionNotify ? BST_CHECKED : BST_UNCHECKED);
    FillMethodList();
    // A stored value outside 0 to 11 leaves the list without a selection.
    m_methodCombo.SetCurSel(static_cast<int>(m_settings.m_deleteMethod));

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    m_trayMenu.LoadMenu(IDR_TRAY_MENU);
    AddTrayIcon();
    SetWindowText(kProductTitle);
    m_helpMenu.LoadMenu(IDR_HELP_MENU);

    m_banner.SetBannerBitmap(::LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDB_SETTINGS_BANNER)));
    m_banner.SetAddress(MakersWebPage(kWebSitePath));
    return TRUE;
}

void CPellumarDlg::FillMethodList()
{
    for (UINT id : kMethodNameIds) {
        CString name;
        name.LoadString(id);
        m_methodCombo.AddString(name);
    }
}

bool CPellumarDlg::AddTrayIcon()
{
    NOTIFYICONDATAW record = TrayRecord(m_hWnd);
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = g_uMsgTrayNotify;
    record.hIcon = m_hIcon;
    wcsncpy_s(record.szTip, kProductTitle, _TRUNCATE);
    return ::Shell_NotifyIconW(NIM_ADD, &record) != FALSE;
}

void CPellumarDlg::RemoveTrayIcon()
{
    NOTIFYICONDATAW record = TrayRecord(m_hWnd);
    ::Shell_NotifyIconW(NIM_DELETE, &record);
}

void CPellumarDlg::EndSettingsWindow()
{
    m_ending = true;
    RemoveTrayIcon();
    // An update dialog still open ends too (a download of its lets go); CheckForUpdate then starts nothing.
    if (m_pUpdateDlg)
        m_pUpdateDlg->EndDialog(IDCANCEL);
    // A started installer's file is let go: the program is told to end while the installer runs (its
    // close request comes once it has its package open).
    m_startedUpdate.Release();
    EndDialog(0);
}

void CPellumarDlg::EndAfterStartedUpdate()
{
    // For the user the window ends now: its tray icon goes and it hides for good. The window (and the
    // process) stays to hold the installer's file until the installer has ended; the close request ends it
    // sooner. A wait that cannot be registered leaves only the close request (or the end of the session).
    m_ending = true;
    RemoveTrayIcon();
    ShowWindow(SW_HIDE);
    m_startedUpdate.PostWhenEnded(m_hWnd, WM_UPDATE_ENDED);
}

CWnd* CPellumarDlg::MenuOwner()
{
    CWnd* main = AfxGetMainWnd();
    return main && main->m_hWnd ? main : this;
}

void CPellumarDlg::ShowFromTray(int nCmdShow)
{
    if (m_ending)
        return;
    m_startHidden = FALSE;
    ShowWindow(nCmdShow);
    SetForegroundWindow();
}

void CPellumarDlg::RunAboutBox()
{
    CCorvaneAboutDlg about;
    about.DoModal();
}

void CPellumarDlg::OpenWebPage(const wchar_t* path)
{
    // A page that does not open (no browser, no association) is silent.
    ::ShellExecuteW(nullptr, L"open", MakersWebPage(path), nullptr, nullptr, SW_SHOWMAXIMIZED);
}

void CPellumarDlg::OnCancel()
{
    // The dialog manager sends IDCANCEL for Escape even though the window has no Cancel button; the
    // settings window neither ends nor hides for it.
}

// ---- handlers, in message-map order --------------------------------------------------------------------

void CPellumarDlg::OnWindowPosChanging(WINDOWPOS* pPos)
{
    // Ending: a second start's hand-over shows the window directly (ShowWindowAsync); it stays hidden.
    if ((m_startHidden || m_ending) && pPos)
        pPos->flags &= ~SWP_SHOWWINDOW;
    Default();
}

void CPellumarDlg::OnSysCommand(UINT nID, LPARAM)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX)
        RunAboutBox();
    else
        Default();
}

void CPellumarDlg::OnShowWindow(BOOL bShow, UINT)
{
    Default();
    if (!bShow || !m_settings.m_versionNotify || m_ending)
        return;
    // A hidden start is "shown" twice (at creation and by the modal loop) without becoming visible: it
    // gets one silent check. The check is posted, so this message returns at once.
    if (m_startHidden) {
        if (m_hiddenStartChecked)
            return;
        m_hiddenStartChecked = true;
    }
    if (!m_silentCheckPosted && PostMessage(WM_SILENT_CHECK))
        m_silentCheckPosted = true;
}

void CPellumarDlg::OnClose()
{
    ShowWindow(SW_HIDE);
}

void CPellumarDlg::OnPaint()
{
    if (!IsIconic()) {
        CDialogEx::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    CRect client;
    GetClientRect(&client);
    const int x = (client.Width() - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.Height() - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CPellumarDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CPellumarDlg::OnOkButton()
{
    m_settings.Serialize(false);
    ShowWindow(SW_HIDE);
}

void CPellumarDlg::OnMethodSelChange()
{
    const int selected = m_methodCombo.GetCurSel();
    if (selected == CB_ERR)
        return;   // no selection: the stored method stays
    m_settings.m_deleteMethod = static_cast<DWORD>(selected);
    m_settings.Serialize(false);
}

void CPellumarDlg::OnNotifyUpdatesClicked()
{
    m_settings.m_versionNotify = m_notifyCheck.GetCheck() == BST_CHECKED ? 1 : 0;
}

void CPellumarDlg::OnHelpButton()
{
    CMenu* popup = m_helpMenu.GetSubMenu(0);
    POINT cursor{};
    ::GetCursorPos(&cursor);
    if (popup)
        popup->TrackPopupMenu(TPM_RIGHTALIGN, cursor.x, cursor.y, MenuOwner());
}

LRESULT CPellumarDlg::OnTrayNotify(WPARAM, LPARAM lParam)
{
    switch (static_cast<UINT>(lParam)) {
    case WM_RBUTTONDOWN: {
        CMenu* popup = m_trayMenu.GetSubMenu(0);
        POINT cursor{};
        ::GetCursorPos(&cursor);
        // The menu closes on a click elsewhere only when its owner is the foreground window; the posted
        // WM_NULL lets the menu loop see that it ended.
        SetForegroundWindow();
        if (popup)
            popup->TrackPopupMenu(TPM_RIGHTALIGN, cursor.x, cursor.y, MenuOwner());
        PostMessage(WM_NULL);
        break;
    }
    case WM_LBUTTONDBLCLK:
        ShowFromTray(SW_RESTORE);
        break;
    default:
        break;
    }
    return 0;
}

void CPellumarDlg::OnExit()
{
    EndSettingsWindow();
}

void CPellumarDlg::OnViewHelp()
{
    OpenWebPage(kHelpGuidePath);
}

void CPellumarDlg::OnCheckForUpdates()
{
    CheckForUpdate(TRUE);
}

void CPellumarDlg::OnConfigure()
{
    ShowFromTray(SW_RESTORE);
}

void CPellumarDlg::OnVisitWebsite()
{
    OpenWebPage(kWebSitePath);
}

void CPellumarDlg::OnVisitForum()
{
    OpenWebPage(kForumPath);
}

void CPellumarDlg::OnAbout()
{
    RunAboutBox();
}

LRESULT CPellumarDlg::OnShowRequest(WPARAM, LPARAM)
{
    // Sent by a second start, which waits for the answer: only show, never run anything here.
    ShowFromTray(SW_SHOW);
    return 0;
}

LRESULT CPellumarDlg::OnCloseRequest(WPARAM, LPARAM)
{
    EndSettingsWindow();
    return 0;
}

LRESULT CPellumarDlg::OnTaskbarCreated(WPARAM, LPARAM)
{
    if (!m_ending)
        AddTrayIcon();
    return 0;
}

LRESULT CPellumarDlg::OnSilentCheck(WPARAM, LPARAM)
{
    m_silentCheckPosted = false;
    CheckForUpdate(FALSE);
    return 0;
}

LRESULT CPellumarDlg::OnUpdateEnded(WPARAM, LPARAM)
{
    // Only the wait on the installer's process posts this; a stray copy ends nothing.
    HANDLE process = m_startedUpdate.Process();
    if (!process || ::WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        return 0;
    m_startedUpdate.Release();
    EndDialog(0);
    return 0;
}

// ---- the update check ----------------------------------------------------------------------------------

void CPellumarDlg::CheckForUpdate(BOOL reportUpToDate)
{
    if (m_ending)
        return;
    if (m_checkRunning) {
        // No second check and no second update dialog: bring the open one forward instead.
        if (m_pUpdateDlg && m_pUpdateDlg->m_hWnd)
            m_pUpdateDlg->SetForegroundWindow();
        return;
    }
    m_checkRunning = true;

    CVersionChecker checker(m_feedUrl);
    checker.SetLimits(m_checkLimits);
    const ProductVersion running{ kVersionMajor, kVersionMinor, kVersionBuild };
    HINTERNET session = ::InternetOpenW(L"MyUserAgent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    CUpdateInfo* info = session ? checker.Check(running, session) : nullptr;

    if (m_ending) {
        // Told to end while the feed was fetched (its messages are answered meanwhile): nothing more.
    } else if (info && !info->m_upToDate) {
        CVersionUpdaterDlg offer(info);
        m_pUpdateDlg = &offer;
        const INT_PTR result = offer.DoModal();
        m_pUpdateDlg = nullptr;
        if (m_ending) {
            // Exit or the close request ended the offer: nothing is started.
        } else if (result == IDOK) {
            const CString localPath = offer.GetLocalPath();
            // The tray icon goes before the window ends; it is not left behind for the shell to clear.
            if (StartDownloadedUpdate(localPath, info->m_version, running, &m_startedUpdate)) {
                EndAfterStartedUpdate();
            } else {
                AfxMessageBox(IDS_UPDATE_FAILED, MB_ICONHAND, 0);
            }
        } else if (offer.WasAddressRefused()) {
            AfxMessageBox(IDS_UPDATE_FAILED, MB_ICONHAND, 0);
        }
    } else if (reportUpToDate) {
        AfxMessageBox(IDS_UP_TO_DATE, MB_ICONINFORMATION, 0);
    }
    m_checkRunning = false;
}
