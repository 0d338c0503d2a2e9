// Message maps, reflection and default processing, on real windows of the test thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "framework/Framework.h"

namespace {

UINT g_registeredPing = ::RegisterWindowMessageW(L"FrameworkTests.Ping");

class BaseWnd : public CWnd {
public:
    std::vector<std::string> m_calls;

protected:
    LRESULT OnApp1(WPARAM, LPARAM) { m_calls.push_back("base1"); return 11; }
    LRESULT OnApp2(WPARAM wParam, LPARAM) { m_calls.push_back("base2"); return 20 + static_cast<LRESULT>(wParam); }
    void OnFirst() { m_calls.push_back("first"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseWnd, CWnd)
    ON_MESSAGE(WM_APP + 1, OnApp1)
    ON_MESSAGE(WM_APP + 2, OnApp2)
    ON_COMMAND(40001, OnFirst)
END_MESSAGE_MAP()

class DerivedWnd : public BaseWnd {
public:
    bool m_passSetText = true;
    int m_buttonClicks = 0;
    int m_comboChanges = 0;
    HBRUSH m_parentBrush = nullptr;
    int m_parentCtlColor = 0;

protected:
    LRESULT OnApp1Derived(WPARAM, LPARAM) { m_calls.push_back("derived1"); return 12; }
    LRESULT OnPing(WPARAM, LPARAM lParam) { m_calls.push_back("ping"); return lParam * 2; }
    void OnRange(UINT id) { m_calls.push_back("range" + std::to_string(id)); }
    void OnButton() { ++m_buttonClicks; }
    void OnCombo() { ++m_comboChanges; }
    LRESULT OnSetText(WPARAM, LPARAM)
    {
        m_calls.push_back("settext");
        return m_passSetText ? Default() : TRUE;
    }
    HBRUSH OnCtlColor(CDC*, CWnd*, UINT nCtlColor)
    {
        m_parentCtlColor = static_cast<int>(nCtlColor) + 100;
        return m_parentBrush;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedWnd, BaseWnd)
    ON_MESSAGE(WM_APP + 1, OnApp1Derived)
    ON_REGISTERED_MESSAGE(g_registeredPing, OnPing)
    ON_COMMAND_RANGE(40010, 40019, OnRange)
    ON_BN_CLICKED(101, OnButton)
    ON_CBN_SELCHANGE(102, OnCombo)
    ON_MESSAGE(WM_SETTEXT, OnSetText)
    ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

// A button that sees its own click before its parent does, and answers the parent's ctl-colour message.
class ReflectingButton : public CButton {
public:
    BOOL m_consume = FALSE;
    int m_clicks = 0;
    int m_draws = 0;
    HBRUSH m_brush = nullptr;
    UINT m_lastCtlType = 99;
    void DrawItem(LPDRAWITEMSTRUCT dis) override
    {
        ++m_draws;
        ::FillRect(dis->hDC, &dis->rcItem, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    }

protected:
    BOOL OnClicked() { ++m_clicks; return m_consume; }
    HBRUSH CtlColor(CDC*, UINT nCtlColor) { m_lastCtlType = nCtlColor; return m_brush; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ReflectingButton, CButton)
    ON_CONTROL_REFLECT_EX(BN_CLICKED, OnClicked)
    ON_WM_CTLCOLOR_REFLECT()
END_MESSAGE_MAP()

class CountingWnd : public CWnd {
public:
    int* m_postNcDestroy = nullptr;

protected:
    void PostNcDestroy() override { ++*m_postNcDestroy; }
};

struct MessageMapTest : ::testing::Test {
    DialogTemplateBuilder templ{ L"Map test", 200, 100, WS_POPUP | WS_CAPTION };
    HWND dialog = nullptr;
    void SetUp() override
    {
        templ.Add(DialogTemplateBuilder::kButton, 101, L"Button", BS_PUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 10, 10, 50, 14)
            .Add(DialogTemplateBuilder::kComboBox, 102, L"", CBS_DROPDOWNLIST | WS_VISIBLE, 10, 30, 80, 40)
            .Add(DialogTemplateBuilder::kButton, 103, L"", BS_OWNERDRAW | WS_VISIBLE, 100, 10, 30, 20)
            .Add(DialogTemplateBuilder::kStatic, 104, L"Text", SS_LEFT | WS_VISIBLE, 10, 60, 80, 8);
        dialog = CreatePlainDialog(templ.Get());
        ASSERT_NE(nullptr, dialog);
    }
    void TearDown() override
    {
        if (::IsWindow(dialog))
            ::DestroyWindow(dialog);
        AfxDeleteTempObjects();
    }
};

}

TEST_F(MessageMapTest, DerivedEntriesComeFirstAndBaseEntriesStillAnswer)
{
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(dialog));

    EXPECT_EQ(12, ::SendMessageW(dialog, WM_APP + 1, 0, 0));   // the derived class's entry hides the base's
    EXPECT_EQ(25, ::SendMessageW(dialog, WM_APP + 2, 5, 0));   // found in the base class's map
    EXPECT_EQ(0, ::SendMessageW(dialog, WM_APP + 3, 0, 0));    // no entry: the dialog's default answers
    EXPECT_EQ(42, ::SendMessageW(dialog, g_registeredPing, 0, 21));
    EXPECT_EQ((std::vector<std::string>{ "derived1", "base2", "ping" }), wnd.m_calls);
}

TEST_F(MessageMapTest, CommandsFromMenusAndControlsReachTheirEntries)
{
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(dialog));

    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(40001, 0), 0);   // a menu item: base-class entry
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(40013, 1), 0);   // an accelerator counts as a command
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(40020, 0), 0);   // outside the range: nobody
    EXPECT_EQ((std::vector<std::string>{ "first", "range40013" }), wnd.m_calls);

