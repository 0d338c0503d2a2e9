#pragma once
// CIconButton: a push button that paints itself: a flat face, a raised edge under the pointer, a sunken
// edge while pressed, a centred icon (a grey copy while disabled) and an optional centred caption.
#include <windows.h>

#include "framework/Framework.h"

class CIconButton : public CButton {
public:
    // Special idle icons for SetIcon, recognised by their low 32 bits.
    static HICON GreyIdleIcon() { return reinterpret_cast<HICON>(static_cast<LONG_PTR>(-2)); }
    static HICON DarkerIdleIcon() { return reinterpret_cast<HICON>(static_cast<LONG_PTR>(-3)); }

    CIconButton();
    ~CIconButton() override;

    // Takes ownership of icon and idleIcon (and of the copies it makes) and repaints: entry 0 = icon,
    // entry 1 = idleIcon (NULL: none; GreyIdleIcon()/DarkerIdleIcon(): a copy of icon), entry 2 = the grey
    // copy of icon. 0 on success; 1 when an icon cannot be read, after every image was released.
    DWORD SetIcon(HICON icon, HICON idleIcon);
    // Empties the image table, destroying its handles when bDestroy is set.
    void ReleaseImages(BOOL bDestroy);

    // The grey copy (mean of the three channels, white becoming 254, alpha kept) and the darker copy
    // (each channel less a quarter, black kept) of an icon; NULL when it cannot be made. The caller owns them.
    static HICON MakeGreyIcon(HICON icon);
    static HICON MakeDarkerIcon(HICON icon);
    // Each channel c becomes c - c * factor (truncated) for 0 < factor <= 1; other factors change nothing.
    static COLORREF DimColor(COLORREF color, double factor);

    // State, for the dialog that owns the button and for tests.
    bool IsHover() const { return m_hover; }
    bool IsDefault() const { return m_default; }
    bool IsCheckBoxMode() const { return m_checkBox; }
    bool IsChecked() const { return m_checked; }
    HICON GetIconEntry(int entry) const { return entry >= 0 && entry < 3 ? m_icons[entry].handle : nullptr; }
    CSize GetIconEntrySize(int entry) const
    {
        return entry >= 0 && entry < 3 ? CSize(static_cast<int>(m_icons[entry].width), static_cast<int>(m_icons[entry].height))
                                       : CSize();
    }

    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;
    BOOL PreTranslateMessage(MSG* pMsg) override;

    // Painting steps, called by DrawItem in this order; their results are not used.
    virtual DWORD DrawFace(CDC* pDC, CRect* rect);
    virtual DWORD DrawFrame(CDC* pDC, CRect* rect);
    virtual void DrawIconImage(CDC* pDC, BOOL hasCaption, const RECT* item, CRect* caption, BOOL pressed, BOOL disabled);
    virtual void DrawBitmapImage(CDC* pDC, BOOL hasCaption, const RECT* item, CRect* caption, BOOL pressed, BOOL disabled);
    virtual void DrawCaption(CDC* pDC, const wchar_t* text, const RECT* item, CRect* caption, BOOL pressed, BOOL disabled);

protected:
    void PreSubclassWindow() override;

    BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);
    void OnKillFocus(CWnd* pNewWnd);
    void OnMouseMove(UINT nFlags, CPoint point);
    void OnSysColorChange();
    BOOL OnClicked();
    void OnActivate(UINT nState, CWnd* pWndOther, BOOL bMinimized);
    void OnEnable(BOOL bEnable);
    void OnCancelMode();
    UINT OnGetDlgCode();
    HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);
    LRESULT OnSetStyle(WPARAM wParam, LPARAM lParam);
    void OnMouseLeave();
    LRESULT OnSetCheck(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetCheck(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()

    // Where the image goes: left of a caption (which moves right), else centred; pressed moves it.
    CRect PlaceImage(BOOL hasCaption, const RECT* item, CRect* caption, BOOL pressed, DWORD width, DWORD height) const;
    void Repaint();
    void EndHover();
    void ReadColors();
    // The colour pair of the current state: 0 hover (also pressed), 1 focus, 2 idle.
    int ColorPair() const;

    struct IconEntry {
        HICON handle = nullptr;
        DWORD width = 0;
        DWORD height = 0;
    };
    struct BitmapEntry {
        HBITMAP handle = nullptr;
        DWORD width = 0;
        DWORD height = 0;
        HBITMAP mask = nullptr;
        COLORREF transparent = 0;
    };

    // State.
    bool m_hover = false;
    bool m_pressed = false;
    bool m_focused = false;
    bool m_disabled = false;
    bool m_default = false;
    bool m_checkBox = false;
    bool m_checked = false;

    // Settings, fixed at construction.
    bool m_flat = true;
    bool m_flatEdge = true;
    bool m_flatFocus = false;
    CPoint m_pressedOffset{ 1, 1 };
    int m_imageMargin = 3;
    bool m_hoverWhenInactive = true;

    COLORREF m_colors[3][2] = {};   // [hover, focus, idle][face, text]
    IconEntry m_icons[3];
    BitmapEntry m_bitmaps[2];
};
