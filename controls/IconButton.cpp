#include "controls/IconButton.h"

#include <cstring>
#include <vector>

namespace {
constexpr int kHover = 0, kFocus = 1, kIdle = 2;
constexpr int kFace = 0, kText = 1;
}

BEGIN_MESSAGE_MAP(CIconButton, CButton)
    ON_WM_SETCURSOR()
    ON_WM_KILLFOCUS()
    ON_WM_MOUSEMOVE()
    ON_WM_SYSCOLORCHANGE()
    ON_CONTROL_REFLECT_EX(BN_CLICKED, OnClicked)
    ON_WM_ACTIVATE()
    ON_WM_ENABLE()
    ON_WM_CANCELMODE()
    ON_WM_GETDLGCODE()
    ON_WM_CTLCOLOR_REFLECT()
    ON_MESSAGE(BM_SETSTYLE, OnSetStyle)
    ON_WM_MOUSELEAVE()
    ON_MESSAGE(BM_SETCHECK, OnSetCheck)
    ON_MESSAGE(BM_GETCHECK, OnGetCheck)
END_MESSAGE_MAP()

CIconButton::CIconButton()
{
    ReadColors();
}

CIconButton::~CIconButton()
{
    ReleaseImages(TRUE);
}

void CIconButton::ReadColors()
{
    for (auto& pair : m_colors) {
        pair[kFace] = ::GetSysColor(COLOR_BTNFACE);
        pair[kText] = ::GetSysColor(COLOR_BTNTEXT);
    }
}

