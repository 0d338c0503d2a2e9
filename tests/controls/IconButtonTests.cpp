// The owner-drawn icon button in a real modal dialog: its looks painted into a memory canvas, hover by
// mouse messages, the grey and darker icon copies, the style and dialog-code answers, clicks, double
// clicks and the focus move when it is disabled.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ControlTestUtil.h"
#include "DialogTestUtil.h"
#include "ImportPatch.h"
#include "controls/IconButton.h"

using namespace ctltest;

namespace {

constexpr int kIcon = 3;      // icon button, plain push button in the template
constexpr int kPlain = 4;     // an ordinary button
constexpr int kCheck = 5;     // icon button, check box in the template
constexpr int kDefault = 6;   // icon button, default push button in the template
constexpr int kLast = 7;      // an ordinary button

const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kBlue = RGB(0, 0, 255);
const COLORREF kGreyOfRed = RGB(85, 85, 85);   // (255 + 0 + 0) / 3

class ButtonDialog : public CDialog {
public:
    CIconButton m_icon, m_check, m_default;
    int m_clicks[8] = {};
    int m_doubleClicks = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Control(pDX, kIcon, m_icon);
        DDX_Control(pDX, kCheck, m_check);
        DDX_Control(pDX, kDefault, m_default);
    }
    void OnIconClicked() { ++m_clicks[kIcon]; }
    void OnCheckClicked() { ++m_clicks[kCheck]; }
    void OnIconDoubleClicked() { ++m_doubleClicks; }
    LRESULT OnFinish(WPARAM, LPARAM)
    {
        EndDialog(IDOK);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ButtonDialog, CDialog)
    ON_BN_CLICKED(kIcon, OnIconClicked)
    ON_BN_CLICKED(kCheck, OnCheckClicked)
    ON_BN_DOUBLECLICKED(kIcon, OnIconDoubleClicked)
    ON_MESSAGE(WM_APP + 1, OnFinish)
END_MESSAGE_MAP()

struct IconButtonTest : ::testing::Test {
    DialogTemplateBuilder m_template{ L"Buttons", 220, 60,
                                      WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE, WS_EX_TOPMOST };
    ButtonDialog m_dlg;

    IconButtonTest()
    {
        using B = DialogTemplateBuilder;
        const DWORD v = WS_VISIBLE | WS_TABSTOP;
        m_template.Add(B::kButton, kIcon, L"", BS_PUSHBUTTON | BS_FLAT | v, 8, 8, 30, 20)
            .Add(B::kButton, kPlain, L"Four", BS_PUSHBUTTON | v, 44, 8, 30, 20)
            .Add(B::kButton, kCheck, L"", BS_CHECKBOX | BS_FLAT | v, 80, 8, 30, 20)
            .Add(B::kButton, kDefault, L"", BS_DEFPUSHBUTTON | BS_FLAT | v, 116, 8, 30, 20)
            .Add(B::kButton, kLast, L"Seven", BS_PUSHBUTTON | v, 152, 8, 30, 20);
    }
    void TearDown() override { CancelScheduledActions(); }

    // Runs body inside the dialog's modal loop, then ends the dialog.
    void Run(const std::function<void()>& body)
    {
        ASSERT_TRUE(m_dlg.InitModalIndirect(m_template.Get()));
        RunSoon(10, [&] {
            PlaceInTheCorner(m_dlg.m_hWnd);
            body();
            m_dlg.EndDialog(IDOK);
        });
        EXPECT_EQ(m_dlg.DoModal(), IDOK);
    }

    // Hover depends on the window under the pointer: the dialog goes to the bottom right corner of the
    // screen, away from the dialogs of other test programs sharing the display, and above them.
    static void PlaceInTheCorner(HWND dlg)
    {
        RECT r;
        ::GetWindowRect(dlg, &r);
        const int x = ::GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left) - 16;
        const int y = ::GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top) - 16;
        ::SetWindowPos(dlg, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    }

    HWND Item(int id) const { return ::GetDlgItem(m_dlg.m_hWnd, id); }

