#pragma once
// Menus.
#include <windows.h>

#include <map>
#include <memory>

#include "framework/CString.h"

class CWnd;

// A menu handle. A menu loaded or attached here is destroyed with the object unless detached; the
// wrappers that FromHandle, GetSubMenu and CWnd::GetSystemMenu give never destroy their menus.
class CMenu {
public:
    CMenu() = default;
    virtual ~CMenu();
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;

    HMENU m_hMenu = nullptr;

    static CMenu* FromHandle(HMENU hMenu);

    HMENU GetSafeHmenu() const { return m_hMenu; }
    operator HMENU() const { return m_hMenu; }
    BOOL Attach(HMENU hMenu);
    HMENU Detach();
    BOOL DestroyMenu();
    BOOL LoadMenu(UINT nIDResource);
    BOOL CreatePopupMenu();

    // The pop-up at a position (a wrapper owned by this object), or nullptr.
    CMenu* GetSubMenu(int nPos);
    int GetMenuItemCount() const { return ::GetMenuItemCount(m_hMenu); }
    UINT GetMenuItemID(int nPos) const { return ::GetMenuItemID(m_hMenu, nPos); }
    int GetMenuString(UINT nIDItem, CString& text, UINT nFlags) const;
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, const wchar_t* text = nullptr)
    {
        return ::AppendMenuW(m_hMenu, nFlags, nIDNewItem, text);
    }
    UINT EnableMenuItem(UINT nIDEnableItem, UINT nEnable) { return ::EnableMenuItem(m_hMenu, nIDEnableItem, nEnable); }
    UINT CheckMenuItem(UINT nIDCheckItem, UINT nCheck) { return ::CheckMenuItem(m_hMenu, nIDCheckItem, nCheck); }
    UINT GetMenuState(UINT nID, UINT nFlags) const { return ::GetMenuState(m_hMenu, nID, nFlags); }
    // Shows the pop-up and runs it; the chosen command goes to pWnd as WM_COMMAND (unless TPM_RETURNCMD).
    BOOL TrackPopupMenu(UINT nFlags, int x, int y, CWnd* pWnd, const RECT* lpRect = nullptr);

private:
    bool m_owned = false;
    std::map<int, std::unique_ptr<CMenu>> m_subMenus;
};