void CIconButton::Repaint()
{
    if (m_hWnd)
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CIconButton::EndHover()
{
    if (m_flat && m_hover) {
        m_hover = false;
        Repaint();
    }
}

int CIconButton::ColorPair() const
{
    if (m_hover || m_pressed)
        return kHover;
    return m_focused ? kFocus : kIdle;
}

// ---- subclassing and styles -------------------------------------------------------------------------

void CIconButton::PreSubclassWindow()
{
    UINT style = static_cast<UINT>(::GetWindowLongW(m_hWnd, GWL_STYLE)) & 0xFFFF;
    if (style & BS_CHECKBOX)
        m_checkBox = true;
    if ((style & 0x1F) == BS_DEFPUSHBUTTON)
        m_default = true;
    ModifyStyle(0x1F, BS_OWNERDRAW, SWP_FRAMECHANGED);
    CButton::PreSubclassWindow();
}

LRESULT CIconButton::OnSetStyle(WPARAM wParam, LPARAM lParam)
{
    UINT type = static_cast<UINT>(wParam) & 0x1F;
    if (type == BS_DEFPUSHBUTTON)
        m_default = true;
    else if (type == BS_PUSHBUTTON)
        m_default = false;
    return DefWindowProc(BM_SETSTYLE, (wParam & ~static_cast<WPARAM>(0x1F)) | BS_OWNERDRAW, lParam);
}

UINT CIconButton::OnGetDlgCode()
{
    UINT code = CButton::OnGetDlgCode();
    return code | (m_default ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
}

HBRUSH CIconButton::CtlColor(CDC*, UINT)
{
    return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

LRESULT CIconButton::OnSetCheck(WPARAM wParam, LPARAM)
{
    if (m_checkBox) {
        m_checked = wParam == BST_CHECKED || wParam == BST_INDETERMINATE;
        Repaint();
    }
    return 0;
}

LRESULT CIconButton::OnGetCheck(WPARAM, LPARAM)
{
    return m_checked ? 1 : 0;
}

// ---- mouse, focus and activation ---------------------------------------------------------------------

BOOL CIconButton::OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message)
{
    return CButton::OnSetCursor(pWnd, nHitTest, message);
}

void CIconButton::OnKillFocus(CWnd* pNewWnd)
{
    CButton::OnKillFocus(pNewWnd);
    EndHover();
}

void CIconButton::OnMouseMove(UINT nFlags, CPoint point)
{
    CButton::OnMouseMove(nFlags, point);
    CPoint screen = point;
    ClientToScreen(&screen);
    HWND under = ::WindowFromPoint(screen);
    if ((nFlags & MK_LBUTTON) && !m_hover)
        return;   // dragged onto the button with the left button held: no hover look
    if (!m_flat)
        return;
    if (under == m_hWnd && (m_hoverWhenInactive || ::GetActiveWindow())) {
        if (!m_hover) {
            m_hover = true;
            Repaint();
            TRACKMOUSEEVENT track{ sizeof(TRACKMOUSEEVENT), TME_LEAVE, m_hWnd, 0 };
            ::_TrackMouseEvent(&track);
        }
    } else {
        EndHover();
    }
}

void CIconButton::OnMouseLeave()
{
    EndHover();
}

void CIconButton::OnActivate(UINT nState, CWnd* pWndOther, BOOL bMinimized)
{
    CButton::OnActivate(nState, pWndOther, bMinimized);
    if (nState == WA_INACTIVE)
        EndHover();
}

void CIconButton::OnCancelMode()
{
    CButton::OnCancelMode();
    EndHover();
}

void CIconButton::OnEnable(BOOL bEnable)
{
    CButton::OnEnable(bEnable);
    if (!bEnable) {
        // The focus moves on whether or not the button had it.
        HWND parent = ::GetParent(m_hWnd);
        if (parent) {
            HWND next = ::GetNextDlgTabItem(parent, m_hWnd, FALSE);
            ::SetFocus(next && next != m_hWnd ? next : parent);
        }
        EndHover();
    }
}

void CIconButton::OnSysColorChange()
{
    CButton::OnSysColorChange();
    ReadColors();
    Repaint();
}

BOOL CIconButton::OnClicked()
{
    SetFocus();
    if (m_checkBox) {
        m_checked = !m_checked;
        Repaint();
    }
    return FALSE;   // the parent gets the click too
}

BOOL CIconButton::PreTranslateMessage(MSG* pMsg)
{
    // A quick second click is an ordinary click, never a double-click notification.
    if (pMsg->message == WM_LBUTTONDBLCLK)
        pMsg->message = WM_LBUTTONDOWN;
    return CButton::PreTranslateMessage(pMsg);
}

// ---- painting ---------------------------------------------------------------------------------------

void CIconButton::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    if (!lpDrawItemStruct)
        return;
    CDC dc;
    dc.Attach(lpDrawItemStruct->hDC);
    UINT state = lpDrawItemStruct->itemState;
    m_pressed = (state & ODS_SELECTED) != 0 || (m_checkBox && m_checked);
    m_focused = (state & ODS_FOCUS) != 0;
    m_disabled = (state & ODS_DISABLED) != 0;

    CRect item(lpDrawItemStruct->rcItem);
    CRect work(item);
    dc.SetBkMode(TRANSPARENT);
    DrawFace(&dc, &work);
    DrawFrame(&dc, &work);

    CString caption;
    if (m_hWnd)
        GetWindowText(caption);
    CRect captionRect(item);
    BOOL hasCaption = caption.IsEmpty() ? FALSE : TRUE;
    if (m_icons[0].handle)
        DrawIconImage(&dc, hasCaption, &item, &captionRect, m_pressed, m_disabled);
    if (m_bitmaps[0].handle) {
        dc.SetBkColor(RGB(255, 255, 255));
        DrawBitmapImage(&dc, hasCaption, &item, &captionRect, m_pressed, m_disabled);
    }
    if (hasCaption)
        DrawCaption(&dc, caption.GetString(), &item, &captionRect, m_pressed, m_disabled);
    if (m_focused && (!m_flat || m_flatFocus)) {
        CRect focus(work);
        focus.DeflateRect(3, 3);
        dc.DrawFocusRect(&focus);
    }
    dc.Detach();
}

DWORD CIconButton::DrawFace(CDC* pDC, CRect* rect)
{
    COLORREF face = m_colors[ColorPair()][kFace];
    if (!m_flat && (m_focused || m_default)) {
        pDC->FrameRect(rect, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
        rect->DeflateRect(1, 1);
    }
    CBrush brush(face);
    pDC->FillRect(rect, &brush);
    return 0;
}

DWORD CIconButton::DrawFrame(CDC* pDC, CRect* rect)
{
    if (m_flat) {
        if (!m_flatEdge)
            return 0;
        if (m_pressed)
            pDC->Draw3dRect(rect, ::GetSysColor(COLOR_BTNSHADOW), ::GetSysColor(COLOR_BTNHIGHLIGHT));
        else if (m_hover)
            pDC->Draw3dRect(rect, ::GetSysColor(COLOR_BTNHIGHLIGHT), ::GetSysColor(COLOR_BTNSHADOW));
        return 0;
    }
    if (m_pressed) {
        CBrush shadow(::GetSysColor(COLOR_BTNSHADOW));
        pDC->FrameRect(rect, &shadow);
        return 0;
    }
    const CRect& r = *rect;
    auto line = [pDC](int x, int y, int cx, int cy, int color) { pDC->FillSolidRect(x, y, cx, cy, ::GetSysColor(color)); };
    line(r.left, r.top, r.Width() - 1, 1, COLOR_BTNHIGHLIGHT);           // top
    line(r.left, r.top, 1, r.Height() - 1, COLOR_BTNHIGHLIGHT);          // left
    line(r.left + 1, r.top + 1, r.Width() - 3, 1, COLOR_3DLIGHT);        // just inside them
    line(r.left + 1, r.top + 1, 1, r.Height() - 3, COLOR_3DLIGHT);
    line(r.left, r.bottom - 1, r.Width(), 1, COLOR_3DDKSHADOW);          // bottom
    line(r.right - 1, r.top, 1, r.Height(), COLOR_3DDKSHADOW);           // right
    line(r.left + 1, r.bottom - 2, r.Width() - 2, 1, COLOR_BTNSHADOW);   // just inside those
    line(r.right - 2, r.top + 1, 1, r.Height() - 2, COLOR_BTNSHADOW);
    return 0;
}

CRect CIconButton::PlaceImage(BOOL hasCaption, const RECT* item, CRect* caption, BOOL pressed, DWORD width, DWORD height) const
{
    CRect image(item);
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    if (hasCaption) {
        image.left += m_imageMargin;
        caption->left += w + m_imageMargin;
    } else {
        image.left += (image.Width() - w) / 2;
    }
    image.top += (image.Height() - h) / 2;
    if (pressed && !m_checkBox) {
        image.left += m_pressedOffset.x;
        image.right += m_pressedOffset.x;
        image.top += m_pressedOffset.y;
        image.bottom += m_pressedOffset.y;
    }
    return image;
}

void CIconButton::DrawIconImage(CDC* pDC, BOOL hasCaption, const RECT* item, CRect* caption, BOOL pressed, BOOL disabled)
{
    int entry;
    if (disabled)
        entry = 2;
    else if (pressed || (m_hover && !m_checkBox))
        entry = 0;
    else
        entry = m_icons[1].handle ? 1 : 0;
    const IconEntry& icon = m_icons[entry];
    CRect image = PlaceImage(hasCaption, item, caption, pressed, icon.width, icon.height);
    if (!icon.handle)
        return;
    ::DrawStateW(pDC->m_hDC, nullptr, nullptr, reinterpret_cast<LPARAM>(icon.handle), 0, image.left, image.top, 0, 0,
                 DST_ICON | DSS_NORMAL);
}

void CIconButton::DrawBitmapImage(CDC* pDC, BOOL hasCaption, const RECT* item, CRect* caption, BOOL pressed, BOOL disabled)
{
    bool idle = !disabled && !pressed && !(m_hover && !m_checkBox);
    const BitmapEntry& bitmap = (idle && m_bitmaps[1].handle) ? m_bitmaps[1] : m_bitmaps[0];
    CRect image = PlaceImage(hasCaption, item, caption, pressed, bitmap.width, bitmap.height);
    CDC memory;
    if (!bitmap.handle || !memory.CreateCompatibleDC(pDC))
        return;
    HGDIOBJ previous = memory.SelectObject(bitmap.handle);
    if (bitmap.mask)
        ::MaskBlt(pDC->m_hDC, image.left, image.top, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height),
                  memory.m_hDC, 0, 0, bitmap.mask, 0, 0, MAKEROP4(SRCCOPY, 0x00AA0029 /* keep the destination */));
    else
        ::BitBlt(pDC->m_hDC, image.left, image.top, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height),
                 memory.m_hDC, 0, 0, SRCCOPY);
    memory.SelectObject(previous);
}

