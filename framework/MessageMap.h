#pragma once
// Message maps: per-class tables that route window messages, commands and reflected notifications to
// member functions. A class declares its table with DECLARE_MESSAGE_MAP() and defines it with
//
//     BEGIN_MESSAGE_MAP(CMyDlg, CDialogEx)
//         ON_WM_PAINT()
//         ON_BN_CLICKED(3, OnPauseResume)
//         ON_MESSAGE(WM_APP + 1, OnProgress)
//         ON_REGISTERED_MESSAGE(g_uMsgShow, OnShowRequest)
//     END_MESSAGE_MAP()
//
// Handlers are named plainly (OnPaint, or CBase::OnHelp for a base-class handler). A class's table is
// searched first, then its base class's and so on up to CCmdTarget; the first entry that handles the
// message wins. A message no entry handles goes to the window's default procedure.
#include <windows.h>

class CCmdTarget;

#ifndef WM_CTLCOLOR
#define WM_CTLCOLOR 0x0019   // stands for every WM_CTLCOLOR* message in a map entry
#endif

// Calls one handler: decodes wParam/lParam, stores the handler's answer in *result and returns whether the
// message counts as handled (a reflect-ex handler may answer FALSE to let the parent see it as well).
using AfxMessageThunk = BOOL (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam, LRESULT* result);

enum AfxEntryKind : UINT {
    AfxWindowMessage = 1,      // nMessage
    AfxRegisteredMessage = 2,  // *pRegistered, a number from RegisterWindowMessageW
    AfxCommand = 3,            // WM_COMMAND with notification nCode from ids nID..nLastID
    AfxReflected = 4,          // a notification the parent sent back to the control (nMessage, nCode)
};

struct AFX_MSGMAP_ENTRY {
    UINT nKind;
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    const UINT* pRegistered;
    AfxMessageThunk pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// The ctl-colour record handed to WM_CTLCOLOR handlers (the message's three parts).
struct AFX_CTLCOLOR {
    HWND hWnd;
    HDC hDC;
    UINT nCtlType;   // CTLCOLOR_MSGBOX .. CTLCOLOR_STATIC
};

#define DECLARE_MESSAGE_MAP() \
protected: \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass) \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() \
    { \
        using ThisClass [[maybe_unused]] = theClass; \
        using TheBaseClass = baseClass; \
        static const AFX_MSGMAP_ENTRY messageEntries[] = {

#define END_MESSAGE_MAP() \
            { 0, 0, 0, 0, 0, nullptr, nullptr } \
        }; \
        static const AFX_MSGMAP messageMap = { &TheBaseClass::GetThisMessageMap, &messageEntries[0] }; \
        return &messageMap; \
    }

// ---- building blocks ---------------------------------------------------------------------------------
#define AFX_THUNK(body) \
    [](CCmdTarget* afxTarget, WPARAM wParam, LPARAM lParam, LRESULT* afxResult) -> BOOL { \
        auto* self = static_cast<ThisClass*>(afxTarget); \
        (void)self; (void)wParam; (void)lParam; (void)afxResult; \
        body \
    }
#define AFX_WM_ENTRY(msg, body) { AfxWindowMessage, (msg), 0, 0, 0, nullptr, AFX_THUNK(body) },

// ---- window messages ---------------------------------------------------------------------------------
#define ON_MESSAGE(message, memberFxn) \
    AFX_WM_ENTRY(message, *afxResult = self->memberFxn(wParam, lParam); return TRUE;)
#define ON_REGISTERED_MESSAGE(nMessageVariable, memberFxn) \
    { AfxRegisteredMessage, 0, 0, 0, 0, &(nMessageVariable), \
      AFX_THUNK(*afxResult = self->memberFxn(wParam, lParam); return TRUE;) },

#define ON_WM_PAINT() AFX_WM_ENTRY(WM_PAINT, self->OnPaint(); return TRUE;)
#define ON_WM_CLOSE() AFX_WM_ENTRY(WM_CLOSE, self->OnClose(); return TRUE;)
#define ON_WM_DESTROY() AFX_WM_ENTRY(WM_DESTROY, self->OnDestroy(); return TRUE;)
#define ON_WM_SYSCOLORCHANGE() AFX_WM_ENTRY(WM_SYSCOLORCHANGE, self->OnSysColorChange(); return TRUE;)
#define ON_WM_CANCELMODE() AFX_WM_ENTRY(WM_CANCELMODE, self->OnCancelMode(); return TRUE;)
#define ON_WM_MOUSELEAVE() AFX_WM_ENTRY(WM_MOUSELEAVE, self->OnMouseLeave(); return TRUE;)
#define ON_WM_GETDLGCODE() \
    AFX_WM_ENTRY(WM_GETDLGCODE, *afxResult = static_cast<LRESULT>(self->OnGetDlgCode()); return TRUE;)
#define ON_WM_QUERYDRAGICON() \
    AFX_WM_ENTRY(WM_QUERYDRAGICON, *afxResult = reinterpret_cast<LRESULT>(self->OnQueryDragIcon()); return TRUE;)
#define ON_WM_ENABLE() AFX_WM_ENTRY(WM_ENABLE, self->OnEnable(static_cast<BOOL>(wParam)); return TRUE;)
#define ON_WM_SHOWWINDOW() \
    AFX_WM_ENTRY(WM_SHOWWINDOW, self->OnShowWindow(static_cast<BOOL>(wParam), static_cast<UINT>(lParam)); return TRUE;)
#define ON_WM_SYSCOMMAND() \
    AFX_WM_ENTRY(WM_SYSCOMMAND, self->OnSysCommand(static_cast<UINT>(wParam), lParam); return TRUE;)
