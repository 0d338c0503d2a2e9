#include "framework/Controls.h"

BOOL CButton::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message == WM_DRAWITEM) {
        DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
        if (pResult)
            *pResult = TRUE;
        return TRUE;
    }
    return CWnd::OnChildNotify(message, wParam, lParam, pResult);
}

void CComboBox::GetLBText(int nIndex, CString& text) const
{
    int length = static_cast<int>(SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex), 0));
    if (length == CB_ERR) {
        text.Empty();
        return;
    }
    wchar_t* buffer = text.GetBufferSetLength(length + 1);
    int got = static_cast<int>(SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(buffer)));
    text.ReleaseBuffer(got >= 0 ? got : 0);
}

void CListBox::GetText(int nIndex, CString& text) const
{
    int length = static_cast<int>(SendMessage(LB_GETTEXTLEN, static_cast<WPARAM>(nIndex), 0));
    if (length == LB_ERR) {
        text.Empty();
        return;
    }
    wchar_t* buffer = text.GetBufferSetLength(length + 1);
    int got = static_cast<int>(SendMessage(LB_GETTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(buffer)));
    text.ReleaseBuffer(got >= 0 ? got : 0);
}