void CIconButton::DrawCaption(CDC* pDC, const wchar_t* text, const RECT*, CRect* caption, BOOL pressed, BOOL disabled)
{
    if (pressed && !m_checkBox)
        caption->OffsetRect(m_pressedOffset.x, m_pressedOffset.y);
    CRect frame(*caption);
    pDC->DrawText(text, -1, caption, DT_WORDBREAK | DT_CENTER | DT_CALCRECT);
    caption->OffsetRect((frame.Width() - caption->Width()) / 2, (frame.Height() - caption->Height()) / 2);
    pDC->SetBkMode(TRANSPARENT);
    if (disabled) {
        caption->OffsetRect(1, 1);
        pDC->SetTextColor(::GetSysColor(COLOR_BTNHIGHLIGHT));
        pDC->DrawText(text, -1, caption, DT_WORDBREAK | DT_CENTER);
        caption->OffsetRect(-1, -1);
        pDC->SetTextColor(::GetSysColor(COLOR_BTNSHADOW));
    } else {
        int pair = ColorPair();
        pDC->SetTextColor(m_colors[pair][kText]);
        pDC->SetBkColor(m_colors[pair][kFace]);
    }
    pDC->DrawText(text, -1, caption, DT_WORDBREAK | DT_CENTER);
}

// ---- images -----------------------------------------------------------------------------------------