    ::SendMessageW(::GetDlgItem(dialog, 101), BM_CLICK, 0, 0);      // the button's own BN_CLICKED
    EXPECT_EQ(1, wnd.m_buttonClicks);

    HWND combo = ::GetDlgItem(dialog, 102);
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(102, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(102, CBN_DROPDOWN), reinterpret_cast<LPARAM>(combo));
    EXPECT_EQ(1, wnd.m_comboChanges);
}

TEST_F(MessageMapTest, ReflectExDecidesWhetherTheParentSeesTheClick)
{
    DerivedWnd parent;
    ReflectingButton button;
    ASSERT_TRUE(parent.SubclassWindow(dialog));
    ASSERT_TRUE(button.SubclassDlgItem(101, &parent));

    ::SendMessageW(button.m_hWnd, BM_CLICK, 0, 0);
    EXPECT_EQ(1, button.m_clicks);
    EXPECT_EQ(1, parent.m_buttonClicks);   // FALSE from the control: the parent gets the click as well

    button.m_consume = TRUE;
    ::SendMessageW(button.m_hWnd, BM_CLICK, 0, 0);
    EXPECT_EQ(2, button.m_clicks);
    EXPECT_EQ(1, parent.m_buttonClicks);   // TRUE: the control kept it
}

TEST_F(MessageMapTest, OwnerDrawPaintingIsReflectedToTheControl)
{
    DerivedWnd parent;
    ReflectingButton button;
    ASSERT_TRUE(parent.SubclassWindow(dialog));
    ASSERT_TRUE(button.SubclassDlgItem(103, &parent));
    ::ShowWindow(dialog, SW_SHOWNA);
    ::RedrawWindow(button.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    EXPECT_GE(button.m_draws, 1);
}

TEST_F(MessageMapTest, CtlColorGoesToTheControlFirstThenToTheParent)
{
    DerivedWnd parent;
    ReflectingButton button;
    ASSERT_TRUE(parent.SubclassWindow(dialog));
    ASSERT_TRUE(button.SubclassDlgItem(101, &parent));
    HDC dc = ::GetDC(dialog);
    HBRUSH controlBrush = static_cast<HBRUSH>(::GetStockObject(GRAY_BRUSH));
    HBRUSH parentBrush = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    parent.m_parentBrush = parentBrush;

    button.m_brush = controlBrush;
    LRESULT answer = ::SendMessageW(dialog, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(button.m_hWnd));
    EXPECT_EQ(reinterpret_cast<LRESULT>(controlBrush), answer);
    EXPECT_EQ(static_cast<UINT>(CTLCOLOR_BTN), button.m_lastCtlType);
    EXPECT_EQ(0, parent.m_parentCtlColor);

    button.m_brush = nullptr;   // no brush from the control: the parent's own handler answers
    answer = ::SendMessageW(dialog, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(button.m_hWnd));
    EXPECT_EQ(reinterpret_cast<LRESULT>(parentBrush), answer);
    EXPECT_EQ(100 + CTLCOLOR_BTN, parent.m_parentCtlColor);
    ::ReleaseDC(dialog, dc);
}

TEST_F(MessageMapTest, DefaultRunsTheWindowsOwnProcessing)
{
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(dialog));
    ::SetWindowTextW(dialog, L"changed");
    CString text;
    wnd.GetWindowText(text);
    EXPECT_STREQ(L"changed", text.GetString());

    wnd.m_passSetText = false;   // the handler swallows it: the text stays
    ::SetWindowTextW(dialog, L"swallowed");
    wnd.GetWindowText(text);
    EXPECT_STREQ(L"changed", text.GetString());
}

TEST_F(MessageMapTest, ObjectLifetimeAndWindowLifetime)
{
    {
        DerivedWnd wnd;
        ASSERT_TRUE(wnd.SubclassWindow(dialog));
        EXPECT_EQ(&wnd, CWnd::FromHandlePermanent(dialog));
        DerivedWnd second;
        EXPECT_FALSE(second.SubclassWindow(dialog));   // one object per window
    }
    // The object went first: the window has its own procedure again and goes on working.
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(dialog));
    EXPECT_EQ(0, ::SendMessageW(dialog, WM_APP + 1, 0, 0));
    ::SetWindowTextW(dialog, L"still works");
    wchar_t text[32] = {};
    ::GetWindowTextW(dialog, text, 32);
    EXPECT_STREQ(L"still works", text);

    // The window goes first: the object forgets it after its last message.
    int postNcDestroy = 0;
    CountingWnd control;
    control.m_postNcDestroy = &postNcDestroy;
    ASSERT_TRUE(control.SubclassDlgItem(104, CWnd::FromHandle(dialog)));
    ::DestroyWindow(dialog);
    EXPECT_EQ(nullptr, control.m_hWnd);
    EXPECT_EQ(1, postNcDestroy);
}

TEST_F(MessageMapTest, TemporaryWrappersLiveUntilIdleCleanup)
{
    HWND item = ::GetDlgItem(dialog, 104);
    CWnd* temp = CWnd::FromHandle(item);
    ASSERT_NE(nullptr, temp);
    EXPECT_EQ(item, temp->m_hWnd);
    EXPECT_EQ(temp, CWnd::FromHandle(item));
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(item));
    EXPECT_EQ(nullptr, CWnd::FromHandle(nullptr));

    DerivedWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(dialog));
    EXPECT_EQ(&wnd, CWnd::FromHandle(dialog));
    EXPECT_EQ(temp, wnd.GetDlgItem(104));
    AfxDeleteTempObjects();
    EXPECT_EQ(item, CWnd::FromHandle(item)->m_hWnd);   // a fresh wrapper of the same window
}