    // Paints button id through its dialog's WM_DRAWITEM, as the button itself would ask for it.
    void Draw(int id, UINT state, Canvas& canvas)
    {
        canvas.Fill(RGB(255, 0, 255));
        // As the button's own paint does, with its font selected.
        HGDIOBJ font = reinterpret_cast<HGDIOBJ>(::SendMessageW(Item(id), WM_GETFONT, 0, 0));
        HGDIOBJ oldFont = font ? ::SelectObject(canvas.dc(), font) : nullptr;
        DRAWITEMSTRUCT dis{ ODT_BUTTON, static_cast<UINT>(id), 0, ODA_DRAWENTIRE, state, Item(id), canvas.dc(),
                            canvas.rect(), 0 };
        ::SendMessageW(m_dlg.m_hWnd, WM_DRAWITEM, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&dis));
        if (oldFont)
            ::SelectObject(canvas.dc(), oldFont);
    }

    // Class, title, process and place of a window, for the failure messages.
    static std::string Describe(HWND window)
    {
        char cls[64] = {}, title[64] = {};
        ::GetClassNameA(window, cls, sizeof(cls));
        ::GetWindowTextA(window, title, sizeof(title));
        DWORD process = 0;
        ::GetWindowThreadProcessId(window, &process);
        RECT r{};
        ::GetWindowRect(window, &r);
        return std::string("class \"") + cls + "\" title \"" + title + "\" of " +
               (process == ::GetCurrentProcessId() ? "this process" : "process " + std::to_string(process)) + " at (" +
               std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" + std::to_string(r.right) + "," +
               std::to_string(r.bottom) + ")" + (::IsWindowVisible(window) ? " visible" : " hidden");
    }

    // The pointer over the middle of the button: put there, and the button told by a mouse move.
    static void MoveOver(HWND button, WPARAM keys = 0)
    {
        RECT r;
        ::GetWindowRect(button, &r);
        POINT p{ (r.left + r.right) / 2, (r.top + r.bottom) / 2 };
        ::SetCursorPos(p.x, p.y);
        HWND under = ::WindowFromPoint(p);
        EXPECT_EQ(under, button) << "another window covers the button: " << Describe(under);
        ::ScreenToClient(button, &p);
        ::SendMessageW(button, WM_MOUSEMOVE, keys, MAKELPARAM(p.x, p.y));
    }

    void GiveIcons()
    {
        ASSERT_EQ(m_dlg.m_icon.SetIcon(MakeSolidIcon(21, 20, kRed), MakeSolidIcon(21, 20, kBlue)), 0u);
        ASSERT_EQ(m_dlg.m_check.SetIcon(MakeSolidIcon(21, 20, kRed), MakeSolidIcon(21, 20, kBlue)), 0u);
        ASSERT_EQ(m_dlg.m_default.SetIcon(MakeSolidIcon(21, 20, kRed), nullptr), 0u);
    }
};

enum class Edge { None, Raised, Sunken };

struct LookCase {
    const char* name;
    int button;
    UINT state;             // item state of the paint
    bool hover;             // pointer over the button first
    bool checked;           // BM_SETCHECK first
    const wchar_t* caption;
    Edge edge;
    COLORREF icon;          // colour of the icon drawn
    POINT origin;           // top-left corner of the icon drawn
};

// The canvas is 40 x 30; a 21 x 20 icon counts as 20 x 20, so it goes to ((40 - 20) / 2, (30 - 20) / 2).
const LookCase kLooks[] = {
    { "idle shows the idle icon", kIcon, 0, false, false, L"", Edge::None, kBlue, { 10, 5 } },
    { "hover raises and shows the icon", kIcon, 0, true, false, L"", Edge::Raised, kRed, { 10, 5 } },
    { "pressed sinks and moves the icon", kIcon, ODS_SELECTED, false, false, L"", Edge::Sunken, kRed, { 11, 6 } },
    { "pressed goes before hovered", kIcon, ODS_SELECTED, true, false, L"", Edge::Sunken, kRed, { 11, 6 } },
    { "disabled shows the grey copy", kIcon, ODS_DISABLED, false, false, L"", Edge::None, kGreyOfRed, { 10, 5 } },
    { "focus draws no focus rectangle", kIcon, ODS_FOCUS, false, false, L"", Edge::None, kBlue, { 10, 5 } },
    { "a caption puts the icon at the margin", kIcon, 0, false, false, L"Go", Edge::None, kBlue, { 3, 5 } },
    { "without idle icon the icon shows idle", kDefault, 0, false, false, L"", Edge::None, kRed, { 10, 5 } },
    { "checked is pressed without offset", kCheck, 0, false, true, L"", Edge::Sunken, kRed, { 10, 5 } },
    { "hover in check-box mode keeps the idle icon", kCheck, 0, true, false, L"", Edge::Raised, kBlue, { 10, 5 } },
};

}

