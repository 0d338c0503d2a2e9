#pragma once
// CCorvaneAboutDlg: the about box: the banner to the makers' web site, the product name with its version
// and the current year. Modal; OK, Escape and the close box end it (the result means nothing).
#include <ctime>

#include "controls/Banner.h"
#include "framework/Framework.h"

class CCorvaneAboutDlg : public CDialogEx {
public:
    static constexpr UINT IDD = 3100;

    CCorvaneAboutDlg();

    // The local year of t, 0 when t cannot be converted to local time.
    static int LocalYearOf(__time64_t t);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    DECLARE_MESSAGE_MAP()

    CBanner m_banner;                // control 2017
    CString m_strProductName;        // "Corvane Pellumar"
    CString m_strVersion;            // the running version, "1.0.1"
};
