#pragma once
// Helpers for tests that run real dialogs on the test thread: dialog templates built in memory, actions
// scheduled to run inside a modal loop, and a look at (and a press on) the message boxes of the thread.
// Plain Win32: usable with or without the framework.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Builds a dialog template in memory, extended (DLGTEMPLATEEX, as the resource compiler makes for DIALOGEX)
// or classic (DLGTEMPLATE).
class DialogTemplateBuilder {
public:
    // Predefined control classes by atom.
    static constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082, kListBox = 0x0083,
                          kScrollBar = 0x0084, kComboBox = 0x0085;

    // font nullptr: no DS_SETFONT and no font fields.
    DialogTemplateBuilder(const wchar_t* title, short cx, short cy,
                          DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                          DWORD exStyle = 0, const wchar_t* font = L"MS Shell Dlg", WORD pointSize = 8,
                          bool extended = true);

    DialogTemplateBuilder& Add(WORD classAtom, int id, const wchar_t* text, DWORD style, short x, short y, short cx,
                               short cy, DWORD exStyle = 0);
    DialogTemplateBuilder& Add(const wchar_t* className, int id, const wchar_t* text, DWORD style, short x, short y,
                               short cx, short cy, DWORD exStyle = 0);

    // The template (valid while the builder lives and is not changed).
    const DLGTEMPLATE* Get();
    const std::vector<BYTE>& Bytes();
    // Offset of the first item in Bytes() (4-aligned), for comparing item blocks.
    size_t ItemsOffset();

private:
    struct Item {
        DWORD style, exStyle;
        short x, y, cx, cy;
        int id;
        WORD atom;
        std::wstring className, text;
    };
    void Build();

    std::wstring m_title, m_font;
    bool m_hasFont, m_extended;
    WORD m_pointSize;
    DWORD m_style, m_exStyle;
    short m_cx, m_cy;
    std::vector<Item> m_items;
    std::vector<BYTE> m_bytes;
    size_t m_itemsOffset = 0;
    bool m_dirty = true;
};

// Runs action on the calling thread after delayMs, from whatever message loop runs then (a thread timer:
// the framework's modal loop, a message box or a menu loop all dispatch it). One shot. The action runs
// through RunChecked.
void RunSoon(DWORD delayMs, std::function<void()> action);
// Runs a check from inside a message loop. A failed ASSERT returns from the check only, and the dialog
// whose loop called it would run on until the test program is killed: after a fatal failure in the check
// every message loop of the thread is ended (a quit, which each modal loop hands on to the loops around
// it, so that the test fails at once) and the actions not run yet are dropped. The quit is taken off the
// queue again when the test ends. A crash in the check (an access violation and the like), which the
// timer dispatch of a modal loop would take as handled, ends the test program at once with a line that
// names the test and the place.
void RunChecked(const std::function<void()>& check);
// Drops the actions not run yet (call at the end of a test).
void CancelScheduledActions();

// Pumps the calling thread's messages for about ms milliseconds.
void PumpMessagesFor(DWORD ms);
// Pumps until pred() holds or timeoutMs passes; returns pred().
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs);

// A message box (or any dialog-class window) shown by the calling thread.
struct ThreadMessageBox {
    HWND hWnd = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;        // the texts of its static controls, joined by "\n"
    bool hasIcon = false;     // it shows an icon (a static with SS_ICON)
};
// The visible dialog-class windows of the calling thread other than exclude, newest first.
std::vector<ThreadMessageBox> FindThreadMessageBoxes(HWND exclude = nullptr);
// Presses the button id of a message box (IDOK, IDCANCEL...).
void PressMessageBoxButton(HWND box, int id);

// Creates a modeless dialog from a template with a dialog procedure that leaves everything to the
// default; for tests that route its messages through an object (SubclassWindow) themselves.
HWND CreatePlainDialog(const DLGTEMPLATE* templ, HWND owner = nullptr);
