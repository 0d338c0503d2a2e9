#pragma once
// The program's control-container hook: every dialog of the program is created through it, and on
// Windows 6.0 and later gets the system's message font in place of its template's font.
#include <windows.h>

#include "framework/Dialog.h"

// The system's message font and its size in points. FALSE when the system or the screen cannot tell
// (the dialog then keeps its template's font); the outputs are then undefined.
BOOL GetMessageFont(LOGFONTW& font, WORD& pointSize);

class CFontOccManager : public COccManager {
public:
    // The template to create: a copy with the message font (owned by pOccDialogInfo->m_pNewTemplate,
    // which the framework frees once the dialog exists), or the template the base gives.
    const DLGTEMPLATE* PreCreateDialog(_AFX_OCC_DIALOG_INFO* pOccDialogInfo, const DLGTEMPLATE* pOrigTemplate) override;
};
