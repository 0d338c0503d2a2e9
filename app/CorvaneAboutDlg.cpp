// The about box.
#include "app/CorvaneAboutDlg.h"

#include "app/WebPages.h"
#include "app/res/resource.h"
#include "libcommon/ProductNames.h"

BEGIN_MESSAGE_MAP(CCorvaneAboutDlg, CDialogEx)
END_MESSAGE_MAP()

CCorvaneAboutDlg::CCorvaneAboutDlg() : CDialogEx(IDD)
{
    m_strProductName = kProductTitle;
    m_strVersion.Format(L"%d.%d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
}

int CCorvaneAboutDlg::LocalYearOf(__time64_t t)
{
    struct tm local {};
    if (_localtime64_s(&local, &t) != 0)
        return 0;
    return local.tm_year + 1900;
}

void CCorvaneAboutDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_ABOUT_BANNER, m_banner);
}

BOOL CCorvaneAboutDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();

    CString year;
    year.Format(L"%d", LocalYearOf(_time64(nullptr)));
    SetDlgItemText(IDC_ABOUT_YEAR, year);

    CString line;
    line.Format(IDS_ABOUT_VERSION, m_strProductName, m_strVersion);
    SetDlgItemText(IDC_ABOUT_VERSION, line);

    m_banner.SetBannerBitmap(::LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDB_ABOUT_BANNER)));
    m_banner.SetAddress(MakersWebPage(kWebSitePath));

    SetWindowText(m_strProductName);
    return TRUE;
}
