#pragma once
// Thin wrappers of the standard controls.
#include <windows.h>
#include <commctrl.h>

#include "framework/Wnd.h"

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON hIcon)
    {
        return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(hIcon), 0));
    }
    HICON GetIcon() const { return reinterpret_cast<HICON>(SendMessage(STM_GETICON, 0, 0)); }
    HBITMAP SetBitmap(HBITMAP hBitmap)
    {
        return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(hBitmap)));
    }
    HBITMAP GetBitmap() const { return reinterpret_cast<HBITMAP>(SendMessage(STM_GETIMAGE, IMAGE_BITMAP, 0)); }
};

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK, 0, 0)); }
    void SetCheck(int nCheck) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(nCheck), 0); }
    UINT GetState() const { return static_cast<UINT>(SendMessage(BM_GETSTATE, 0, 0)); }
    void SetState(BOOL bHighlight) { SendMessage(BM_SETSTATE, static_cast<WPARAM>(bHighlight), 0); }
    UINT GetButtonStyle() const { return GetStyle() & 0xFFFF; }
    void SetButtonStyle(UINT nStyle, BOOL bRedraw = TRUE) { SendMessage(BM_SETSTYLE, nStyle, bRedraw); }

    // Owner-drawn buttons paint here (the parent's WM_DRAWITEM is reflected to the button).
    virtual void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) { (void)lpDrawItemStruct; }
    BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(short nLower, short nUpper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(nLower, nUpper)); }
    void SetRange32(int nLower, int nUpper) { SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(nLower), nUpper); }
    int SetPos(int nPos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos), 0)); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }
    int SetStep(int nStep) { return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(nStep), 0)); }
    int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
    BOOL SetMarquee(BOOL fMarqueeMode, int nInterval)
    {
        return static_cast<BOOL>(SendMessage(PBM_SETMARQUEE, static_cast<WPARAM>(fMarqueeMode), nInterval));
    }
    int SetState(int iState) { return static_cast<int>(SendMessage(PBM_SETSTATE, static_cast<WPARAM>(iState), 0)); }
    int GetState() const { return static_cast<int>(SendMessage(PBM_GETSTATE, 0, 0)); }
};

class CComboBox : public CWnd {
public:
    int AddString(const wchar_t* text) { return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text))); }
    int InsertString(int nIndex, const wchar_t* text)
    {
        return static_cast<int>(SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(text)));
    }
    int DeleteString(UINT nIndex) { return static_cast<int>(SendMessage(CB_DELETESTRING, nIndex, 0)); }
    void ResetContent() { SendMessage(CB_RESETCONTENT, 0, 0); }
    int GetCount() const { return static_cast<int>(SendMessage(CB_GETCOUNT, 0, 0)); }
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL, 0, 0)); }
    int SetCurSel(int nSelect) { return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(nSelect), 0)); }
    void GetLBText(int nIndex, CString& text) const;
};

class CListBox : public CWnd {
public:
    int AddString(const wchar_t* text) { return static_cast<int>(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text))); }
    int InsertString(int nIndex, const wchar_t* text)
    {
        return static_cast<int>(SendMessage(LB_INSERTSTRING, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(text)));
    }
    int DeleteString(UINT nIndex) { return static_cast<int>(SendMessage(LB_DELETESTRING, nIndex, 0)); }
    void ResetContent() { SendMessage(LB_RESETCONTENT, 0, 0); }
    int GetCount() const { return static_cast<int>(SendMessage(LB_GETCOUNT, 0, 0)); }
    int GetCurSel() const { return static_cast<int>(SendMessage(LB_GETCURSEL, 0, 0)); }
    int SetCurSel(int nSelect) { return static_cast<int>(SendMessage(LB_SETCURSEL, static_cast<WPARAM>(nSelect), 0)); }
    void GetText(int nIndex, CString& text) const;
};
