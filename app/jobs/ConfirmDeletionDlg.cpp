// The confirmation dialog of a list, a drive or a free-space request.
#include "ConfirmDeletionDlg.h"

#include <commoncontrols.h>
#include <shellapi.h>

#include "DialogRules.h"
#include "app/res/resource.h"

namespace {

// IID_IImageList: mingw declares it but its uuid library does not define it.
const IID kImageListId = {0x46eb5926, 0x582e, 0x4017, {0x9f, 0xdf, 0xe8, 0x99, 0x8d, 0xaa, 0x09, 0x50}};

const int kEmblemSize = 64;

}  // namespace

HICON LoadEmblemIcon()
{
    return static_cast<HICON>(LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_EMBLEM), IMAGE_ICON,
                                         kEmblemSize, kEmblemSize, LR_DEFAULTCOLOR));
}

IMPLEMENT_DYNAMIC(CConfirmDeletionDlg, CDialogEx)

// OK and Cancel keep the dialog's own behaviour.
BEGIN_MESSAGE_MAP(CConfirmDeletionDlg, CDialogEx)
END_MESSAGE_MAP()

CConfirmDeletionDlg::CConfirmDeletionDlg(const CString& path, BOOL isFolder, UINT count, BOOL freeSpace)
    : CDialogEx(count == 1 ? IDD_CONFIRM_ONE : IDD_CONFIRM_SEVERAL),
      m_name(path),
      m_isFolder(isFolder ? 1 : 0),
      m_freeSpace(freeSpace ? 1 : 0),
      // Decided by the same test as the template: the one-item steps need the one-item template.
      m_multiple(count != 1 ? 1 : 0),
      m_count(count)
{
}

// The statics do not own their icons: they go with the object, after the window.
CConfirmDeletionDlg::~CConfirmDeletionDlg()
{
    if (m_hShellIcon)
        DestroyIcon(m_hShellIcon);
    if (m_hEmblem)
        DestroyIcon(m_hEmblem);
}

void CConfirmDeletionDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialogEx::DoDataExchange(pDX);
    if (!m_multiple) {
        DDX_Control(pDX, IDC_CONFIRM_SHELL_ICON, m_shellIcon);
        DDX_Control(pDX, IDC_CONFIRM_ICON, m_icon);
    }
}

BOOL CConfirmDeletionDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();

    if (m_multiple) {
        CString question;
        question.Format(IDS_CONFIRM_SEVERAL, static_cast<int>(m_count));
        SetDlgItemText(IDC_CONFIRM_QUESTION, question);
        return TRUE;
    }
    if (!ShowItem()) {
        // Ends before the modal loop runs: the dialog never shows.
        EndDialog(IDCANCEL);
        return FALSE;
    }
    return TRUE;
}

bool CConfirmDeletionDlg::ShowItem()
{
    SetDlgItemText(IDC_CONFIRM_NAME, ConfirmationShortName(m_name));

    // Read access is all the times need. A link is opened itself, not followed: a link whose target is
    // gone can still be confirmed (and only the link is removed).
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (m_isFolder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
    HANDLE item = CreateFileW(m_name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    if (item == INVALID_HANDLE_VALUE) {
        ShowOpenError();
        return false;
    }

    ShowShellIcon();

    FILETIME created = {};
    FILETIME accessed = {};
    FILETIME written = {};
    if (!GetFileTime(item, &created, &accessed, &written)) {
        ShowOpenError();
        CloseHandle(item);
        return false;
    }
    CloseHandle(item);

    const ConfirmationQuestion question = ChooseConfirmationQuestion(m_name, m_isFolder, m_freeSpace);
    CString text;
    text.LoadString(question.m_questionId);
    SetDlgItemText(IDC_CONFIRM_QUESTION, text);
    CString date;
    date.Format(question.m_dateCaptionId, FormatConfirmationTime(question.m_creationTime ? created : written));
    SetDlgItemText(IDC_CONFIRM_DATE, date);

    m_hEmblem = LoadEmblemIcon();
    m_icon.SetIcon(m_hEmblem);
    return true;
}

void CConfirmDeletionDlg::ShowShellIcon()
{
    SHFILEINFOW info = {};
    SHGetFileInfoW(m_name, 0, &info, sizeof(info), SHGFI_SYSICONINDEX);

    IImageList* images = nullptr;
    if (SHGetImageList(SHIL_EXTRALARGE, kImageListId, reinterpret_cast<void**>(&images)) != S_OK || !images)
        return;  // no image list: the control keeps its template content
    HICON icon = nullptr;
    const HRESULT got = images->GetIcon(info.iIcon, ILD_TRANSPARENT, &icon);
    images->Release();
    if (FAILED(got) || !icon) {
        m_shellIcon.ShowWindow(SW_HIDE);
        return;
    }
    m_hShellIcon = icon;
    m_shellIcon.SetIcon(icon);
}

void CConfirmDeletionDlg::ShowOpenError()
{
    const DWORD error = GetLastError();
    CString text;
    if (m_isFolder) {
        text.Format(IDS_FOLDER_FAILED, m_name, static_cast<int>(error));
        AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    } else if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        text.Format(IDS_FILE_IN_USE, m_name);
        AfxMessageBox(text, MB_OK);
    } else {
        text.Format(IDS_FILE_FAILED, m_name, static_cast<int>(error));
        AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    }
}
