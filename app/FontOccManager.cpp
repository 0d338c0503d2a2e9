#include "app/FontOccManager.h"

#include <cstdlib>

#include "framework/DialogTemplate.h"

BOOL GetMessageFont(LOGFONTW& font, WORD& pointSize)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    static_assert(sizeof(NONCLIENTMETRICSW) == 504, "the metrics include iPaddedBorderWidth");
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        return FALSE;
    font = metrics.lfMessageFont;
    if (font.lfHeight < 0)
        font.lfHeight = -font.lfHeight;
    if (font.lfFaceName[0] == L'\0')
        return FALSE;

    HDC screen = GetDC(nullptr);
    if (!screen)
        return FALSE;
    const int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (pixelsPerInch <= 0)
        return FALSE;
    const int points = MulDiv(font.lfHeight, 72, pixelsPerInch);
    if (points <= 0)
        return FALSE;
    pointSize = static_cast<WORD>(points);
    return TRUE;
}

const DLGTEMPLATE* CFontOccManager::PreCreateDialog(_AFX_OCC_DIALOG_INFO* pOccDialogInfo,
                                                    const DLGTEMPLATE* pOrigTemplate)
{
    const DLGTEMPLATE* result = COccManager::PreCreateDialog(pOccDialogInfo, pOrigTemplate);
    // Windows before 6.0 keeps the template's font; a template the base already made is left alone.
    if (LOBYTE(LOWORD(GetVersion())) < 6 || !pOccDialogInfo || pOccDialogInfo->m_pNewTemplate || !result)
        return result;

    LOGFONTW font;
    WORD pointSize = 0;
    if (!GetMessageFont(font, pointSize))
        return result;
    CDialogTemplate copy(result);
    if (!copy.SetFont(font.lfFaceName, pointSize))
        return result;
    HGLOBAL memory = copy.Detach();
    if (!memory)
        return result;
    // Fixed global memory: the handle is the block's address.
    pOccDialogInfo->m_pNewTemplate = static_cast<DLGTEMPLATE*>(memory);
    return pOccDialogInfo->m_pNewTemplate;
}
