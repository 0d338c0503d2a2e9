#pragma once
// An editable copy of a dialog template (classic DLGTEMPLATE or extended DLGTEMPLATEEX): its font can be
// read and replaced, and the copy handed on as a global memory block.
#include <windows.h>

#include <vector>

#include "framework/CString.h"

class CDialogTemplate {
public:
    CDialogTemplate() = default;
    // Copies the template (its whole length is found by walking its items).
    explicit CDialogTemplate(const DLGTEMPLATE* pTemplate);
    ~CDialogTemplate();
    CDialogTemplate(const CDialogTemplate&) = delete;
    CDialogTemplate& operator=(const CDialogTemplate&) = delete;

    BOOL SetTemplate(const DLGTEMPLATE* pTemplate, UINT cb);
    // Loads the template of a dialog resource of the framework's resource module.
    BOOL Load(const wchar_t* lpDialogTemplateID);

    // The template's font; FALSE when it has none (no DS_SETFONT) or the copy is empty.
    BOOL GetFont(CString& strFaceName, WORD& nFontSize) const;
    static BOOL GetFont(const DLGTEMPLATE* pTemplate, CString& strFaceName, WORD& nFontSize);
    // Replaces the font (adds one, with DS_SETFONT, when the template has none). The items are kept
    // byte for byte; they move so that each still starts on a 4-byte boundary.
    BOOL SetFont(const wchar_t* lpFaceName, WORD nFontSize);

    // The copy as fixed global memory (GMEM_FIXED, so the handle is also its address), which the caller
    // now owns and frees with GlobalFree; the object is empty afterwards. nullptr when empty.
    HGLOBAL Detach();

    // Size in bytes of a template read from memory (walks header and items); 0 when it is malformed.
    static UINT GetTemplateSize(const DLGTEMPLATE* pTemplate);

    const BYTE* Data() const { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    UINT Size() const { return static_cast<UINT>(m_bytes.size()); }
    bool IsExtended() const;

    DWORD m_dwTemplateSize = 0;   // size of the copy

private:
    std::vector<BYTE> m_bytes;
};
