#include "framework/Menu.h"

#include "framework/Module.h"
#include "framework/TempObjects.h"
#include "framework/Wnd.h"

namespace {
using TempMenus = afx_detail::TempMap<CMenu, HMENU>;
}

CMenu* CMenu::FromHandle(HMENU hMenu)
{
    if (!hMenu)
        return nullptr;
    TempMenus::SetRelease([](CMenu* menu) { menu->Detach(); });
    return TempMenus::Get(hMenu, [](CMenu* menu, HMENU h) { menu->m_hMenu = h; });
}

CMenu::~CMenu()
{
    DestroyMenu();
}

BOOL CMenu::Attach(HMENU hMenu)
{
    DestroyMenu();
    m_hMenu = hMenu;
    m_owned = hMenu != nullptr;
    return m_owned;
}

HMENU CMenu::Detach()
{
    HMENU hMenu = m_hMenu;
    m_hMenu = nullptr;
    m_owned = false;
    m_subMenus.clear();
    return hMenu;
}

BOOL CMenu::DestroyMenu()
{
    for (auto& entry : m_subMenus)
        entry.second->Detach();
    m_subMenus.clear();
    BOOL ok = FALSE;
    if (m_hMenu && m_owned)
        ok = ::DestroyMenu(m_hMenu);
    m_hMenu = nullptr;
    m_owned = false;
    return ok;
}

BOOL CMenu::LoadMenu(UINT nIDResource)
{
    return Attach(::LoadMenuW(FrameworkResourceHandle(), MAKEINTRESOURCEW(nIDResource)));
}

BOOL CMenu::CreatePopupMenu()
{
    return Attach(::CreatePopupMenu());
}

CMenu* CMenu::GetSubMenu(int nPos)
{
    HMENU sub = ::GetSubMenu(m_hMenu, nPos);
    if (!sub)
        return nullptr;
    auto& slot = m_subMenus[nPos];
    if (!slot)
        slot = std::make_unique<CMenu>();
    slot->m_hMenu = sub;   // not owned: the parent menu destroys it
    return slot.get();
}

int CMenu::GetMenuString(UINT nIDItem, CString& text, UINT nFlags) const
{
    int length = ::GetMenuStringW(m_hMenu, nIDItem, nullptr, 0, nFlags);
    if (length <= 0) {
        text.Empty();
        return 0;
    }
    wchar_t* buffer = text.GetBufferSetLength(length + 1);
    int got = ::GetMenuStringW(m_hMenu, nIDItem, buffer, length + 1, nFlags);
    text.ReleaseBuffer(got > 0 ? got : 0);
    return text.GetLength();
}

BOOL CMenu::TrackPopupMenu(UINT nFlags, int x, int y, CWnd* pWnd, const RECT* lpRect)
{
    return ::TrackPopupMenu(m_hMenu, nFlags, x, y, 0, pWnd ? pWnd->m_hWnd : nullptr, lpRect);
}
