#pragma once
// Base of every class with a message map; also the wait cursor.
#include <windows.h>

#include "framework/MessageMap.h"
#include "framework/Object.h"

class CCmdTarget : public CObject {
public:
    CCmdTarget() = default;
    ~CCmdTarget() override = default;

    // Routes one command (WM_COMMAND id and notification code) through this object's message map.
    virtual BOOL OnCmdMsg(UINT nID, int nCode, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

    // The wait cursor: shown from BeginWaitCursor until the matching EndWaitCursor, over every window of
    // the framework on this thread (their WM_SETCURSOR answers with it meanwhile). Calls nest.
    void BeginWaitCursor();
    void EndWaitCursor();
    void RestoreWaitCursor();

    virtual const AFX_MSGMAP* GetMessageMap() const;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();

    // Finds the first entry of this object's maps (most derived first) that handles the message.
    BOOL DispatchEntries(UINT nKind, UINT nMessage, UINT nCode, UINT nID, WPARAM wParam, LPARAM lParam,
                         LRESULT* pResult);
};

// Shows the wait cursor for its own lifetime.
class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
    void Restore();
};

// Number of wait cursors open on the calling thread.
int AfxWaitCursorCount();