TEST_F(IconButtonTest, EachStatePaintsItsEdgeFaceAndIcon)
{
    Run([&] {
        GiveIcons();
        const COLORREF face = ::GetSysColor(COLOR_BTNFACE), light = ::GetSysColor(COLOR_BTNHIGHLIGHT),
                       dark = ::GetSysColor(COLOR_BTNSHADOW);
        ASSERT_NE(face, light);
        ASSERT_NE(face, dark);
        Canvas canvas(40, 30);
        for (const LookCase& c : kLooks) {
            SCOPED_TRACE(c.name);
            CIconButton& button = c.button == kIcon ? m_dlg.m_icon : c.button == kCheck ? m_dlg.m_check : m_dlg.m_default;
            button.SetWindowText(c.caption);
            button.SendMessage(BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED);
            if (c.hover)
                MoveOver(button.m_hWnd);
            ASSERT_EQ(button.IsHover(), c.hover);
            Draw(c.button, c.state, canvas);

            // The edge, all round; the face everywhere else (no focus rectangle 3 pixels in).
            COLORREF topLeft = c.edge == Edge::Raised ? light : c.edge == Edge::Sunken ? dark : face;
            COLORREF bottomRight = c.edge == Edge::Raised ? dark : c.edge == Edge::Sunken ? light : face;
            EXPECT_EQ(canvas.Pixel(0, 0), topLeft);
            EXPECT_EQ(canvas.Pixel(0, 15), topLeft);
            EXPECT_EQ(canvas.Pixel(20, 0), topLeft);
            EXPECT_EQ(canvas.Pixel(39, 29), bottomRight);
            EXPECT_EQ(canvas.Pixel(39, 15), bottomRight);
            EXPECT_EQ(canvas.Pixel(20, 29), bottomRight);
            EXPECT_EQ(canvas.Pixel(1, 1), face);
            EXPECT_EQ(canvas.Pixel(2, 15), face);
            EXPECT_EQ(canvas.Pixel(20, 3), face);
            EXPECT_EQ(canvas.Pixel(36, 26), face);

            // The icon at its place, drawn at its own 21 x 20 size.
            const LONG x = c.origin.x, y = c.origin.y;
            EXPECT_EQ(canvas.Pixel(x, y), c.icon);
            EXPECT_EQ(canvas.Pixel(x + 20, y + 19), c.icon);
            EXPECT_EQ(canvas.Pixel(x - 1, y + 5), face);
            EXPECT_EQ(canvas.Pixel(x + 5, y - 1), face);
            if (!*c.caption) {
                EXPECT_EQ(canvas.Pixel(x + 21, y + 5), face);
            }

            button.SendMessage(WM_MOUSELEAVE);
            button.SetWindowText(L"");
            button.SendMessage(BM_SETCHECK, BST_UNCHECKED);
        }
    });
}

