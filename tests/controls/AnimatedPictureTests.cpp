// The animated picture on a real static control: GIFs decoded by the system's picture loader into frames,
// still pictures, failures, the animation thread (order, Stop, and everything that stops it) and the
// frame steps (disposal, restore, the fill at the end of the loop) run one by one.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "DialogTestUtil.h"
#include "GifBuilder.h"
#include "controls/AnimatedPicture.h"

namespace {

const COLORREF kRed = RGB(255, 0, 0), kGreen = RGB(0, 255, 0), kBlue = RGB(0, 0, 255), kWhite = RGB(255, 255, 255);
const std::vector<COLORREF> kFour = { kRed, kGreen, kBlue, kWhite };

// The picture with its animation steps callable one by one.
class SteppedPicture : public CAnimatedPicture {
public:
    using CAnimatedPicture::AdvanceFrame;
    using CAnimatedPicture::DisposeFrame;
    using CAnimatedPicture::ShowFrame;
};

// A visible dialog holding the picture's static control.
struct PictureHost {
    DialogTemplateBuilder templ{ L"Picture", 120, 80, WS_POPUP | WS_CAPTION | WS_VISIBLE, WS_EX_TOPMOST };
    HWND dlg = nullptr;
    SteppedPicture picture;

    PictureHost()
    {
        templ.Add(DialogTemplateBuilder::kStatic, 1017, L"", SS_ICON | SS_REALSIZEIMAGE | WS_VISIBLE, 8, 8, 21, 20);
        dlg = CreatePlainDialog(templ.Get());
        picture.SubclassDlgItem(1017, CWnd::FromHandle(dlg));
    }
    ~PictureHost()
    {
        if (::IsWindow(dlg))
            ::DestroyWindow(dlg);
    }
    bool Load(const std::vector<BYTE>& bytes)
    {
        HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes.empty() ? 1 : bytes.size());
        if (!bytes.empty()) {
            std::memcpy(::GlobalLock(block), bytes.data(), bytes.size());
            ::GlobalUnlock(block);
        }
        bool loaded = picture.Load(block, static_cast<DWORD>(bytes.size()));
        ::GlobalFree(block);
        return loaded;
    }
    bool ShowsSoon(COLORREF color, int x = 0, int y = 0)
    {
        return PumpUntil([&] { return picture.GetBackBufferPixel(x, y) == color; }, 5000);
    }
};

// Three frames covering a 4 x 4 picture, red, green and blue, with these delays.
std::vector<BYTE> ThreeColours(unsigned d0, unsigned d1, unsigned d2)
{
    GifBuilder g(4, 4, kFour);
    g.Looping()
        .GraphicControl(d0, 1).Image(0, 0, 4, 4, 0)
        .GraphicControl(d1, 1).Image(0, 0, 4, 4, 1)
        .GraphicControl(d2, 1).Image(0, 0, 4, 4, 2)
        .Trailer();
    return g.Bytes();
}

// A 24-bit bottom-up BMP file of one colour.
std::vector<BYTE> SolidBmp(int width, int height, COLORREF color)
{
    const int stride = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(stride * height);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + info.biSizeImage;
    std::vector<BYTE> bytes(file.bfSize, 0);
    std::memcpy(bytes.data(), &file, sizeof(file));
    std::memcpy(bytes.data() + sizeof(file), &info, sizeof(info));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            BYTE* p = bytes.data() + file.bfOffBits + y * stride + x * 3;
            p[0] = GetBValue(color);
            p[1] = GetGValue(color);
            p[2] = GetRValue(color);
        }
    return bytes;
}

CSize ClientSize(HWND wnd)
{
    RECT r;
    ::GetClientRect(wnd, &r);
    return CSize(r.right - r.left, r.bottom - r.top);
}

}

