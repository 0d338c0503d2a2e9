#pragma once
// Helpers of the control tests: 32-bit icons made from a pixel function and read back, and a 32-bit
// memory canvas to paint into and read pixels from.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace ctltest {

// 0xAARRGGBB, the byte order of a 32-bit DIB pixel (blue first in memory).
constexpr uint32_t Argb(int a, int r, int g, int b)
{
    return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) |
           static_cast<uint32_t>(b);
}
constexpr COLORREF ToColorRef(uint32_t argb)
{
    return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF);
}

// The header of a 32-bit top-down DIB of width x height.
inline BITMAPINFO TopDown32(int width, int height)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// A 32-bit top-down DIB section selected into a memory DC.
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill = RGB(255, 0, 255)) : m_width(width), m_height(height)
    {
        BITMAPINFO info = TopDown32(width, height);
        void* bits = nullptr;
        m_bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_bits = static_cast<uint32_t*>(bits);
        m_dc = ::CreateCompatibleDC(nullptr);
        m_old = ::SelectObject(m_dc, m_bitmap);
        Fill(fill);
    }
    ~Canvas()
    {
        ::SelectObject(m_dc, m_old);
        ::DeleteDC(m_dc);
        ::DeleteObject(m_bitmap);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return m_dc; }
    RECT rect() const { return RECT{ 0, 0, m_width, m_height }; }
    void Fill(COLORREF color)
    {
        ::GdiFlush();
        const uint32_t v = Argb(0, GetRValue(color), GetGValue(color), GetBValue(color));
        for (int i = 0; i < m_width * m_height; ++i)
            m_bits[i] = v;
    }
    COLORREF Pixel(int x, int y) const
    {
        ::GdiFlush();
        return ToColorRef(m_bits[y * m_width + x]);
    }

private:
    int m_width, m_height;
    HBITMAP m_bitmap = nullptr;
    uint32_t* m_bits = nullptr;
    HDC m_dc = nullptr;
    HGDIOBJ m_old = nullptr;
};

// A 32-bit icon with alpha whose pixel (x, y) is pixel(x, y) (0xAARRGGBB); an all-clear AND mask.
inline HICON MakeIcon(int width, int height, const std::function<uint32_t(int, int)>& pixel)
{
    BITMAPINFO info = TopDown32(width, height);
    void* bits = nullptr;
    HBITMAP colour = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    auto* p = static_cast<uint32_t*>(bits);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[y * width + x] = pixel(x, y);
    std::vector<BYTE> zeros(static_cast<size_t>((width + 15) / 16 * 2 * height), 0);
    HBITMAP mask = ::CreateBitmap(width, height, 1, 1, zeros.data());
    ICONINFO ii{ TRUE, 0, 0, mask, colour };
    HICON icon = ::CreateIconIndirect(&ii);
    ::DeleteObject(mask);
    ::DeleteObject(colour);
    return icon;
}

inline HICON MakeSolidIcon(int width, int height, COLORREF color)
{
    const uint32_t v = Argb(255, GetRValue(color), GetGValue(color), GetBValue(color));
    return MakeIcon(width, height, [v](int, int) { return v; });
}

// The icon's colour bitmap as 32-bit pixels, top row first (empty when it cannot be read).
struct IconPixels {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
};
inline IconPixels ReadIcon(HICON icon)
{
    IconPixels result;
    ICONINFO ii{};
    if (!icon || !::GetIconInfo(icon, &ii))
        return result;
    BITMAP bm{};
    if (ii.hbmColor && ::GetObjectW(ii.hbmColor, sizeof(bm), &bm)) {
        BITMAPINFO info = TopDown32(bm.bmWidth, bm.bmHeight);
        std::vector<uint32_t> pixels(static_cast<size_t>(bm.bmWidth * bm.bmHeight));
        HDC screen = ::GetDC(nullptr);
        if (::GetDIBits(screen, ii.hbmColor, 0, static_cast<UINT>(bm.bmHeight), pixels.data(), &info, DIB_RGB_COLORS) ==
            bm.bmHeight) {
            result.width = bm.bmWidth;
            result.height = bm.bmHeight;
            result.pixels = std::move(pixels);
        }
        ::ReleaseDC(nullptr, screen);
    }
    if (ii.hbmColor)
        ::DeleteObject(ii.hbmColor);
    if (ii.hbmMask)
        ::DeleteObject(ii.hbmMask);
    return result;
}

// The handle still names an icon.
inline bool IsLiveIcon(HICON icon)
{
    ICONINFO ii{};
    if (!icon || !::GetIconInfo(icon, &ii))
        return false;
    if (ii.hbmColor)
        ::DeleteObject(ii.hbmColor);
    if (ii.hbmMask)
        ::DeleteObject(ii.hbmMask);
    return true;
}

}
