// Modal dialogs: creation from resources and from memory, the modal loop, hidden dialogs, EndDialog from
// handlers and nested loops, the pre-translation order and the default OK/Cancel/close handling.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "framework/Framework.h"

namespace {

// A dialog whose reactions a test sets: what OnInitDialog does, and a handler for WM_APP + 1.
class TestDialog : public CDialogEx {
public:
    using CDialogEx::CDialogEx;

    std::function<BOOL(TestDialog&)> m_onInit;
    std::function<void(TestDialog&)> m_onApp;
    std::function<bool(TestDialog&)> m_onCancel;   // false keeps the dialog open
    std::vector<std::string>* m_log = nullptr;
    bool m_stayHidden = false;
    int m_shows = 0;        // WM_SHOWWINDOW(TRUE) seen
    CStatic m_text;
    int m_bindId = 0;

    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        return m_onInit ? m_onInit(*this) : TRUE;
    }
    void OnCancel() override
    {
        if (!m_onCancel || m_onCancel(*this))
            CDialogEx::OnCancel();
    }
    BOOL PreTranslateMessage(MSG* pMsg) override
    {
        if (m_log && pMsg->message == WM_LBUTTONDOWN)
            m_log->push_back("dialog");
        return CDialogEx::PreTranslateMessage(pMsg);
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        if (m_bindId)
            DDX_Control(pDX, m_bindId, m_text);
    }
    void OnWindowPosChanging(WINDOWPOS* pos)
    {
        if (m_stayHidden)
            pos->flags &= ~SWP_SHOWWINDOW;
        CDialogEx::OnWindowPosChanging(pos);
    }
    void OnShowWindow(BOOL bShow, UINT nStatus)
    {
        CDialogEx::OnShowWindow(bShow, nStatus);
        if (bShow)
            ++m_shows;
    }
    LRESULT OnApp(WPARAM, LPARAM)
    {
        if (m_onApp)
            m_onApp(*this);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestDialog, CDialogEx)
    ON_WM_WINDOWPOSCHANGING()
    ON_WM_SHOWWINDOW()
    ON_MESSAGE(WM_APP + 1, OnApp)
END_MESSAGE_MAP()

// A child that sees messages before its dialog and changes a double click into a press.
class PreTranslatingStatic : public CStatic {
public:
    std::vector<std::string>* m_log = nullptr;
    BOOL PreTranslateMessage(MSG* pMsg) override
    {
        if (pMsg->message == WM_LBUTTONDBLCLK) {
            m_log->push_back("child");
            pMsg->message = WM_LBUTTONDOWN;
        }
        return CStatic::PreTranslateMessage(pMsg);
    }

protected:
    void OnLButtonDown(UINT, CPoint) { m_log->push_back("down"); }
    void OnLButtonDblClk(UINT, CPoint) { m_log->push_back("dblclk"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(PreTranslatingStatic, CStatic)
    ON_WM_LBUTTONDOWN()
    ON_WM_LBUTTONDBLCLK()
END_MESSAGE_MAP()

DialogTemplateBuilder SmallTemplate(const wchar_t* title, DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME)
{
    DialogTemplateBuilder b(title, 160, 60, style);
    b.Add(DialogTemplateBuilder::kStatic, 1001, L"Static", SS_LEFT | SS_NOTIFY | WS_VISIBLE, 5, 5, 100, 10);
    return b;
}

// Runs action once ready() holds, or after 5 seconds in any case: the modal loop shows a dialog when it
// first goes idle, which a loaded machine may take a while to reach.
void RunWhen(std::function<bool()> ready, std::function<void()> action, DWORD waited = 0)
{
    if (ready() || waited >= 5000) {
        action();
        return;
    }
    RunSoon(10, [ready, action, waited] { RunWhen(ready, action, waited + 10); });
}

void RunWhenVisible(std::function<HWND()> window, std::function<void()> action)
{
    RunWhen([window] { HWND hWnd = window(); return hWnd && ::IsWindowVisible(hWnd); }, action);
}

struct DialogTest : ::testing::Test {
    void TearDown() override { CancelScheduledActions(); }
};

}

TEST_F(DialogTest, ResourceTemplateRunsInitBindsControlsAndEndsWithTheButton)
{
    TestDialog dlg(9100u);
    dlg.m_bindId = 1001;
    bool initialised = false;
    HWND during = nullptr;
    dlg.m_onInit = [&](TestDialog& d) {
        initialised = true;
        during = d.m_hWnd;
        EXPECT_EQ(::GetDlgItem(d.m_hWnd, 1001), d.m_text.m_hWnd);   // bound by the base OnInitDialog
        return TRUE;
    };
    RunWhenVisible([&] { return dlg.m_hWnd; }, [&] {
        EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd));   // shown by the loop when it went idle
        ::SendMessageW(::GetDlgItem(dlg.m_hWnd, IDOK), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(initialised);
    EXPECT_FALSE(::IsWindow(during));   // the window is gone after DoModal
    EXPECT_EQ(nullptr, dlg.m_hWnd);
    EXPECT_EQ(nullptr, dlg.m_text.m_hWnd);
}

TEST_F(DialogTest, MissingTemplateGivesMinusOne)
{
    TestDialog dlg(8888u);
    EXPECT_EQ(-1, dlg.DoModal());
}

TEST_F(DialogTest, EscapeCancelsEvenWithoutACancelButton)
{
    auto templ = SmallTemplate(L"Escape");
    TestDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    RunSoon(50, [&] { ::PostMessageW(dlg.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0); });
    EXPECT_EQ(IDCANCEL, dlg.DoModal());

    // A dialog whose cancel does nothing stays open on Escape and on the close box.
    TestDialog keeper;
    keeper.InitModalIndirect(templ.Get());
    int cancels = 0;
    keeper.m_onCancel = [&](TestDialog&) { ++cancels; return false; };
    RunSoon(30, [&] { ::PostMessageW(keeper.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0); });
    RunSoon(60, [&] { ::PostMessageW(keeper.m_hWnd, WM_CLOSE, 0, 0); });
    RunSoon(150, [&] {
        EXPECT_TRUE(keeper.IsModalLoopRunning());
        keeper.EndDialog(9);
    });
    EXPECT_EQ(9, keeper.DoModal());
    EXPECT_EQ(2, cancels);
}

TEST_F(DialogTest, HiddenDialogStaysHiddenUntilItShowsItself)
{
    auto templ = SmallTemplate(L"Hidden");
    TestDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    dlg.m_stayHidden = true;
    RunWhen([&] { return dlg.m_shows >= 1; }, [&] {
        EXPECT_FALSE(::IsWindowVisible(dlg.m_hWnd));
        // The loop's own show arrived once, however often the loop went idle, and was kept from showing
        // the window.
        EXPECT_EQ(1, dlg.m_shows);
        dlg.m_stayHidden = false;
        dlg.ShowWindow(SW_SHOW);
        EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd));
        EXPECT_EQ(2, dlg.m_shows);
        RunSoon(100, [&] {
            EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd));
            EXPECT_EQ(2, dlg.m_shows);
            dlg.EndDialog(IDOK);
        });
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
}

TEST_F(DialogTest, VisibleTemplateStaysHiddenToo)
{
    auto templ = SmallTemplate(L"Visible template", WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE);
    TestDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    dlg.m_stayHidden = true;
    RunWhen([&] { return dlg.m_shows >= 2; }, [&] {
        EXPECT_FALSE(::IsWindowVisible(dlg.m_hWnd));
        EXPECT_EQ(2, dlg.m_shows);   // the dialog manager's show at creation, then the loop's
        dlg.EndDialog(4);
    });
    EXPECT_EQ(4, dlg.DoModal());
}

TEST_F(DialogTest, EndDialogOrCloseDuringInitNeverShowsTheDialog)
{
    auto templ = SmallTemplate(L"Init");
    TestDialog ended;
    ended.InitModalIndirect(templ.Get());
    ended.m_onInit = [](TestDialog& d) { d.EndDialog(6); return TRUE; };
    EXPECT_EQ(6, ended.DoModal());
    EXPECT_EQ(0, ended.m_shows);

    // Posting WM_CLOSE from OnInitDialog: the default close handling cancels before the dialog shows.
    TestDialog closed;
    closed.InitModalIndirect(templ.Get());
    closed.m_onInit = [](TestDialog& d) { d.PostMessage(WM_CLOSE); return FALSE; };
    EXPECT_EQ(IDCANCEL, closed.DoModal());
    EXPECT_EQ(0, closed.m_shows);
}

TEST_F(DialogTest, EndDialogOfTheOuterDialogFromANestedDialog)
{
    auto outerTemplate = SmallTemplate(L"Outer");
    auto innerTemplate = SmallTemplate(L"Inner");
    TestDialog outer, inner;
    outer.InitModalIndirect(outerTemplate.Get());
    inner.InitModalIndirect(innerTemplate.Get());
    INT_PTR innerResult = 0;
    bool handlerReturned = false;
    outer.m_onApp = [&](TestDialog&) {
        innerResult = inner.DoModal();   // the handler waits in the inner loop
        handlerReturned = true;
    };
    CWinApp app;   // the inner dialog takes the main window as owner
    app.m_pMainWnd = &outer;
    RunSoon(30, [&] { outer.PostMessage(WM_APP + 1); });
    RunSoon(150, [&] {
        ASSERT_TRUE(inner.IsModalLoopRunning());
        EXPECT_EQ(outer.m_hWnd, ::GetWindow(inner.m_hWnd, GW_OWNER));
        EXPECT_FALSE(::IsWindowEnabled(outer.m_hWnd));   // the owner is disabled while the inner one runs
        outer.EndDialog(7);                              // the outer loop cannot end yet...
        EXPECT_TRUE(inner.IsModalLoopRunning());         // ...and the inner one goes on
    });
    RunSoon(250, [&] { inner.EndDialog(3); });
    EXPECT_EQ(7, outer.DoModal());   // ends as soon as the inner loop has returned, without further input
    EXPECT_EQ(3, innerResult);
    EXPECT_TRUE(handlerReturned);
    app.m_pMainWnd = nullptr;
}

TEST_F(DialogTest, EndDialogWhileAMessageBoxRunsAndTheBoxCaption)
{
    auto templ = SmallTemplate(L"Box owner");
    TestDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    int boxResult = 0;
    ThreadMessageBox seen;
    dlg.m_onApp = [&](TestDialog&) { boxResult = AfxMessageBox(9002u, MB_ICONEXCLAMATION); };
    HWND hwnd = nullptr;
    RunWhenVisible([&] { return dlg.m_hWnd; }, [&] {
        hwnd = dlg.m_hWnd;
        dlg.PostMessage(WM_APP + 1);
        RunSoon(250, [&] {
            auto boxes = FindThreadMessageBoxes(dlg.m_hWnd);
            ASSERT_EQ(1u, boxes.size());
            seen = boxes[0];
            dlg.EndDialog(5);
            PressMessageBoxButton(boxes[0].hWnd, IDOK);
        });
    });
    EXPECT_EQ(5, dlg.DoModal());
    EXPECT_EQ(IDOK, boxResult);
    EXPECT_EQ(L"Something went wrong.", seen.text);
    EXPECT_EQ(L"framework_tests", seen.caption);   // the executable's base name
    EXPECT_EQ(hwnd, seen.owner);                    // owned by the visible modal dialog
    EXPECT_TRUE(seen.hasIcon);
}

TEST_F(DialogTest, ChildPreTranslatesBeforeItsDialogAndMayChangeTheMessage)
{
    auto templ = SmallTemplate(L"PreTranslate");
    TestDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    std::vector<std::string> log;
    PreTranslatingStatic child;
    child.m_log = &log;
    dlg.m_log = &log;
    dlg.m_onInit = [&](TestDialog& d) {
        EXPECT_TRUE(child.SubclassDlgItem(1001, &d));
        return TRUE;
    };
    RunSoon(50, [&] { ::PostMessageW(child.m_hWnd, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2)); });
    RunSoon(200, [&] { dlg.EndDialog(IDOK); });
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ((std::vector<std::string>{ "child", "dialog", "down" }), log);
}