TEST_F(IconButtonTest, HoverLookEndsOnEveryEndingEvent)
{
    struct Ender {
        const char* name;
        std::function<void(IconButtonTest&, HWND)> end;
    };
    const Ender enders[] = {
        { "leave notification", [](IconButtonTest&, HWND b) { ::SendMessageW(b, WM_MOUSELEAVE, 0, 0); } },
        { "focus loss", [](IconButtonTest&, HWND b) { ::SendMessageW(b, WM_KILLFOCUS, 0, 0); } },
        { "cancel mode", [](IconButtonTest&, HWND b) { ::SendMessageW(b, WM_CANCELMODE, 0, 0); } },
        { "deactivation", [](IconButtonTest&, HWND b) { ::SendMessageW(b, WM_ACTIVATE, WA_INACTIVE, 0); } },
        { "disabling", [](IconButtonTest&, HWND b) { ::EnableWindow(b, FALSE); ::EnableWindow(b, TRUE); } },
        { "a move seen over another window",
          [](IconButtonTest& t, HWND b) {
              // The button still gets the move (as while it holds the capture), but the point is over button 4.
              RECT r;
              ::GetWindowRect(t.Item(kPlain), &r);
              POINT p{ (r.left + r.right) / 2, (r.top + r.bottom) / 2 };
              ::SetCursorPos(p.x, p.y);
              ::ScreenToClient(b, &p);
              ::SendMessageW(b, WM_MOUSEMOVE, 0, MAKELPARAM(p.x, p.y));
          } },
    };
    Run([&] {
        GiveIcons();
        for (const Ender& e : enders) {
            SCOPED_TRACE(e.name);
            MoveOver(m_dlg.m_icon.m_hWnd);
            ASSERT_TRUE(m_dlg.m_icon.IsHover());
            MoveOver(m_dlg.m_icon.m_hWnd);   // a second move keeps it
            ASSERT_TRUE(m_dlg.m_icon.IsHover());
            e.end(*this, m_dlg.m_icon.m_hWnd);
            EXPECT_FALSE(m_dlg.m_icon.IsHover());
        }
    });
}

TEST_F(IconButtonTest, DraggingOntoTheButtonStartsNoHoverAndTheRealPointerLeavingEndsIt)
{
    Run([&] {
        GiveIcons();
        MoveOver(m_dlg.m_icon.m_hWnd, MK_LBUTTON);
        EXPECT_FALSE(m_dlg.m_icon.IsHover());
        MoveOver(m_dlg.m_icon.m_hWnd);
        EXPECT_TRUE(m_dlg.m_icon.IsHover());
        // The button asked for a leave notification; the pointer really leaving brings it.
        RECT r;
        ::GetWindowRect(m_dlg.m_hWnd, &r);
        ::SetCursorPos(r.right + 40, r.bottom + 40);
        EXPECT_TRUE(PumpUntil([&] { return !m_dlg.m_icon.IsHover(); }, 5000));
    });
}

TEST_F(IconButtonTest, StyleAndDialogCodeFollowTheDefaultFlagAndTheButtonStaysOwnerDrawn)
{
    struct Step {
        UINT style;
        bool isDefault;
    };
    const Step steps[] = {
        { BS_DEFPUSHBUTTON, true }, { BS_CHECKBOX, true },  { BS_PUSHBUTTON, false },
        { BS_RADIOBUTTON, false },  { BS_DEFPUSHBUTTON | BS_FLAT, true }, { BS_PUSHBUTTON | BS_FLAT, false },
    };
    auto code = [](HWND b) { return static_cast<UINT>(::SendMessageW(b, WM_GETDLGCODE, 0, 0)); };
    auto expectDefault = [&](HWND b, bool isDefault) {
        UINT c = code(b);
        EXPECT_EQ((c & DLGC_DEFPUSHBUTTON) != 0, isDefault) << std::hex << c;
        EXPECT_EQ((c & DLGC_UNDEFPUSHBUTTON) != 0, !isDefault) << std::hex << c;
        EXPECT_TRUE(c & DLGC_BUTTON) << "the button's own code is kept: " << std::hex << c;
        EXPECT_EQ(::GetWindowLongW(b, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
        EXPECT_TRUE(::GetWindowLongW(b, GWL_STYLE) & WS_TABSTOP);
    };
    Run([&] {
        // From the template: push button, default push button, check box.
        expectDefault(Item(kIcon), false);
        expectDefault(Item(kDefault), true);
        expectDefault(Item(kCheck), false);
        EXPECT_TRUE(m_dlg.m_check.IsCheckBoxMode());
        EXPECT_FALSE(m_dlg.m_icon.IsCheckBoxMode());
        for (const Step& s : steps) {
            SCOPED_TRACE(s.style);
            ::SendMessageW(Item(kIcon), BM_SETSTYLE, s.style, TRUE);
            expectDefault(Item(kIcon), s.isDefault);
        }

        // Its parent's ctl-colour message answers with the hollow brush.
        HDC dc = ::GetDC(Item(kIcon));
        EXPECT_EQ(::SendMessageW(m_dlg.m_hWnd, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(Item(kIcon))),
                  reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)));
        ::ReleaseDC(Item(kIcon), dc);

        // The check state: only in check-box mode.
        ::SendMessageW(Item(kIcon), BM_SETCHECK, BST_CHECKED, 0);
        EXPECT_EQ(::SendMessageW(Item(kIcon), BM_GETCHECK, 0, 0), 0);
        for (auto [set, got] : { std::pair{ BST_CHECKED, 1 }, { BST_UNCHECKED, 0 }, { BST_INDETERMINATE, 1 }, { 7, 0 } }) {
            ::SendMessageW(Item(kCheck), BM_SETCHECK, static_cast<WPARAM>(set), 0);
            EXPECT_EQ(::SendMessageW(Item(kCheck), BM_GETCHECK, 0, 0), got) << set;
        }
    });
}

