#include "framework/CmdTarget.h"

namespace {
thread_local int t_waitCursors = 0;
thread_local HCURSOR t_cursorBeforeWait = nullptr;

void ChangeWaitCursor(int delta)
{
    if (delta > 0) {
        if (t_waitCursors++ == 0)
            t_cursorBeforeWait = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        else
            ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    } else if (delta < 0) {
        if (t_waitCursors == 0)
            return;   // an unmatched end: nothing to restore
        if (--t_waitCursors == 0)
            ::SetCursor(t_cursorBeforeWait ? t_cursorBeforeWait : ::LoadCursorW(nullptr, IDC_ARROW));
    } else if (t_waitCursors > 0) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    }
}
}

int AfxWaitCursorCount()
{
    return t_waitCursors;
}

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = { { 0, 0, 0, 0, 0, nullptr, nullptr } };
    static const AFX_MSGMAP map = { nullptr, &entries[0] };
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

BOOL CCmdTarget::DispatchEntries(UINT nKind, UINT nMessage, UINT nCode, UINT nID, WPARAM wParam,
                                 LPARAM lParam, LRESULT* pResult)
{
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfn; ++e) {
            if (e->nKind != nKind)
                continue;
            bool match = false;
            switch (nKind) {
            case AfxWindowMessage:
                match = e->nMessage == nMessage;
                break;
            case AfxRegisteredMessage:
                match = e->pRegistered && *e->pRegistered != 0 && *e->pRegistered == nMessage;
                break;
            case AfxCommand:
                match = e->nCode == nCode && nID >= e->nID && nID <= e->nLastID;
                break;
            case AfxReflected:
                match = e->nMessage == nMessage && (nMessage != WM_COMMAND || e->nCode == nCode);
                break;
            }
            if (!match)
                continue;
            // The first matching entry decides: a handler that answers "not handled" (a reflect-ex handler
            // answering FALSE, a ctl-colour handler giving no brush) sends the message on to the default.
            LRESULT result = 0;
            BOOL handled = e->pfn(this, wParam, lParam, &result);
            if (handled && pResult)
                *pResult = result;
            return handled;
        }
    }
    return FALSE;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    return DispatchEntries(AfxCommand, WM_COMMAND, static_cast<UINT>(nCode) & 0xFFFF, nID, wParam, lParam, pResult);
}

void CCmdTarget::BeginWaitCursor()
{
    ChangeWaitCursor(1);
}

void CCmdTarget::EndWaitCursor()
{
    ChangeWaitCursor(-1);
}

void CCmdTarget::RestoreWaitCursor()
{
    ChangeWaitCursor(0);
}

CWaitCursor::CWaitCursor()
{
    ChangeWaitCursor(1);
}

CWaitCursor::~CWaitCursor()
{
    ChangeWaitCursor(-1);
}

void CWaitCursor::Restore()
{
    ChangeWaitCursor(0);
}