void CIconButton::ReleaseImages(BOOL bDestroy)
{
    for (auto& icon : m_icons) {
        if (bDestroy && icon.handle)
            ::DestroyIcon(icon.handle);
        icon = IconEntry{};
    }
    for (auto& bitmap : m_bitmaps) {
        if (bDestroy) {
            if (bitmap.handle)
                ::DeleteObject(bitmap.handle);
            if (bitmap.mask)
                ::DeleteObject(bitmap.mask);
        }
        bitmap = BitmapEntry{};
    }
}

namespace {
// Reads the icon's hot spot, which is its centre, as its recorded size (twice the hot spot).
bool ReadIconSize(HICON icon, DWORD* width, DWORD* height)
{
    ICONINFO info{};
    if (!icon || !::GetIconInfo(icon, &info))
        return false;
    *width = 2 * info.xHotspot;
    *height = 2 * info.yHotspot;
    if (info.hbmMask)
        ::DeleteObject(info.hbmMask);
    if (info.hbmColor)
        ::DeleteObject(info.hbmColor);
    return true;
}
}

DWORD CIconButton::SetIcon(HICON icon, HICON idleIcon)
{
    ReleaseImages(TRUE);
    if (icon) {
        m_icons[0].handle = icon;
        if (!ReadIconSize(icon, &m_icons[0].width, &m_icons[0].height)) {
            ReleaseImages(TRUE);
            return 1;
        }
        m_icons[2].handle = MakeGreyIcon(icon);
        m_icons[2].width = m_icons[0].width;
        m_icons[2].height = m_icons[0].height;
        if (idleIcon) {
            const DWORD low = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(idleIcon));
            if (low == static_cast<DWORD>(-3))
                idleIcon = MakeDarkerIcon(icon);
            else if (low == static_cast<DWORD>(-2))
                idleIcon = MakeGreyIcon(icon);
            m_icons[1].handle = idleIcon;
            if (!ReadIconSize(idleIcon, &m_icons[1].width, &m_icons[1].height)) {
                ReleaseImages(TRUE);
                return 1;
            }
        }
    } else if (idleIcon) {
        // Without an icon the idle icon is not used; it was handed over all the same.
        const DWORD low = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(idleIcon));
        if (low != static_cast<DWORD>(-2) && low != static_cast<DWORD>(-3))
            ::DestroyIcon(idleIcon);
    }
    Repaint();
    return 0;
}

