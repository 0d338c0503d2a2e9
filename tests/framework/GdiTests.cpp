// The GDI helpers the owner-drawn controls paint with, checked pixel by pixel in a memory DC.
#include <gtest/gtest.h>

#include "framework/Framework.h"

namespace {

// A 32-bit memory bitmap selected into a memory DC.
struct Canvas {
    CDC dc;
    CBitmap bitmap;
    HGDIOBJ old = nullptr;
    Canvas(int width, int height)
    {
        dc.CreateCompatibleDC(nullptr);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        bitmap.Attach(::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        old = dc.SelectObject(&bitmap);
    }
    ~Canvas() { dc.SelectObject(old); }
};

struct Pixel {
    int x, y;
    COLORREF color;
};

constexpr COLORREF kBack = RGB(0, 0, 255), kTopLeft = RGB(255, 0, 0), kBottomRight = RGB(0, 255, 0);

}

// Draw3dRect: one-pixel edges, top and left in the first colour, right and bottom in the second, the
// second owning the top-right and bottom-left corners; nothing inside or outside is touched.
TEST(Gdi, Draw3dRectAndFillSolidRect)
{
    Canvas canvas(10, 8);
    ASSERT_NE(nullptr, canvas.bitmap.m_hObject);
    canvas.dc.FillSolidRect(CRect(0, 0, 10, 8), kBack);
    canvas.dc.Draw3dRect(CRect(1, 1, 9, 7), kTopLeft, kBottomRight);   // 8 x 6 at (1, 1)

    const Pixel expected[] = {
        { 0, 0, kBack },         { 9, 7, kBack },          { 1, 0, kBack },          // outside
        { 1, 1, kTopLeft },      { 7, 1, kTopLeft },       { 1, 5, kTopLeft },       // top and left edges
        { 8, 1, kBottomRight },  { 1, 6, kBottomRight },                             // the two far corners
        { 8, 6, kBottomRight },  { 4, 6, kBottomRight },   { 8, 3, kBottomRight },   // bottom and right edges
        { 2, 2, kBack },         { 7, 5, kBack },                                    // inside
    };
    for (const Pixel& p : expected)
        EXPECT_EQ(p.color, canvas.dc.GetPixel(p.x, p.y)) << "at " << p.x << "," << p.y;

    // FillSolidRect leaves the DC's background colour at the fill colour, and fills exactly its rectangle.
    canvas.dc.FillSolidRect(3, 2, 2, 3, kTopLeft);
    EXPECT_EQ(kTopLeft, ::GetBkColor(canvas.dc));
    EXPECT_EQ(kTopLeft, canvas.dc.GetPixel(3, 2));
    EXPECT_EQ(kTopLeft, canvas.dc.GetPixel(4, 4));
    EXPECT_EQ(kBack, canvas.dc.GetPixel(5, 4));
    EXPECT_EQ(kBack, canvas.dc.GetPixel(3, 5));
}
