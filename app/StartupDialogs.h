#pragma once
// The windows that start-up runs for a mode, behind one small interface: the program runs the real
// confirmation, progress and settings windows; a test may stand in for them. Each call returns once its
// window is destroyed (and, for a progress dialog, once every job it started has ended).
#include <windows.h>

#include "engine/PathList.h"
#include "framework/CString.h"

class CWinApp;

class CStartupDialogs {
public:
    virtual ~CStartupDialogs() = default;

    // The recycle-bin question; IDOK to go on.
    virtual INT_PTR ConfirmRecycleBin();
    // The question for a list or a drive's free space: path and isFolder describe the single item (an empty
    // path for several items), count the number of items. IDOK to go on.
    virtual INT_PTR ConfirmDeletion(const CString& path, BOOL isFolder, UINT count, BOOL freeSpace);
    // Shreds the lists (read only, kept alive by the caller) behind the progress dialog; IDOK when the job
    // finished without error.
    virtual INT_PTR RunDeleteItems(const PathList* files, const PathList* folders, BOOL recycleBin);
    // Wipes the free space of the drive root behind the progress dialog.
    virtual INT_PTR RunCleanFreeSpace(const CString& drive);
    // The tray settings window, until it ends.
    virtual void RunSettingsWindow(CWinApp* app, bool startHidden);
};