HICON CIconButton::MakeGreyIcon(HICON icon)
{
    if (!icon)
        return nullptr;
    DWORD grey[256];
    for (int i = 0; i < 256; ++i)
        grey[i] = RGB(255 - i, 255 - i, 255 - i);   // the same value in either byte order

    HDC screen = ::GetDC(nullptr);
    ICONINFO info{};
    if (!::GetIconInfo(icon, &info)) {
        ::ReleaseDC(nullptr, screen);
        return nullptr;
    }
    HICON result = nullptr;
    HGLOBAL buffer = nullptr;
    BITMAPINFO header{};
    header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    if (info.hbmColor && ::GetDIBits(screen, info.hbmColor, 0, 0, nullptr, &header, DIB_RGB_COLORS)) {
        const int w = header.bmiHeader.biWidth;
        const int h = header.bmiHeader.biHeight < 0 ? -header.bmiHeader.biHeight : header.bmiHeader.biHeight;
        // Ask for 32-bit pixels whatever the bitmap holds: GDI converts, so every pixel is four bytes.
        header.bmiHeader.biBitCount = 32;
        header.bmiHeader.biCompression = BI_RGB;
        header.bmiHeader.biSizeImage = 0;
        header.bmiHeader.biClrUsed = 0;
        header.bmiHeader.biClrImportant = 0;
        header.bmiHeader.biHeight = h;
        const SIZE_T bytes = static_cast<SIZE_T>(w) * static_cast<SIZE_T>(h) * 4;
        if (w > 0 && h > 0)
            buffer = ::GlobalAlloc(GMEM_FIXED, bytes);
        BYTE* pixels = static_cast<BYTE*>(buffer);
        if (pixels && ::GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(h), pixels, &header, DIB_RGB_COLORS) == h) {
            for (SIZE_T at = 0; at < bytes; at += 4) {
                const int blue = pixels[at], green = pixels[at + 1], red = pixels[at + 2], alpha = pixels[at + 3];
                const int mean = (blue + green + red) / 3;
                int k = 255 - mean;
                if (alpha != 0 || k != 255) {
                    if (k == 0)
                        k = 1;
                    DWORD value = (grey[k] & 0x00FFFFFF) | (static_cast<DWORD>(alpha) << 24);
                    std::memcpy(pixels + at, &value, 4);
                }
            }
            HBITMAP colour = ::CreateCompatibleBitmap(screen, w, h);
            if (colour) {
                ::SetDIBits(screen, colour, 0, static_cast<UINT>(h), pixels, &header, DIB_RGB_COLORS);
                ICONINFO made{ TRUE, 0, 0, info.hbmMask, colour };
                result = ::CreateIconIndirect(&made);
                ::DeleteObject(colour);
            }
        }
    }
    if (buffer)
        ::GlobalFree(buffer);
    if (info.hbmMask)
        ::DeleteObject(info.hbmMask);
    if (info.hbmColor)
        ::DeleteObject(info.hbmColor);
    ::ReleaseDC(nullptr, screen);
    return result;
}

HICON CIconButton::MakeDarkerIcon(HICON icon)
{
    ICONINFO info{};
    if (!icon || !::GetIconInfo(icon, &info))
        return nullptr;
    HICON result = nullptr;
    HDC screen = ::GetDC(nullptr);
    HDC source = screen ? ::CreateCompatibleDC(screen) : nullptr;
    HDC target = screen ? ::CreateCompatibleDC(screen) : nullptr;
    BITMAP colourInfo{};
    if (screen && source && target && info.hbmColor && ::GetObjectW(info.hbmColor, sizeof(colourInfo), &colourInfo)) {
        const int w = static_cast<int>(2 * info.xHotspot), h = static_cast<int>(2 * info.yHotspot);
        // 32-bit pixels for the copy, whatever format the icon's bitmap has, so no colour is lost to a palette.
        HBITMAP darker = ::CreateBitmap(w, h, 1, 32, nullptr);
        if (darker) {
            HGDIOBJ oldSource = ::SelectObject(source, info.hbmColor);
            HGDIOBJ oldTarget = ::SelectObject(target, darker);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    COLORREF c = ::GetPixel(source, x, y);
                    if (c == CLR_INVALID)
                        c = 0;
                    ::SetPixel(target, x, y, c == 0 ? 0 : DimColor(c, 0.25));
                }
            }
            ::SelectObject(source, oldSource);
            ::SelectObject(target, oldTarget);
            ICONINFO made{ TRUE, 0, 0, info.hbmMask, darker };
            result = ::CreateIconIndirect(&made);
            ::DeleteObject(darker);
        }
    }
    if (info.hbmMask)
        ::DeleteObject(info.hbmMask);
    if (info.hbmColor)
        ::DeleteObject(info.hbmColor);
    if (source)
        ::DeleteDC(source);
    if (target)
        ::DeleteDC(target);
    if (screen)
        ::ReleaseDC(nullptr, screen);
    return result;
}

COLORREF CIconButton::DimColor(COLORREF color, double factor)
{
    if (!(factor > 0.0 && factor <= 1.0))
        return color;
    auto dim = [factor](BYTE c) { return static_cast<BYTE>(static_cast<long>(c - c * factor)); };
    return RGB(dim(GetRValue(color)), dim(GetGValue(color)), dim(GetBValue(color)));
}