TEST_F(IconButtonTest, ClickTakesTheFocusTogglesACheckBoxAndReachesTheParent)
{
    Run([&] {
        auto click = [&](int id) {
            ::SendMessageW(m_dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
        };
        ::SetFocus(Item(kLast));
        click(kIcon);
        EXPECT_EQ(::GetFocus(), Item(kIcon));
        EXPECT_EQ(m_dlg.m_clicks[kIcon], 1);
        EXPECT_FALSE(m_dlg.m_icon.IsChecked());

        click(kCheck);
        EXPECT_EQ(::GetFocus(), Item(kCheck));
        EXPECT_EQ(m_dlg.m_clicks[kCheck], 1);
        EXPECT_EQ(::SendMessageW(Item(kCheck), BM_GETCHECK, 0, 0), 1);
        click(kCheck);
        EXPECT_EQ(::SendMessageW(Item(kCheck), BM_GETCHECK, 0, 0), 0);
        EXPECT_EQ(m_dlg.m_clicks[kCheck], 2);
    });
}

TEST_F(IconButtonTest, DoubleClickGivesTheParentTwoClicks)
{
    // Through the dialog's own modal loop: press, release, double click, release.
    ASSERT_TRUE(m_dlg.InitModalIndirect(m_template.Get()));
    RunSoon(10, [&] {
        HWND b = Item(kIcon);
        const LPARAM at = MAKELPARAM(5, 5);
        ::PostMessageW(b, WM_LBUTTONDOWN, MK_LBUTTON, at);
        ::PostMessageW(b, WM_LBUTTONUP, 0, at);
        ::PostMessageW(b, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        ::PostMessageW(b, WM_LBUTTONUP, 0, at);
        ::PostMessageW(m_dlg.m_hWnd, WM_APP + 1, 0, 0);
    });
    EXPECT_EQ(m_dlg.DoModal(), IDOK);
    EXPECT_EQ(m_dlg.m_clicks[kIcon], 2);
    EXPECT_EQ(m_dlg.m_doubleClicks, 0);
}

TEST_F(IconButtonTest, DisablingMovesTheFocusToTheNextTabStopOrTheDialog)
{
    Run([&] {
        GiveIcons();
        // The button does not have the focus, and the focus moves all the same.
        ::SetFocus(Item(kLast));
        m_dlg.m_icon.EnableWindow(FALSE);
        EXPECT_EQ(::GetFocus(), Item(kPlain));
        Canvas canvas(40, 30);
        Draw(kIcon, ODS_DISABLED, canvas);
        EXPECT_EQ(canvas.Pixel(15, 10), kGreyOfRed);
        m_dlg.m_icon.EnableWindow(TRUE);

        // No other tab stop left: the dialog itself gets it.
        for (int id : { kLast, kDefault, kCheck, kPlain })
            ::EnableWindow(Item(id), FALSE);
        ::SetFocus(Item(kIcon));
        m_dlg.m_icon.EnableWindow(FALSE);
        EXPECT_EQ(::GetFocus(), m_dlg.m_hWnd);
    });
}

TEST_F(IconButtonTest, SetIconRecordsHalfSizesOwnsItsHandlesAndFailsCleanly)
{
    Run([&] {
        CIconButton& b = m_dlg.m_icon;
        HICON icon = MakeSolidIcon(21, 20, kRed), idle = MakeSolidIcon(21, 20, kBlue);
        ASSERT_EQ(b.SetIcon(icon, idle), 0u);
        EXPECT_EQ(b.GetIconEntry(0), icon);
        EXPECT_EQ(b.GetIconEntry(1), idle);
        ASSERT_NE(b.GetIconEntry(2), nullptr);
        HICON grey = b.GetIconEntry(2);
        for (int e = 0; e < 3; ++e)
            EXPECT_EQ(b.GetIconEntrySize(e), CSize(20, 20)) << e;

        // A new icon replaces the whole table and destroys what it held.
        HICON next = MakeSolidIcon(16, 16, kRed);
        ASSERT_EQ(b.SetIcon(next, nullptr), 0u);
        EXPECT_FALSE(IsLiveIcon(icon));
        EXPECT_FALSE(IsLiveIcon(idle));
        EXPECT_FALSE(IsLiveIcon(grey));
        EXPECT_EQ(b.GetIconEntry(1), nullptr);
        EXPECT_EQ(b.GetIconEntrySize(0), CSize(16, 16));

        // No icon: everything released, success; an idle icon handed over with no icon is released too.
        HICON idleAlone = MakeSolidIcon(8, 8, kBlue);
        EXPECT_EQ(b.SetIcon(nullptr, idleAlone), 0u);
        EXPECT_FALSE(IsLiveIcon(next));
        EXPECT_FALSE(IsLiveIcon(idleAlone));
        for (int e = 0; e < 3; ++e)
            EXPECT_EQ(b.GetIconEntry(e), nullptr) << e;

        // An icon that cannot be read: status 1, and the idle icon handed over is released as well.
        HICON dead = MakeSolidIcon(8, 8, kRed);
        ::DestroyIcon(dead);
        HICON idle2 = MakeSolidIcon(8, 8, kBlue);
        EXPECT_EQ(b.SetIcon(dead, idle2), 1u);
        for (int e = 0; e < 3; ++e)
            EXPECT_EQ(b.GetIconEntry(e), nullptr) << e;
        // An idle icon that cannot be read: status 1, the good icon released with it.
        HICON good = MakeSolidIcon(8, 8, kRed), deadIdle = MakeSolidIcon(8, 8, kBlue);
        ::DestroyIcon(deadIdle);
        EXPECT_EQ(b.SetIcon(good, deadIdle), 1u);
        EXPECT_FALSE(IsLiveIcon(good));
        EXPECT_EQ(b.GetIconEntry(0), nullptr);
    });

    // The button's destruction destroys its icons.
    HICON icon = MakeSolidIcon(8, 8, kRed), idle = MakeSolidIcon(8, 8, kBlue);
    HICON grey = nullptr;
    {
        CIconButton loose;
        ASSERT_EQ(loose.SetIcon(icon, idle), 0u);
        grey = loose.GetIconEntry(2);
        ASSERT_TRUE(IsLiveIcon(grey));
    }
    EXPECT_FALSE(IsLiveIcon(icon));
    EXPECT_FALSE(IsLiveIcon(idle));
    EXPECT_FALSE(IsLiveIcon(grey));
}

namespace {
struct GreyCase {
    uint32_t in, out;
};
// The mean of the three channels with the alpha kept; pure white becomes 254; clear black stays.
const GreyCase kGrey[] = {
    { Argb(255, 255, 255, 255), Argb(255, 254, 254, 254) },
    { Argb(0, 0, 0, 0), Argb(0, 0, 0, 0) },
    { Argb(0, 255, 0, 0), Argb(0, 85, 85, 85) },
    { Argb(128, 0x30, 0x20, 0x10), Argb(128, 0x20, 0x20, 0x20) },
    { Argb(255, 0, 0, 0), Argb(255, 0, 0, 0) },
    { Argb(255, 200, 100, 50), Argb(255, 116, 116, 116) },
    { Argb(0, 255, 255, 255), Argb(0, 254, 254, 254) },
    { Argb(64, 3, 2, 1), Argb(64, 2, 2, 2) },
};
}

TEST(IconCopies, GreyCopyIsTheChannelMeanWithAlphaKept)
{
    const int w = 4, h = 2;
    HICON icon = MakeIcon(w, h, [](int x, int y) { return kGrey[y * 4 + x].in; });
    ASSERT_NE(icon, nullptr);
    IconPixels source = ReadIcon(icon);
    ASSERT_EQ(source.width, w);
    for (int i = 0; i < w * h; ++i)
        ASSERT_EQ(source.pixels[static_cast<size_t>(i)], kGrey[i].in) << "icon made as asked, pixel " << i;

    HICON grey = CIconButton::MakeGreyIcon(icon);
    ASSERT_NE(grey, nullptr);
    IconPixels out = ReadIcon(grey);
    ASSERT_EQ(out.width, w);
    ASSERT_EQ(out.height, h);
    for (int i = 0; i < w * h; ++i)
        EXPECT_EQ(out.pixels[static_cast<size_t>(i)], kGrey[i].out) << std::hex << "pixel " << i << " from " << kGrey[i].in;
    EXPECT_EQ(CIconButton::MakeGreyIcon(nullptr), nullptr);
    ::DestroyIcon(grey);
    ::DestroyIcon(icon);
}

TEST(IconCopies, DarkerCopyTakesAQuarterOffEveryChannelAndKeepsBlack)
{
    const COLORREF in[] = { RGB(255, 100, 0), RGB(0, 0, 0), RGB(4, 8, 12), RGB(255, 255, 255),
                            RGB(1, 1, 1), RGB(200, 3, 77), RGB(0, 0, 1), RGB(128, 64, 32) };
    const COLORREF out[] = { RGB(191, 75, 0), RGB(0, 0, 0), RGB(3, 6, 9), RGB(191, 191, 191),
                             RGB(0, 0, 0), RGB(150, 2, 57), RGB(0, 0, 0), RGB(96, 48, 24) };
    HICON icon = MakeIcon(4, 2, [&](int x, int y) {
        COLORREF c = in[y * 4 + x];
        return Argb(255, GetRValue(c), GetGValue(c), GetBValue(c));
    });
    HICON darker = CIconButton::MakeDarkerIcon(icon);
    ASSERT_NE(darker, nullptr);
    IconPixels pixels = ReadIcon(darker);
    ASSERT_EQ(pixels.width, 4);
    ASSERT_EQ(pixels.height, 2);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ToColorRef(pixels.pixels[static_cast<size_t>(i)]), out[i]) << "pixel " << i;
    EXPECT_EQ(CIconButton::MakeDarkerIcon(nullptr), nullptr);
    ::DestroyIcon(darker);
    ::DestroyIcon(icon);

    struct Dim {
        COLORREF in;
        double factor;
        COLORREF out;
    };
    for (const Dim& d : { Dim{ RGB(255, 100, 4), 0.25, RGB(191, 75, 3) }, Dim{ RGB(255, 100, 4), 1.0, RGB(0, 0, 0) },
                          Dim{ RGB(10, 20, 30), 0.5, RGB(5, 10, 15) }, Dim{ 0x01FFFFFF, 0.25, RGB(191, 191, 191) },
                          Dim{ RGB(255, 100, 4), 0.0, RGB(255, 100, 4) }, Dim{ RGB(255, 100, 4), 1.5, RGB(255, 100, 4) },
                          Dim{ RGB(255, 100, 4), -0.25, RGB(255, 100, 4) } })
        EXPECT_EQ(CIconButton::DimColor(d.in, d.factor), d.out) << std::hex << d.in << " by " << d.factor;
}

TEST_F(IconButtonTest, SpecialIdleIconsAreTheGreyOrDarkerCopy)
{
    Run([&] {
        struct Case {
            HICON special;
            COLORREF idle;
        };
        for (const Case& c : { Case{ CIconButton::GreyIdleIcon(), kGreyOfRed }, Case{ CIconButton::DarkerIdleIcon(), RGB(191, 0, 0) } }) {
            SCOPED_TRACE(c.idle);
            ASSERT_EQ(m_dlg.m_icon.SetIcon(MakeSolidIcon(20, 20, kRed), c.special), 0u);
            ASSERT_NE(m_dlg.m_icon.GetIconEntry(1), nullptr);
            EXPECT_EQ(m_dlg.m_icon.GetIconEntrySize(1), CSize(20, 20));
            Canvas canvas(40, 30);
            Draw(kIcon, 0, canvas);
            EXPECT_EQ(canvas.Pixel(15, 10), c.idle);
            MoveOver(m_dlg.m_icon.m_hWnd);
            Draw(kIcon, 0, canvas);
            EXPECT_EQ(canvas.Pixel(15, 10), kRed);
            m_dlg.m_icon.SendMessage(WM_MOUSELEAVE);
        }
    });
}

namespace {
ImportPatch<decltype(::GetDIBits)>* g_getDIBits = nullptr;
// GDI as on a 16-bit display: the colour bitmap of an icon describes itself as 16 bits a pixel.
int WINAPI SixteenBitGetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info, UINT usage)
{
    int result = g_getDIBits->Original()(dc, bitmap, start, lines, bits, info, usage);
    if (result && !bits && info->bmiHeader.biBitCount == 32) {
        const LONG h = info->bmiHeader.biHeight < 0 ? -info->bmiHeader.biHeight : info->bmiHeader.biHeight;
        info->bmiHeader.biBitCount = 16;
        info->bmiHeader.biSizeImage = static_cast<DWORD>(((info->bmiHeader.biWidth * 2 + 3) & ~3) * h);
    }
    return result;
}
}

