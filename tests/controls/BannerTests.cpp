// The clickable banner in a real dialog: its pixels with a bitmap smaller or larger than the control and
// without one, the hand over all of it, clicks opening the address (ShellExecuteW faked: Wine would start
// the host's browser), and the bitmap it owns.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "ImportPatch.h"
#include "controls/Banner.h"
#include "libcommon/ProductNames.h"

namespace {

std::vector<std::wstring> g_opened;
HINSTANCE WINAPI FakeShellExecute(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR params, LPCWSTR dir, INT show)
{
    EXPECT_EQ(owner, nullptr);
    EXPECT_STREQ(verb, L"open");
    EXPECT_EQ(params, nullptr);
    EXPECT_EQ(dir, nullptr);
    EXPECT_EQ(show, SW_SHOWMAXIMIZED);
    g_opened.push_back(file ? file : L"");
    return reinterpret_cast<HINSTANCE>(42);
}

HBITMAP SolidBitmap(int width, int height, COLORREF color)
{
    HDC screen = ::GetDC(nullptr);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
    HDC dc = ::CreateCompatibleDC(screen);
    HGDIOBJ old = ::SelectObject(dc, bitmap);
    HBRUSH brush = ::CreateSolidBrush(color);
    RECT r{ 0, 0, width, height };
    ::FillRect(dc, &r, brush);
    ::DeleteObject(brush);
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    ::ReleaseDC(nullptr, screen);
    return bitmap;
}

bool IsBitmap(HBITMAP bitmap)
{
    BITMAP info;
    return ::GetObjectW(bitmap, sizeof(info), &info) != 0;
}

// A visible dialog with the banner's SS_NOTIFY static, 60 x 40 pixels.
struct BannerHost {
    DialogTemplateBuilder templ{ L"Banner", 120, 80, WS_POPUP | WS_CAPTION | WS_VISIBLE, WS_EX_TOPMOST };
    HWND dlg = nullptr;
    CBanner banner;
    BannerHost()
    {
        templ.Add(DialogTemplateBuilder::kStatic, 1023, L"", SS_NOTIFY | WS_VISIBLE, 4, 4, 60, 40);
        dlg = CreatePlainDialog(templ.Get());
        banner.SubclassDlgItem(1023, CWnd::FromHandle(dlg));
        ::SetWindowPos(banner.m_hWnd, nullptr, 5, 5, 60, 40, SWP_NOZORDER);
    }
    ~BannerHost()
    {
        banner.UnsubclassWindow();
        if (::IsWindow(dlg))
            ::DestroyWindow(dlg);
    }
    COLORREF Pixel(int x, int y)
    {
        ::InvalidateRect(banner.m_hWnd, nullptr, TRUE);
        ::UpdateWindow(banner.m_hWnd);
        HDC dc = ::GetDC(banner.m_hWnd);
        COLORREF c = ::GetPixel(dc, x, y);
        ::ReleaseDC(banner.m_hWnd, dc);
        return c;
    }
};

const COLORREF kRed = RGB(255, 0, 0), kBlue = RGB(0, 0, 255);

}

TEST(Banner, PaintsTheBitmapsTopLeftPartAndTheBackgroundElsewhere)
{
    BannerHost host;
    const COLORREF face = host.banner.GetBackgroundColor();
    EXPECT_EQ(face, ::GetSysColor(COLOR_BTNFACE));
    struct Probe {
        int x, y;
        COLORREF color;
    };
    struct Case {
        const char* name;
        int width, height;   // 0: no bitmap
        COLORREF color;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        { "smaller bitmap", 30, 20, kRed, { { 0, 0, kRed }, { 29, 19, kRed }, { 30, 5, face }, { 5, 20, face }, { 59, 39, face } } },
        { "larger bitmap", 200, 100, kBlue, { { 0, 0, kBlue }, { 59, 39, kBlue } } },
        { "no bitmap", 0, 0, 0, { { 0, 0, face }, { 30, 20, face }, { 59, 39, face } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.banner.SetBannerBitmap(c.width ? SolidBitmap(c.width, c.height, c.color) : nullptr);
        for (const Probe& p : c.probes)
            EXPECT_EQ(host.Pixel(p.x, p.y), p.color) << p.x << "," << p.y;
    }
}

TEST(Banner, TheWholeControlShowsTheHandAndOpensTheAddressOnEachPressAndDoubleClick)
{
    ImportPatch<decltype(::ShellExecuteW)> shell("ShellExecuteW", &FakeShellExecute);
    ASSERT_TRUE(shell.IsActive());
    g_opened.clear();
    BannerHost host;
    host.banner.SetBannerBitmap(SolidBitmap(30, 20, kRed));
    EXPECT_EQ(host.banner.GetAddress(), CString(L"http://") + kMakersHost);

    // Inside the bitmap and on the uncovered part alike.
    for (POINT p : { POINT{ 5, 5 }, POINT{ 50, 35 } }) {
        POINT screen = p;
        ::ClientToScreen(host.banner.m_hWnd, &screen);
        EXPECT_EQ(::SendMessageW(host.banner.m_hWnd, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y)), HTCLIENT);
        ::SetCursor(nullptr);
        EXPECT_EQ(::SendMessageW(host.banner.m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(host.banner.m_hWnd),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);
        EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_HAND));
        ::SendMessageW(host.banner.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(p.x, p.y));
        ::SendMessageW(host.banner.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(p.x, p.y));
    }
    EXPECT_EQ(g_opened.size(), 2u);
    // A double click is a press and a double-click message: the page opens twice.
    host.banner.SetAddress(L"http://www.corvane.example/other");
    ::SendMessageW(host.banner.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    ::SendMessageW(host.banner.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    ::SendMessageW(host.banner.m_hWnd, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(3, 3));
    ASSERT_EQ(g_opened.size(), 4u);
    EXPECT_EQ(g_opened[0], (CString(L"http://") + kMakersHost).Str());
    EXPECT_EQ(g_opened[2], L"http://www.corvane.example/other");
    EXPECT_EQ(g_opened[3], L"http://www.corvane.example/other");
}

TEST(Banner, OwnsItsBitmapAndLeavesTheStaticsOwnImageAlone)
{
    HBITMAP first = SolidBitmap(4, 4, kRed);
    HBITMAP second = SolidBitmap(4, 4, kBlue);
    {
        BannerHost host;
        host.banner.SetBannerBitmap(first);
        host.banner.SetBannerBitmap(second);
        EXPECT_FALSE(IsBitmap(first)) << "the replaced bitmap is deleted";
        EXPECT_EQ(host.banner.GetBannerBitmap(), second);
        // The banner paints its bitmap itself; the static control's own image (CStatic::SetBitmap,
        // STM_SETIMAGE) is a different thing and stays unset.
        EXPECT_EQ(host.banner.GetBitmap(), nullptr);
    }
    EXPECT_FALSE(IsBitmap(second)) << "deleted with the banner";
}