#define ON_WM_WINDOWPOSCHANGING() \
    AFX_WM_ENTRY(WM_WINDOWPOSCHANGING, self->OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam)); return TRUE;)
#define ON_WM_KILLFOCUS() \
    AFX_WM_ENTRY(WM_KILLFOCUS, self->OnKillFocus(CWnd::FromHandle(reinterpret_cast<HWND>(wParam))); return TRUE;)
#define ON_WM_SETFOCUS() \
    AFX_WM_ENTRY(WM_SETFOCUS, self->OnSetFocus(CWnd::FromHandle(reinterpret_cast<HWND>(wParam))); return TRUE;)
#define ON_WM_ACTIVATE() \
    AFX_WM_ENTRY(WM_ACTIVATE, self->OnActivate(LOWORD(wParam), CWnd::FromHandle(reinterpret_cast<HWND>(lParam)), \
                                               static_cast<BOOL>(HIWORD(wParam))); return TRUE;)
#define ON_WM_SETCURSOR() \
    AFX_WM_ENTRY(WM_SETCURSOR, *afxResult = self->OnSetCursor(CWnd::FromHandle(reinterpret_cast<HWND>(wParam)), \
                                                             LOWORD(lParam), HIWORD(lParam)); return TRUE;)
#define ON_WM_ERASEBKGND() \
    AFX_WM_ENTRY(WM_ERASEBKGND, *afxResult = self->OnEraseBkgnd(CDC::FromHandle(reinterpret_cast<HDC>(wParam))); return TRUE;)
#define AFX_MOUSE_ENTRY(msg, fn) \
    AFX_WM_ENTRY(msg, self->fn(static_cast<UINT>(wParam), CPoint(lParam)); return TRUE;)
#define ON_WM_MOUSEMOVE() AFX_MOUSE_ENTRY(WM_MOUSEMOVE, OnMouseMove)
#define ON_WM_LBUTTONDOWN() AFX_MOUSE_ENTRY(WM_LBUTTONDOWN, OnLButtonDown)
#define ON_WM_LBUTTONUP() AFX_MOUSE_ENTRY(WM_LBUTTONUP, OnLButtonUp)
#define ON_WM_LBUTTONDBLCLK() AFX_MOUSE_ENTRY(WM_LBUTTONDBLCLK, OnLButtonDblClk)
#define ON_WM_RBUTTONDOWN() AFX_MOUSE_ENTRY(WM_RBUTTONDOWN, OnRButtonDown)
// The parent's own ctl-colour handler (all WM_CTLCOLOR* messages); NULL lets default processing answer.
#define ON_WM_CTLCOLOR() \
    AFX_WM_ENTRY(WM_CTLCOLOR, { \
        auto* afxCtl = reinterpret_cast<AFX_CTLCOLOR*>(lParam); \
        HBRUSH afxBrush = self->OnCtlColor(CDC::FromHandle(afxCtl->hDC), CWnd::FromHandle(afxCtl->hWnd), afxCtl->nCtlType); \
        if (!afxBrush) return FALSE; \
        *afxResult = reinterpret_cast<LRESULT>(afxBrush); return TRUE; })

// ---- commands (WM_COMMAND from menus, accelerators and controls) ---------------------------------------
#define ON_CONTROL(wNotifyCode, id, memberFxn) \
    { AfxCommand, WM_COMMAND, static_cast<UINT>(wNotifyCode), static_cast<UINT>(id), static_cast<UINT>(id), nullptr, \
      AFX_THUNK(self->memberFxn(); return TRUE;) },
#define ON_COMMAND(id, memberFxn) ON_CONTROL(0, id, memberFxn)
#define ON_COMMAND_RANGE(id, idLast, memberFxn) \
    { AfxCommand, WM_COMMAND, 0, static_cast<UINT>(id), static_cast<UINT>(idLast), nullptr, \
      AFX_THUNK(self->memberFxn(static_cast<UINT>(LOWORD(wParam))); return TRUE;) },
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_BN_DOUBLECLICKED(id, memberFxn) ON_CONTROL(BN_DOUBLECLICKED, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)
#define ON_LBN_SELCHANGE(id, memberFxn) ON_CONTROL(LBN_SELCHANGE, id, memberFxn)
#define ON_STN_CLICKED(id, memberFxn) ON_CONTROL(STN_CLICKED, id, memberFxn)

// ---- notifications reflected to the control that sent them -------------------------------------------
#define ON_CONTROL_REFLECT(wNotifyCode, memberFxn) \
    { AfxReflected, WM_COMMAND, static_cast<UINT>(wNotifyCode), 0, 0, nullptr, \
      AFX_THUNK(self->memberFxn(); return TRUE;) },
// The handler answers TRUE to keep the notification from the parent, FALSE to let the parent have it too.
#define ON_CONTROL_REFLECT_EX(wNotifyCode, memberFxn) \
    { AfxReflected, WM_COMMAND, static_cast<UINT>(wNotifyCode), 0, 0, nullptr, \
      AFX_THUNK(return self->memberFxn() ? TRUE : FALSE;) },
// The control's brush for its parent's WM_CTLCOLOR* message; NULL leaves the parent to answer.
#define ON_WM_CTLCOLOR_REFLECT() \
    { AfxReflected, WM_CTLCOLOR, 0, 0, 0, nullptr, AFX_THUNK({ \
        auto* afxCtl = reinterpret_cast<AFX_CTLCOLOR*>(lParam); \
        HBRUSH afxBrush = self->CtlColor(CDC::FromHandle(afxCtl->hDC), afxCtl->nCtlType); \
        if (!afxBrush) return FALSE; \
        *afxResult = reinterpret_cast<LRESULT>(afxBrush); return TRUE; }) },