TEST(IconCopies, GreyCopyAsksForThirtyTwoBitPixelsWhateverTheBitmapHolds)
{
    // An icon without alpha, from a 24-bit bitmap; GDI describing it with fewer than 32 bits a pixel is
    // faked: under Wine on the test display every icon's colour bitmap reads back as 32-bit, whatever it
    // was made from, so a smaller format never shows here.
    const int w = 6, h = 3;
    const COLORREF colours[] = { RGB(200, 100, 50), RGB(255, 255, 255), RGB(0, 0, 0) };
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP colour = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const int stride = (w * 3 + 3) & ~3;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            BYTE* p = static_cast<BYTE*>(bits) + y * stride + x * 3;
            p[0] = GetBValue(colours[y]);
            p[1] = GetGValue(colours[y]);
            p[2] = GetRValue(colours[y]);
        }
    std::vector<BYTE> zeros(64, 0);
    HBITMAP mask = ::CreateBitmap(w, h, 1, 1, zeros.data());
    ICONINFO ii{ TRUE, 0, 0, mask, colour };
    HICON icon = ::CreateIconIndirect(&ii);
    ::DeleteObject(mask);
    ::DeleteObject(colour);
    ASSERT_NE(icon, nullptr);

    HICON grey = nullptr;
    {
        ImportPatch<decltype(::GetDIBits)> patch("GetDIBits", &SixteenBitGetDIBits);
        g_getDIBits = &patch;
        ASSERT_TRUE(patch.IsActive());
        grey = CIconButton::MakeGreyIcon(icon);
    }
    ASSERT_NE(grey, nullptr);
    IconPixels out = ReadIcon(grey);
    ASSERT_EQ(out.width, w);
    ASSERT_EQ(out.height, h);
    const COLORREF expected[] = { RGB(116, 116, 116), RGB(254, 254, 254), RGB(0, 0, 0) };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            EXPECT_EQ(ToColorRef(out.at(x, y)), expected[y]) << x << "," << y;
    ::DestroyIcon(grey);
    ::DestroyIcon(icon);
}
