#pragma once
// CBanner: a static control that shows a bitmap across the top of a dialog, turns the pointer into a hand
// over it and opens a web page in the browser when it is clicked. The owner binds it to a static control
// with SS_NOTIFY (without it a static gets no mouse input), then hands it the bitmap and the address.
#include <windows.h>

#include "framework/Framework.h"

class CBanner : public CStatic {
public:
    CBanner();
    ~CBanner() override;

    // Takes ownership of bitmap (deleted with the banner or by the next call) and repaints; NULL leaves
    // the banner showing only its background. Named apart from CStatic::SetBitmap, which stays the
    // static control's own image message.
    void SetBannerBitmap(HBITMAP bitmap);
    HBITMAP GetBannerBitmap() const { return m_bitmap; }
    // The page a click opens (the makers' web site unless set).
    void SetAddress(const wchar_t* address) { m_address = address ? address : L""; }
    const CString& GetAddress() const { return m_address; }
    COLORREF GetBackgroundColor() const { return m_background; }

protected:
    void OnPaint();                                     // WM_PAINT: background, then the bitmap's top-left part
    void OnLButtonDblClk(UINT nFlags, CPoint point);    // WM_LBUTTONDBLCLK: opens the address
    void OnLButtonDown(UINT nFlags, CPoint point);      // WM_LBUTTONDOWN: opens the address
    BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);   // WM_SETCURSOR: the hand
    DECLARE_MESSAGE_MAP()

private:
    void OpenAddress() const;

    HBITMAP m_bitmap = nullptr;                        // owned
    CString m_address;                                 // opened on a click
    HCURSOR m_handCursor = nullptr;                    // the shared system hand (never destroyed)
    COLORREF m_background = ::GetSysColor(COLOR_BTNFACE);   // where the bitmap does not reach: the dialog face
};
