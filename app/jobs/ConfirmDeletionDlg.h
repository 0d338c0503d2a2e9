#pragma once
// CConfirmDeletionDlg: asks the user to confirm a request before anything is shredded. For one item it
// shows the item's short name, shell icon and creation or modification date and a question that fits the
// item (file, folder, drive, free space of a drive); for several items only their number. DoModal returns
// IDOK when the user confirms; IDCANCEL on Cancel or close, and when the one item cannot be opened (then
// after a message saying why, without the dialog ever showing).
#include <windows.h>

#include "framework/Framework.h"

// The program's emblem at 64 x 64 pixels, as both confirmation dialogs show it (the caller destroys it);
// NULL when it cannot be loaded.
HICON LoadEmblemIcon();

class CConfirmDeletionDlg : public CDialogEx {
    DECLARE_DYNAMIC(CConfirmDeletionDlg)
public:
    // path: the one item's full path (empty for several items); isFolder: the item is a folder or a drive
    // root; count: files plus folders of the request; freeSpace: the request wipes the drive's free space.
    CConfirmDeletionDlg(const CString& path, BOOL isFolder, UINT count, BOOL freeSpace);
    ~CConfirmDeletionDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    DECLARE_MESSAGE_MAP()

public:
    // The message box for an item that cannot be opened, from the last error of the failed call.
    void ShowOpenError();

    CString m_name;        // full path of the one item
    int32_t m_isFolder;    // 1: the item is a folder (a drive root counts as one)
    int32_t m_freeSpace;   // 1: a free-space request
    int32_t m_multiple;    // 1: not exactly one item
    UINT m_count;          // items of the request
    CStatic m_shellIcon;   // control 1016 (one item)
    CStatic m_icon;        // control 1005 (one item)

private:
    // One item's steps of OnInitDialog; false when the item cannot be opened or its times read (the
    // message has been shown).
    bool ShowItem();
    void ShowShellIcon();

    HICON m_hShellIcon = nullptr;  // owned
    HICON m_hEmblem = nullptr;     // owned
};