TEST(AnimatedPicture, AnimatedGifIsCutIntoDecodedFramesWithTheirRecords)
{
    PictureHost host;
    GifBuilder g(6, 4, kFour);
    g.Looping()
        .GraphicControl(10, 1).Image(0, 0, 6, 4, 0)
        .Comment("between frames")
        .GraphicControl(20, 2).Image(1, 1, 2, 2, 1)
        .GraphicControl(4, 3).Image(3, 0, 3, 4, 2)
        .Trailer();
    ASSERT_TRUE(host.Load(g.Bytes()));
    SteppedPicture& p = host.picture;
    EXPECT_TRUE(p.IsGif());
    EXPECT_TRUE(p.IsPrepared());
    EXPECT_FALSE(p.HasStill());
    EXPECT_FALSE(p.IsPlaying());
    EXPECT_EQ(p.GetPictureSize(), CSize(6, 4));
    EXPECT_EQ(ClientSize(p.m_hWnd), CSize(6, 4)) << "the control takes the picture's size";
    EXPECT_EQ(p.GetBackBufferPixel(5, 3), ::GetSysColor(COLOR_MENU)) << "the back buffer starts filled";

    struct Expected {
        uint32_t delay;
        int disposal, left, top, width, height;
    };
    const Expected expected[] = { { 10, 1, 0, 0, 6, 4 }, { 20, 2, 1, 1, 2, 2 }, { 4, 3, 3, 0, 3, 4 } };
    ASSERT_EQ(p.GetFrameCount(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto& f = p.GetFrame(i);
        EXPECT_NE(f.picture, nullptr);
        EXPECT_EQ(f.delay, expected[i].delay);
        EXPECT_EQ(f.disposal, expected[i].disposal);
        EXPECT_EQ(f.left, expected[i].left);
        EXPECT_EQ(f.top, expected[i].top);
        EXPECT_EQ(f.width, expected[i].width);
        EXPECT_EQ(f.height, expected[i].height);
    }
}

TEST(AnimatedPicture, OneFrameGifsAndOtherPicturesAreShownStill)
{
    struct Case {
        const char* name;
        std::vector<BYTE> bytes;
        bool gif;
        CSize size;
        COLORREF color;
    };
    GifBuilder one(8, 6, kFour);
    one.GraphicControl(50, 0).Image(0, 0, 8, 6, 1).Trailer();
    std::vector<BYTE> otherVersion = one.Bytes();
    otherVersion.at(4) = '8';   // "GIF88a"
    const Case cases[] = {
        { "one-frame GIF at its logical screen size", one.Bytes(), true, CSize(8, 6), kGreen },
        { "a bitmap at its size from HIMETRIC", SolidBmp(7, 5, kBlue), false, CSize(7, 5), kBlue },
        { "GIF data of another version goes to the picture loader whole", otherVersion, false, CSize(8, 6), kGreen },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PictureHost host;
        SteppedPicture& p = host.picture;
        ASSERT_TRUE(host.Load(c.bytes));
        EXPECT_TRUE(p.HasStill());
        EXPECT_EQ(p.IsGif(), c.gif);
        EXPECT_EQ(p.GetFrameCount(), 0u);
        EXPECT_EQ(p.GetPictureSize(), c.size);
        EXPECT_EQ(ClientSize(p.m_hWnd), c.size);
        EXPECT_EQ(p.Draw(), 1);
        EXPECT_FALSE(p.IsPlaying()) << "a still picture starts no thread";
        EXPECT_EQ(p.GetBackBufferPixel(0, 0), c.color);
        EXPECT_EQ(p.GetBackBufferPixel(c.size.cx - 1, c.size.cy - 1), c.color);

        // Painting copies the back buffer to the window.
        ::InvalidateRect(p.m_hWnd, nullptr, FALSE);
        ::UpdateWindow(p.m_hWnd);
        HDC dc = ::GetDC(p.m_hWnd);
        EXPECT_EQ(::GetPixel(dc, 1, 1), c.color);
        ::ReleaseDC(p.m_hWnd, dc);
    }
}

TEST(AnimatedPicture, FailedLoadsLeaveTheControlEmpty)
{
    GifBuilder headerOnly(4, 4, kFour);
    headerOnly.Trailer();
    GifBuilder undecodable(4, 4, kFour);
    undecodable.GraphicControl(10, 0).RawImage(0, 0, 4, 4, 2, { 0xFF, 0xFF, 0xFF, 0xFF })
        .GraphicControl(10, 0).RawImage(0, 0, 4, 4, 2, { 0xFF, 0xFF, 0xFF, 0xFF })
        .Trailer();
    std::vector<BYTE> shortHeader(headerOnly.Bytes().begin(), headerOnly.Bytes().begin() + 10);
    struct Case {
        const char* name;
        std::vector<BYTE> bytes;
    };
    const Case cases[] = {
        { "nothing", {} },
        { "not a picture", { 'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd' } },
        { "a GIF header cut short", shortHeader },
        { "a GIF without frames", headerOnly.Bytes() },
        { "a GIF whose frames cannot be decoded", undecodable.Bytes() },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PictureHost host;
        SteppedPicture& p = host.picture;
        // A good picture first: a failed load must not leave it behind.
        ASSERT_TRUE(host.Load(ThreeColours(10, 10, 10)));
        EXPECT_FALSE(host.Load(c.bytes));
        EXPECT_FALSE(p.IsPrepared());
        EXPECT_FALSE(p.HasStill());
        EXPECT_FALSE(p.IsGif());
        EXPECT_EQ(p.GetFrameCount(), 0u);
        EXPECT_EQ(p.Draw(), 0);
        EXPECT_FALSE(p.IsPlaying());
        EXPECT_EQ(p.GetBackBufferPixel(0, 0), CLR_INVALID);
    }
    PictureHost host;
    EXPECT_FALSE(host.picture.Load(nullptr, 10));
    EXPECT_EQ(host.picture.Draw(), 0) << "Draw before any load";
    host.picture.Stop();   // no thread: only the flag and the event
    EXPECT_FALSE(host.picture.IsPlaying());
}

TEST(AnimatedPicture, AFrameTheLoaderRefusesIsLeftOut)
{
    PictureHost host;
    GifBuilder g(4, 4, kFour);
    g.GraphicControl(11, 0).Image(0, 0, 4, 4, 0)
        .GraphicControl(22, 0).RawImage(0, 0, 4, 4, 2, { 0xFF, 0xFF, 0xFF, 0xFF })
        .GraphicControl(33, 0).Image(0, 0, 4, 4, 2)
        .Trailer();
    ASSERT_TRUE(host.Load(g.Bytes()));
    ASSERT_EQ(host.picture.GetFrameCount(), 2u);
    EXPECT_EQ(host.picture.GetFrame(0).delay, 11u);
    EXPECT_EQ(host.picture.GetFrame(1).delay, 33u);
}

TEST(AnimatedPicture, FrameWaitsFollowTheirDelays)
{
    struct Case {
        uint32_t delay;
        DWORD ms;
    };
    for (const Case& c : { Case{ 0, 100 }, Case{ 4, 100 }, Case{ 5, 50 }, Case{ 100, 1000 }, Case{ 0xFFFF, 655350 },
                           Case{ 0xFFFFFFFFu, 4294967286u } })
        EXPECT_EQ(CAnimatedPicture::FrameWaitMilliseconds(c.delay), c.ms) << c.delay;
}

TEST(AnimatedPicture, PlaysTheFramesInOrderAndLoops)
{
    PictureHost host;
    ASSERT_TRUE(host.Load(ThreeColours(10, 10, 10)));
    EXPECT_EQ(host.picture.Draw(), 0) << "starting the animation renders nothing itself";
    EXPECT_TRUE(host.picture.IsPlaying());
    for (COLORREF c : { kRed, kGreen, kBlue, kRed, kGreen })
        EXPECT_TRUE(host.ShowsSoon(c)) << std::hex << c;
    host.picture.Stop();
    EXPECT_FALSE(host.picture.IsPlaying());
}

TEST(AnimatedPicture, StopEndsTheThreadAtOnceAndKeepsTheFrameShowing)
{
    PictureHost host;
    SteppedPicture& p = host.picture;
    // The second frame waits ten minutes unless stopped.
    ASSERT_TRUE(host.Load(ThreeColours(10, 60000, 10)));
    p.Draw();
    ASSERT_TRUE(host.ShowsSoon(kGreen));
    p.Stop();
    EXPECT_FALSE(p.IsPlaying());
    EXPECT_EQ(p.GetFrameIndex(), 1u);
    PumpMessagesFor(300);
    EXPECT_EQ(p.GetBackBufferPixel(2, 2), kGreen) << "nothing draws after Stop";

    // Painting goes on working after Stop.
    ::InvalidateRect(p.m_hWnd, nullptr, FALSE);
    ::UpdateWindow(p.m_hWnd);
    HDC dc = ::GetDC(p.m_hWnd);
    EXPECT_EQ(::GetPixel(dc, 2, 2), kGreen);
    ::ReleaseDC(p.m_hWnd, dc);

    // Draw goes on from the frame that was showing.
    p.Draw();
    EXPECT_TRUE(p.IsPlaying());
    EXPECT_EQ(p.Draw(), 0) << "a second Draw while playing starts no second thread";
    PumpMessagesFor(300);
    EXPECT_EQ(p.GetFrameIndex(), 1u);
    EXPECT_EQ(p.GetBackBufferPixel(2, 2), kGreen);
    p.Stop();
    EXPECT_FALSE(p.IsPlaying());
}

TEST(AnimatedPicture, ClearLoadAndDestroyStopAPlayingControlFirst)
{
    GifBuilder two(2, 2, kFour);
    two.GraphicControl(10, 0).Image(0, 0, 2, 2, 3).GraphicControl(10, 0).Image(0, 0, 2, 2, 2).Trailer();
    struct Case {
        const char* name;
        std::function<void(PictureHost&)> act;
        size_t framesAfter;
    };
    const Case cases[] = {
        { "Clear", [](PictureHost& h) { h.picture.Clear(); }, 0 },
        { "Load", [&](PictureHost& h) { EXPECT_TRUE(h.Load(two.Bytes())); }, 2 },
        { "window destroyed", [](PictureHost& h) { ::DestroyWindow(h.dlg); }, 3 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PictureHost host;
        ASSERT_TRUE(host.Load(ThreeColours(60000, 60000, 60000)));
        host.picture.Draw();
        ASSERT_TRUE(host.ShowsSoon(kRed));
        c.act(host);
        EXPECT_FALSE(host.picture.IsPlaying());
        EXPECT_EQ(host.picture.GetFrameCount(), c.framesAfter);
    }
}

TEST(AnimatedPicture, FrameStepsDisposeRestoreAndFillAtTheEndOfTheLoop)
{
    PictureHost host;
    SteppedPicture& p = host.picture;
    GifBuilder g(4, 4, kFour);
    g.GraphicControl(10, 1).Image(0, 0, 4, 4, 0)    // red, kept
        .GraphicControl(10, 3).Image(1, 1, 2, 2, 1) // green, what was under it comes back
        .GraphicControl(10, 2).Image(2, 2, 2, 2, 2) // blue, its area goes to the background
        .Trailer();
    ASSERT_TRUE(host.Load(g.Bytes()));
    const COLORREF background = ::GetSysColor(COLOR_BTNFACE);
    ASSERT_NE(background, kRed);
    auto pixels = [&p](std::initializer_list<POINT> at) {
        std::vector<COLORREF> got;
        for (POINT pt : at)
            got.push_back(p.GetBackBufferPixel(pt.x, pt.y));
        return got;
    };
    using V = std::vector<COLORREF>;
    const std::initializer_list<POINT> probe = { { 0, 0 }, { 1, 1 }, { 2, 2 }, { 3, 3 } };

    p.ShowFrame(0);
    EXPECT_EQ(pixels(probe), (V{ kRed, kRed, kRed, kRed }));
    p.DisposeFrame(0);
    EXPECT_EQ(pixels(probe), (V{ kRed, kRed, kRed, kRed }));
    p.AdvanceFrame();

    p.ShowFrame(1);
    EXPECT_EQ(pixels(probe), (V{ kRed, kGreen, kGreen, kRed }));
    p.DisposeFrame(1);
    EXPECT_EQ(pixels(probe), (V{ kRed, kRed, kRed, kRed }));
    p.AdvanceFrame();

    p.ShowFrame(2);
    EXPECT_EQ(pixels(probe), (V{ kRed, kRed, kBlue, kBlue }));
    p.DisposeFrame(2);
    EXPECT_EQ(pixels(probe), (V{ kRed, kRed, background, background }));
    EXPECT_EQ(p.GetFrameIndex(), 2u);
    p.AdvanceFrame();
    EXPECT_EQ(p.GetFrameIndex(), 0u);
    EXPECT_EQ(pixels(probe), (V{ background, background, background, background }));
}
