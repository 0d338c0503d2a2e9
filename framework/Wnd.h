#pragma once
// Windows: a CWnd object stands for one window. Subclassing (SubclassWindow, SubclassDlgItem) routes the
// window's messages through the object's message map; messages no entry handles reach the window's own
// procedure through Default(). A parent routes WM_COMMAND notifications, WM_DRAWITEM and the ctl-colour
// messages to the control object first (reflection, OnChildNotify).
#include <windows.h>

#include "framework/CString.h"
#include "framework/CmdTarget.h"
#include "framework/Gdi.h"
#include "framework/Geometry.h"

#ifdef SubclassWindow
#undef SubclassWindow   // windowsx.h's macro would rename the member below
#endif

class CMenu;

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    // The object routing this window's messages, or nullptr.
    static CWnd* FromHandlePermanent(HWND hWnd);
    // That object, or a temporary wrapper (see TempObjects.h); nullptr for a NULL handle.
    static CWnd* FromHandle(HWND hWnd);
    static CWnd* GetFocus() { return FromHandle(::GetFocus()); }
    static CWnd* GetActiveWindow() { return FromHandle(::GetActiveWindow()); }
    static CWnd* WindowFromPoint(POINT point) { return FromHandle(::WindowFromPoint(point)); }

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // Routes the window's messages through this object (PreSubclassWindow first). False when the window
    // does not exist or another object already routes it.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    // Gives the window back its own procedure (when nothing subclassed it after us) and forgets it.
    HWND UnsubclassWindow();

    // The procedure of every routed window and the pieces it calls.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // Called on the control for a notification its parent received from it; TRUE when the control
    // handled it (the parent then does nothing more), with the answer in *pResult.
    virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // Gives a message the chance to be handled before it is dispatched; called by the modal loop for the
    // target window and each parent up to the top-level window.
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    virtual void PreSubclassWindow() {}
    // After the last message (WM_NCDESTROY); the object no longer has a window.
    virtual void PostNcDestroy() {}
    // Default processing of the message being handled.
    LRESULT Default();

    // Calls PreTranslateMessage from the message's window up to its top-level window.
    static BOOL WalkPreTranslateTree(MSG* pMsg);

    // ---- the window ----
    BOOL DestroyWindow();
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void SetWindowText(const wchar_t* text) { ::SetWindowTextW(m_hWnd, text); }
    int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
    void GetWindowText(CString& text) const;
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }
    // Changes the style bits; with nFlags, also SetWindowPos with those flags so the frame follows.
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    BOOL ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    CWnd* GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
    CWnd* GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }
    void SetDlgItemText(int nID, const wchar_t* text) { ::SetDlgItemTextW(m_hWnd, nID, text); }
    int GetDlgItemText(int nID, CString& text) const;
    CWnd* GetNextDlgTabItem(CWnd* pCtl, BOOL bPrevious = FALSE) const
    {
        return FromHandle(::GetNextDlgTabItem(m_hWnd, pCtl ? pCtl->m_hWnd : nullptr, bPrevious));
    }
    CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
    BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
    CWnd* SetActiveWindow() { return FromHandle(::SetActiveWindow(m_hWnd)); }

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }
    LRESULT SendDlgItemMessage(int nID, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendDlgItemMessageW(m_hWnd, nID, message, wParam, lParam);
    }

    void Invalidate(BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
    void InvalidateRect(const RECT* rect, BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, rect, bErase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
    void GetWindowRect(RECT* rect) const { ::GetWindowRect(m_hWnd, rect); }
    void ScreenToClient(POINT* point) const { ::ScreenToClient(m_hWnd, point); }
    void ScreenToClient(RECT* rect) const;
    void ClientToScreen(POINT* point) const { ::ClientToScreen(m_hWnd, point); }
    void ClientToScreen(RECT* rect) const;
    void MoveWindow(int x, int y, int width, int height, BOOL bRepaint = TRUE)
    {
        ::MoveWindow(m_hWnd, x, y, width, height, bRepaint);
    }
    void MoveWindow(const RECT* rect, BOOL bRepaint = TRUE)
    {
        MoveWindow(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, bRepaint);
    }
    BOOL SetWindowPos(const CWnd* pInsertAfter, int x, int y, int cx, int cy, UINT nFlags)
    {
        return ::SetWindowPos(m_hWnd, pInsertAfter ? pInsertAfter->m_hWnd : nullptr, x, y, cx, cy, nFlags);
    }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon)
    {
        return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL,
                                                   reinterpret_cast<LPARAM>(hIcon)));
    }
    // The window menu (temporary wrapper); with bRevert, the system's copy is restored and nullptr given.
    CMenu* GetSystemMenu(BOOL bRevert) const;
    CDC* GetDC() { return CDC::FromHandle(::GetDC(m_hWnd)); }
    int ReleaseDC(CDC* dc);
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer = nullptr)
    {
        return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
    }
    BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }

    // Data exchange (dialogs): binds controls to members, DoDataExchange does the work.
    virtual void DoDataExchange(class CDataExchange* pDX) { (void)pDX; }
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

protected:
    // Default handlers: the window's own processing of the message (handlers that do more call these).
    void OnPaint() { Default(); }
    void OnClose() { Default(); }
    void OnDestroy() { Default(); }
    void OnSysColorChange() { Default(); }
    void OnCancelMode() { Default(); }
    void OnMouseLeave() { Default(); }
    UINT OnGetDlgCode() { return static_cast<UINT>(Default()); }
    HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }
    void OnEnable(BOOL) { Default(); }
    void OnShowWindow(BOOL, UINT) { Default(); }
    void OnSysCommand(UINT, LPARAM) { Default(); }
    void OnWindowPosChanging(WINDOWPOS*) { Default(); }
    void OnKillFocus(CWnd*) { Default(); }
    void OnSetFocus(CWnd*) { Default(); }
    void OnActivate(UINT, CWnd*, BOOL) { Default(); }
    BOOL OnSetCursor(CWnd*, UINT, UINT) { return static_cast<BOOL>(Default()); }
    BOOL OnEraseBkgnd(CDC*) { return static_cast<BOOL>(Default()); }
    void OnMouseMove(UINT, CPoint) { Default(); }
    void OnLButtonDown(UINT, CPoint) { Default(); }
    void OnLButtonUp(UINT, CPoint) { Default(); }
    void OnLButtonDblClk(UINT, CPoint) { Default(); }
    void OnRButtonDown(UINT, CPoint) { Default(); }
    HBRUSH OnCtlColor(CDC*, CWnd*, UINT) { return reinterpret_cast<HBRUSH>(Default()); }

    // Reflected notifications through this object's map (the default of OnChildNotify).
    BOOL ReflectChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

    WNDPROC m_pfnSuper = nullptr;   // the window's own procedure while we route it

private:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
};

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// The message the calling thread's framework window is handling, or nullptr outside a handler.
const MSG* AfxGetCurrentMessage();
