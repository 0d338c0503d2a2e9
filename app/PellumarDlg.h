#pragma once
// CPellumarDlg: the tray settings window, the program's main window in settings-window mode. A modal
// dialog that mostly lives hidden behind its tray icon: closing it, OK and Escape only hide it (Escape
// not even that). It ends only by Exit, the installer's close request or the start of a downloaded
// update, always after its tray icon is gone. After that start it only hides at first: it holds the
// installer's file until the installer has ended (or the close request comes), then ends.
#include <windows.h>

#include "app/Settings.h"
#include "app/UpdateFile.h"
#include "app/VersionChecker.h"
#include "controls/Banner.h"
#include "framework/Framework.h"

class CVersionUpdaterDlg;

class CPellumarDlg : public CDialogEx {
public:
    static constexpr UINT IDD = 102;
    static constexpr UINT kTrayIconId = 104;
    static constexpr UINT WM_SILENT_CHECK = WM_APP + 101;   // posted by OnShowWindow; no parameters
    static constexpr UINT WM_UPDATE_ENDED = WM_APP + 102;   // posted when the started installer has ended

    // startHidden: the window stays invisible (tray icon only) until a show path clears the flag.
    explicit CPellumarDlg(BOOL startHidden);

    // The update check as the window runs it: TRUE reports "up-to-date" (an interactive check), FALSE is
    // the silent one. One check at a time; nothing after the window has been told to end. While the feed
    // is fetched (at most the check's deadline) the window goes on answering its messages, so Exit, the
    // close request and a second start's show request are handled at once.
    void CheckForUpdate(BOOL reportUpToDate);

    // The feed's address and the check's bounds (the makers' feed and the program's bounds by default).
    void SetFeedUrl(const CString& url) { m_feedUrl = url; }
    void SetCheckLimits(const CVersionChecker::Limits& limits) { m_checkLimits = limits; }

    // State, for start-up and tests.
    BOOL IsStartHidden() const { return m_startHidden; }
    bool IsEnding() const { return m_ending; }
    bool IsCheckRunning() const { return m_checkRunning; }
    CVersionUpdaterDlg* GetUpdateDialog() const { return m_pUpdateDlg; }
    const CStartedUpdate& GetStartedUpdate() const { return m_startedUpdate; }
    const CGeneralSettings& GetSettings() const { return m_settings; }

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;   // IDCANCEL (the dialog manager sends it for Escape): nothing

    void OnWindowPosChanging(WINDOWPOS* pPos);               // WM_WINDOWPOSCHANGING: no show while hidden-start
    void OnSysCommand(UINT nID, LPARAM lParam);              // WM_SYSCOMMAND: the about item
    void OnShowWindow(BOOL bShow, UINT nStatus);             // WM_SHOWWINDOW: posts the silent check
    void OnClose();                                          // WM_CLOSE: hides
    void OnPaint();                                          // WM_PAINT: the icon while minimised
    HCURSOR OnQueryDragIcon();                               // WM_QUERYDRAGICON
    void OnOkButton();                                       // IDOK: save, hide
    void OnMethodSelChange();                                // CBN_SELCHANGE 1001: store and save
    void OnNotifyUpdatesClicked();                           // BN_CLICKED 1010: in memory until the next save
    void OnHelpButton();                                     // BN_CLICKED 9: the help menu at the cursor
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);      // g_uMsgTrayNotify: mouse message in lParam
    void OnExit();                                           // 32772
    void OnViewHelp();                                       // 32771, 32777
    void OnCheckForUpdates();                                // 32773, 32778
    void OnConfigure();                                      // 32774
    void OnVisitWebsite();                                   // 32775
    void OnVisitForum();                                     // 32776
    void OnAbout();                                          // 32779
    LRESULT OnShowRequest(WPARAM wParam, LPARAM lParam);     // g_uMsgShowMainWindow: from a second start
    LRESULT OnCloseRequest(WPARAM wParam, LPARAM lParam);    // g_uMsgCloseApp: from the installer
    LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);  // "TaskbarCreated": the tray icon again
    LRESULT OnSilentCheck(WPARAM wParam, LPARAM lParam);     // WM_SILENT_CHECK
    LRESULT OnUpdateEnded(WPARAM wParam, LPARAM lParam);     // WM_UPDATE_ENDED
    DECLARE_MESSAGE_MAP()

    void FillMethodList();
    bool AddTrayIcon();
    void RemoveTrayIcon();
    void ShowFromTray(int nCmdShow);
    void RunAboutBox();
    void OpenWebPage(const wchar_t* path);
    void EndSettingsWindow();
    void EndAfterStartedUpdate();
    CWnd* MenuOwner();

    HICON m_hIcon;                       // icon 128 (shared: never destroyed)
    CGeneralSettings m_settings;         // loaded in OnInitDialog, saved on OK and method changes
    CButton m_notifyCheck;               // 1010
    CComboBox m_methodCombo;             // 1001: method names in index order
    CMenu m_trayMenu;                    // menu 132
    CMenu m_helpMenu;                    // menu 134
    BOOL m_startHidden;                  // while set, the window cannot become visible
    CBanner m_banner;                    // 1023

    CString m_feedUrl;                   // the update feed
    CVersionChecker::Limits m_checkLimits;
    bool m_checkRunning = false;         // a check (and its update dialog) is under way
    bool m_silentCheckPosted = false;    // a WM_SILENT_CHECK is queued
    bool m_hiddenStartChecked = false;   // the hidden start had its one silent check
    bool m_ending = false;               // Exit, the close request or a started update: nothing more starts
    CVersionUpdaterDlg* m_pUpdateDlg = nullptr;   // the open update dialog (on CheckForUpdate's stack)
    CStartedUpdate m_startedUpdate;      // the started installer and the hold on its file, until it ends
};
