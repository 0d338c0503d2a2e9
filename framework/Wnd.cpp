#include "framework/Wnd.h"

#include "framework/Dialog.h"
#include "framework/Menu.h"
#include "framework/TempObjects.h"
#include "framework/WinApp.h"

namespace {
const wchar_t kObjectProp[] = L"Framework.Object";
const wchar_t kSuperProp[] = L"Framework.Super";

struct CurrentMessage {
    CWnd* wnd;
    MSG msg;
    CurrentMessage* previous;
};
thread_local CurrentMessage* t_current = nullptr;

using TempWnds = afx_detail::TempMap<CWnd, HWND>;

// The application's main window is often a dialog object on the stack of InitInstance: once its window or
// the object is gone, the application must not keep pointing at it.
void ForgetAsMainWindow(const CWnd* wnd)
{
    CWinApp* app = AfxGetApp();
    if (app && app->m_pMainWnd == wnd)
        app->m_pMainWnd = nullptr;
}
}

const MSG* AfxGetCurrentMessage()
{
    return t_current ? &t_current->msg : nullptr;
}

CWnd::~CWnd()
{
    if (m_hWnd && FromHandlePermanent(m_hWnd) == this)
        UnsubclassWindow();
    m_hWnd = nullptr;
    ForgetAsMainWindow(this);
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    if (!hWnd)
        return nullptr;
    return static_cast<CWnd*>(::GetPropW(hWnd, kObjectProp));
}

CWnd* CWnd::FromHandle(HWND hWnd)
{
    if (!hWnd)
        return nullptr;
    if (CWnd* wnd = FromHandlePermanent(hWnd))
        return wnd;
    TempWnds::SetRelease([](CWnd* wnd) { wnd->m_hWnd = nullptr; });
    return TempWnds::Get(hWnd, [](CWnd* wnd, HWND h) { wnd->m_hWnd = h; });
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    if (!hWnd || !::IsWindow(hWnd) || FromHandlePermanent(hWnd) || m_hWnd)
        return FALSE;
    TempWnds::Forget(hWnd);
    m_hWnd = hWnd;
    ::SetPropW(hWnd, kObjectProp, this);
    PreSubclassWindow();
    WNDPROC previous = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
    if (previous != &AfxWndProc) {
        // A window we routed before keeps the procedure it had then.
        m_pfnSuper = previous;
        ::SetPropW(hWnd, kSuperProp, reinterpret_cast<HANDLE>(previous));
    } else {
        m_pfnSuper = reinterpret_cast<WNDPROC>(::GetPropW(hWnd, kSuperProp));
    }
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    if (!pParent || !pParent->m_hWnd)
        return FALSE;
    return SubclassWindow(::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID)));
}

HWND CWnd::UnsubclassWindow()
{
    HWND hWnd = m_hWnd;
    if (!hWnd)
        return nullptr;
    if (FromHandlePermanent(hWnd) == this) {
        ::RemovePropW(hWnd, kObjectProp);
        // Give the procedure back only when nobody subclassed the window after us; otherwise our procedure
        // stays in the chain and forwards everything to the one we found.
        if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC)) == &AfxWndProc && m_pfnSuper) {
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
            ::RemovePropW(hWnd, kSuperProp);
        }
    }
    m_hWnd = nullptr;
    m_pfnSuper = nullptr;
    return hWnd;
}

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (CWnd* wnd = CWnd::FromHandlePermanent(hWnd))
        return wnd->Dispatch(message, wParam, lParam);
    WNDPROC super = reinterpret_cast<WNDPROC>(::GetPropW(hWnd, kSuperProp));
    if (message == WM_NCDESTROY)
        ::RemovePropW(hWnd, kSuperProp);
    return super ? ::CallWindowProcW(super, hWnd, message, wParam, lParam)
                 : ::DefWindowProcW(hWnd, message, wParam, lParam);
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    CurrentMessage current{ this, MSG{ m_hWnd, message, wParam, lParam, 0, {} }, t_current };
    t_current = &current;
    LRESULT result = WindowProc(message, wParam, lParam);
    t_current = current.previous;
    if (message == WM_NCDESTROY && m_hWnd) {
        HWND hWnd = m_hWnd;
        ::RemovePropW(hWnd, kObjectProp);
        ::RemovePropW(hWnd, kSuperProp);
        if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC)) == &AfxWndProc && m_pfnSuper)
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        m_hWnd = nullptr;
        m_pfnSuper = nullptr;
        ForgetAsMainWindow(this);
        PostNcDestroy();   // may delete the object: nothing after it
    }
    return result;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETCURSOR && AfxWaitCursorCount() > 0) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
    }
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result))
        result = DefWindowProc(message, wParam, lParam);
    return result;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSuper)
        return ::CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default()
{
    if (!t_current || t_current->wnd != this)
        return 0;   // not inside a handler of this window: nothing to pass on
    const MSG& msg = t_current->msg;
    return DefWindowProc(msg.message, msg.wParam, msg.lParam);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    switch (message) {
    case WM_COMMAND:
        if (OnCommand(wParam, lParam)) {
            *pResult = 0;
            return TRUE;
        }
        return FALSE;

    case WM_DRAWITEM:
    case WM_MEASUREITEM:
    case WM_COMPAREITEM:
    case WM_DELETEITEM: {
        HWND control = nullptr;
        if (message == WM_DRAWITEM) {
            auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
            if (dis && dis->CtlType != ODT_MENU)
                control = dis->hwndItem;
        } else if (message == WM_COMPAREITEM) {
            auto* cis = reinterpret_cast<COMPAREITEMSTRUCT*>(lParam);
            control = cis ? cis->hwndItem : nullptr;
        } else if (message == WM_DELETEITEM) {
            auto* dis = reinterpret_cast<DELETEITEMSTRUCT*>(lParam);
            control = dis ? dis->hwndItem : nullptr;
        } else if (wParam != 0) {
            control = ::GetDlgItem(m_hWnd, static_cast<int>(wParam));
        }
        CWnd* child = FromHandlePermanent(control);
        if (child && child != this && child->OnChildNotify(message, wParam, lParam, pResult))
            return TRUE;
        break;
    }

    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        CWnd* child = FromHandlePermanent(reinterpret_cast<HWND>(lParam));
        if (child && child != this && child->OnChildNotify(message, wParam, lParam, pResult))
            return TRUE;
        AFX_CTLCOLOR ctl{ reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam), message - WM_CTLCOLORMSGBOX };
        return DispatchEntries(AfxWindowMessage, WM_CTLCOLOR, 0, 0, wParam, reinterpret_cast<LPARAM>(&ctl), pResult);
    }

    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        CWnd* child = header ? FromHandlePermanent(header->hwndFrom) : nullptr;
        if (child && child != this && child->OnChildNotify(message, wParam, lParam, pResult))
            return TRUE;
        break;
    }
    default:
        break;
    }
    if (DispatchEntries(AfxWindowMessage, message, 0, 0, wParam, lParam, pResult))
        return TRUE;
    if (message >= 0xC000 && message <= 0xFFFF)
        return DispatchEntries(AfxRegisteredMessage, message, 0, 0, wParam, lParam, pResult);
    return FALSE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    UINT id = LOWORD(wParam);
    int code = HIWORD(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    if (control) {
        CWnd* child = FromHandlePermanent(control);
        LRESULT ignored = 0;
        if (child && child != this && child->OnChildNotify(WM_COMMAND, wParam, lParam, &ignored))
            return TRUE;
    } else {
        code = 0;   // a menu item or an accelerator: a plain command
    }
    LRESULT ignored = 0;
    return OnCmdMsg(id, code, wParam, lParam, &ignored);
}

