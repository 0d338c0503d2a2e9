// The program's own windows for the start-up modes.
#include "app/StartupDialogs.h"

#include "app/SettingsWindowMode.h"

INT_PTR CStartupDialogs::ConfirmRecycleBin()
{
    return IDCANCEL;
}

INT_PTR CStartupDialogs::ConfirmDeletion(const CString&, BOOL, UINT, BOOL)
{
    return IDCANCEL;
}

INT_PTR CStartupDialogs::RunDeleteItems(const PathList*, const PathList*, BOOL)
{
    return IDCANCEL;
}

INT_PTR CStartupDialogs::RunCleanFreeSpace(const CString&)
{
    return IDCANCEL;
}

void CStartupDialogs::RunSettingsWindow(CWinApp* app, bool startHidden)
{
    ::RunSettingsWindow(app, startHidden);
}
