#include "framework/Gdi.h"

#include "framework/Module.h"
#include "framework/TempObjects.h"
#include "framework/Wnd.h"

BOOL CGdiObject::Attach(HGDIOBJ handle)
{
    DeleteObject();
    m_hObject = handle;
    return handle != nullptr;
}

HGDIOBJ CGdiObject::Detach()
{
    HGDIOBJ handle = m_hObject;
    m_hObject = nullptr;
    return handle;
}

BOOL CGdiObject::DeleteObject()
{
    if (!m_hObject)
        return FALSE;
    BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}

BOOL CBitmap::LoadBitmap(UINT id)
{
    return Attach(::LoadBitmapW(FrameworkResourceHandle(), MAKEINTRESOURCEW(id)));
}

BOOL CBitmap::CreateCompatibleBitmap(CDC* dc, int width, int height)
{
    return Attach(::CreateCompatibleBitmap(dc ? dc->m_hDC : nullptr, width, height));
}

BOOL CBitmap::CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void* bits)
{
    return Attach(::CreateBitmap(width, height, planes, bitsPerPixel, bits));
}

namespace {
using TempDCs = afx_detail::TempMap<CDC, HDC>;
}

CDC* CDC::FromHandle(HDC hdc)
{
    if (!hdc)
        return nullptr;
    TempDCs::SetRelease([](CDC* dc) { dc->Detach(); });
    return TempDCs::Get(hdc, [](CDC* dc, HDC h) { dc->Attach(h); });
}

CDC::~CDC()
{
    if (m_owned)
        DeleteDC();
}

BOOL CDC::Attach(HDC hdc)
{
    if (m_owned)
        DeleteDC();
    m_hDC = hdc;
    m_owned = false;
    return hdc != nullptr;
}

HDC CDC::Detach()
{
    HDC hdc = m_hDC;
    m_hDC = nullptr;
    m_owned = false;
    return hdc;
}

BOOL CDC::CreateCompatibleDC(CDC* dc)
{
    if (m_owned)
        DeleteDC();
    m_hDC = ::CreateCompatibleDC(dc ? dc->m_hDC : nullptr);
    m_owned = m_hDC != nullptr;
    return m_owned;
}

BOOL CDC::DeleteDC()
{
    if (!m_hDC)
        return FALSE;
    BOOL ok = ::DeleteDC(m_hDC);
    m_hDC = nullptr;
    m_owned = false;
    return ok;
}

void CDC::FillSolidRect(const RECT* rect, COLORREF color)
{
    ::SetBkColor(m_hDC, color);
    ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, rect, nullptr, 0, nullptr);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF color)
{
    RECT r = { x, y, x + cx, y + cy };
    FillSolidRect(&r, color);
}

void CDC::Draw3dRect(const RECT* rect, COLORREF topLeft, COLORREF bottomRight)
{
    Draw3dRect(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, topLeft, bottomRight);
}

void CDC::Draw3dRect(int x, int y, int cx, int cy, COLORREF topLeft, COLORREF bottomRight)
{
    FillSolidRect(x, y, cx - 1, 1, topLeft);            // top
    FillSolidRect(x, y, 1, cy - 1, topLeft);            // left
    FillSolidRect(x + cx - 1, y, 1, cy, bottomRight);   // right
    FillSolidRect(x, y + cy - 1, cx, 1, bottomRight);   // bottom
}

BOOL CDC::DrawState(CPoint pt, CSize size, HICON icon, UINT flags, HBRUSH brush)
{
    return ::DrawStateW(m_hDC, brush, nullptr, reinterpret_cast<LPARAM>(icon), 0, pt.x, pt.y, size.cx, size.cy,
                        flags | DST_ICON);
}

CPaintDC::CPaintDC(CWnd* wnd) : m_hWnd(wnd ? wnd->m_hWnd : nullptr)
{
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC()
{
    if (m_hWnd)
        ::EndPaint(m_hWnd, &m_ps);
    m_hDC = nullptr;
}