BOOL CWnd::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    return ReflectChildNotify(message, wParam, lParam, pResult);
}

BOOL CWnd::ReflectChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    switch (message) {
    case WM_COMMAND:
        return DispatchEntries(AfxReflected, WM_COMMAND, HIWORD(wParam), 0, wParam, lParam, pResult);
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        AFX_CTLCOLOR ctl{ reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam), message - WM_CTLCOLORMSGBOX };
        return DispatchEntries(AfxReflected, WM_CTLCOLOR, 0, 0, wParam, reinterpret_cast<LPARAM>(&ctl), pResult);
    }
    default:
        return DispatchEntries(AfxReflected, message, 0, 0, wParam, lParam, pResult);
    }
}

BOOL CWnd::PreTranslateMessage(MSG*)
{
    return FALSE;
}

BOOL CWnd::WalkPreTranslateTree(MSG* pMsg)
{
    for (HWND hWnd = pMsg->hwnd; hWnd;) {
        CWnd* wnd = FromHandlePermanent(hWnd);
        if (wnd && wnd->PreTranslateMessage(pMsg))
            return TRUE;
        if (!(::GetWindowLongPtrW(hWnd, GWL_STYLE) & WS_CHILD))
            break;
        hWnd = ::GetParent(hWnd);
    }
    return FALSE;
}

BOOL CWnd::DestroyWindow()
{
    if (!m_hWnd)
        return FALSE;
    return ::DestroyWindow(m_hWnd);
}

void CWnd::GetWindowText(CString& text) const
{
    int length = ::GetWindowTextLengthW(m_hWnd);
    wchar_t* buffer = text.GetBufferSetLength(length + 1);
    int got = ::GetWindowTextW(m_hWnd, buffer, length + 1);
    text.ReleaseBuffer(got >= 0 ? got : 0);
}

int CWnd::GetDlgItemText(int nID, CString& text) const
{
    HWND item = ::GetDlgItem(m_hWnd, nID);
    if (!item) {
        text.Empty();
        return 0;
    }
    FromHandle(item)->GetWindowText(text);
    return text.GetLength();
}

namespace {

// Removes and adds style bits in the window long at index; FALSE when nothing changes. nFlags, when
// given, go to a SetWindowPos that makes the frame take the new style.
BOOL ModifyWindowLong(HWND hWnd, int index, DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    const DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(hWnd, index));
    const DWORD changed = (style & ~dwRemove) | dwAdd;
    if (changed == style)
        return FALSE;
    ::SetWindowLongPtrW(hWnd, index, static_cast<LONG_PTR>(changed));
    if (nFlags)
        ::SetWindowPos(hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | nFlags);
    return TRUE;
}

}  // namespace

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    return ModifyWindowLong(m_hWnd, GWL_STYLE, dwRemove, dwAdd, nFlags);
}

BOOL CWnd::ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    return ModifyWindowLong(m_hWnd, GWL_EXSTYLE, dwRemove, dwAdd, nFlags);
}

void CWnd::ScreenToClient(RECT* rect) const
{
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(rect), 2);
}

void CWnd::ClientToScreen(RECT* rect) const
{
    ::MapWindowPoints(m_hWnd, nullptr, reinterpret_cast<POINT*>(rect), 2);
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) const
{
    return CMenu::FromHandle(::GetSystemMenu(m_hWnd, bRevert));
}

int CWnd::ReleaseDC(CDC* dc)
{
    if (!dc)
        return 0;
    HDC hdc = dc->m_hDC;
    return ::ReleaseDC(m_hWnd, hdc);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.m_bFailed;
}
