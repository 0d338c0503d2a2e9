#pragma once
// CRecycleBinConfirmationDlg: asks the user to confirm the shredding of the recycle bin. DoModal returns
// IDOK when the user confirms, IDCANCEL on Cancel or close.
#include <windows.h>

#include "framework/Framework.h"

class CRecycleBinConfirmationDlg : public CDialogEx {
    DECLARE_DYNAMIC(CRecycleBinConfirmationDlg)
public:
    CRecycleBinConfirmationDlg();
    ~CRecycleBinConfirmationDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    DECLARE_MESSAGE_MAP()

public:
    CStatic m_icon;  // control 1005: the emblem, 64 x 64

private:
    HICON m_hEmblem = nullptr;  // owned
};
