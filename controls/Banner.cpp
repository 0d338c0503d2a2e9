// The clickable banner.
#include "controls/Banner.h"

#include <shellapi.h>

#include <algorithm>

#include "libcommon/ProductNames.h"

BEGIN_MESSAGE_MAP(CBanner, CStatic)
    ON_WM_PAINT()
    ON_WM_LBUTTONDBLCLK()
    ON_WM_LBUTTONDOWN()
    ON_WM_SETCURSOR()
END_MESSAGE_MAP()

CBanner::CBanner()
    : m_address(CString(L"http://") + kMakersHost), m_handCursor(::LoadCursorW(nullptr, IDC_HAND))
{
}

CBanner::~CBanner()
{
    if (m_bitmap)
        ::DeleteObject(m_bitmap);
}

void CBanner::SetBannerBitmap(HBITMAP bitmap)
{
    if (m_bitmap && m_bitmap != bitmap)
        ::DeleteObject(m_bitmap);
    m_bitmap = bitmap;
    if (m_hWnd)
        Invalidate(FALSE);
}

void CBanner::OnPaint()
{
    CPaintDC dc(this);
    CRect area;
    GetWindowRect(&area);
    ScreenToClient(&area);
    dc.FillSolidRect(&area, m_background);
    if (!m_bitmap)
        return;
    CDC memory;
    if (!memory.CreateCompatibleDC(&dc))
        return;
    HGDIOBJ previous = memory.SelectObject(m_bitmap);
    // The bitmap's top-left part: cut off at the right and bottom when larger than the control; where it
    // is smaller, a blit from outside the bitmap leaves the background that is already there.
    BITMAP info{};
    ::GetObjectW(m_bitmap, sizeof(info), &info);
    const int width = (std::min)(area.Width(), static_cast<int>(info.bmWidth));
    const int height = (std::min)(area.Height(), static_cast<int>(info.bmHeight));
    dc.BitBlt(0, 0, width, height, &memory, 0, 0, SRCCOPY);
    memory.SelectObject(previous);
}

void CBanner::OpenAddress() const
{
    // A failure (no browser, no association) is silent.
    ::ShellExecuteW(nullptr, L"open", m_address, nullptr, nullptr, SW_SHOWMAXIMIZED);
}

void CBanner::OnLButtonDblClk(UINT, CPoint)
{
    OpenAddress();
    Default();
}

void CBanner::OnLButtonDown(UINT, CPoint)
{
    OpenAddress();
    Default();
}

BOOL CBanner::OnSetCursor(CWnd*, UINT, UINT)
{
    if (!m_handCursor)
        return FALSE;
    ::SetCursor(m_handCursor);
    return TRUE;
}
