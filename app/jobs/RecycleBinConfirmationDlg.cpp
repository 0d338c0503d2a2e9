// The confirmation dialog of a recycle-bin request.
#include "RecycleBinConfirmationDlg.h"

#include "ConfirmDeletionDlg.h"
#include "app/res/resource.h"

IMPLEMENT_DYNAMIC(CRecycleBinConfirmationDlg, CDialogEx)

// OK and Cancel keep the dialog's own behaviour.
BEGIN_MESSAGE_MAP(CRecycleBinConfirmationDlg, CDialogEx)
END_MESSAGE_MAP()

CRecycleBinConfirmationDlg::CRecycleBinConfirmationDlg() : CDialogEx(IDD_CONFIRM_RECYCLE_BIN) {}

CRecycleBinConfirmationDlg::~CRecycleBinConfirmationDlg()
{
    if (m_hEmblem)
        DestroyIcon(m_hEmblem);
}

void CRecycleBinConfirmationDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialogEx::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_RECYCLE_BIN_EMBLEM, m_icon);
}

BOOL CRecycleBinConfirmationDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    m_hEmblem = LoadEmblemIcon();
    m_icon.SetIcon(m_hEmblem);
    return TRUE;
}
