// The settings-window mode: the tray settings window as the application's main window until it ends.
#include "app/SettingsWindowMode.h"

#include "app/PellumarDlg.h"

void RunSettingsWindow(CWinApp* app, bool startHidden)
{
    CPellumarDlg dlg(startHidden ? TRUE : FALSE);
    if (app)
        app->m_pMainWnd = &dlg;
    dlg.DoModal();
    if (app && app->m_pMainWnd == &dlg)
        app->m_pMainWnd = nullptr;
}
