// The program's own windows for the start-up modes.
#include "app/StartupDialogs.h"

#include "app/SettingsWindowMode.h"
#include "app/jobs/ConfirmDeletionDlg.h"
#include "app/jobs/DeleteItemDlg.h"
#include "app/jobs/RecycleBinConfirmationDlg.h"

INT_PTR CStartupDialogs::ConfirmRecycleBin()
{
    CRecycleBinConfirmationDlg dialog;
    return dialog.DoModal();
}

INT_PTR CStartupDialogs::ConfirmDeletion(const CString& path, BOOL isFolder, UINT count, BOOL freeSpace)
{
    CConfirmDeletionDlg dialog(path, isFolder, count, freeSpace);
    return dialog.DoModal();
}

INT_PTR CStartupDialogs::RunDeleteItems(const PathList* files, const PathList* folders, BOOL recycleBin)
{
    // The dialog object goes before the result is handed back: its destructor waits for every job.
    INT_PTR result;
    {
        CDeleteItemDlg dialog(files, folders, recycleBin);
        result = dialog.DoModal();
    }
    return result;
}

INT_PTR CStartupDialogs::RunCleanFreeSpace(const CString& drive)
{
    INT_PTR result;
    {
        CDeleteItemDlg dialog(drive);
        result = dialog.DoModal();
    }
    return result;
}

void CStartupDialogs::RunSettingsWindow(CWinApp* app, bool startHidden)
{
    ::RunSettingsWindow(app, startHidden);
}
