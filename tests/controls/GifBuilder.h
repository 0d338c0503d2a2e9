#pragma once
// Writes GIF data block by block, for tests of the GIF walker: real, decodable images (uncompressed LZW:
// a clear code before every pixel keeps the code width fixed), and blocks in any order the test wants.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

class GifBuilder {
public:
    // A logical screen of width x height with a global colour table of the given colours (2, 4, 8 ... 256
    // entries; empty: no table).
    GifBuilder(int width, int height, const std::vector<COLORREF>& colours, const char* version = "89a")
    {
        Put("GIF", 3);
        Put(version, 3);
        Word(width);
        Word(height);
        int bits = 0;
        while ((2 << bits) < static_cast<int>(colours.size()))
            ++bits;
        m_tableBits = colours.empty() ? 1 : bits + 1;
        Byte(colours.empty() ? 0 : static_cast<BYTE>(0x80 | 0x70 | bits));
        Byte(0);   // background colour index
        Byte(0);   // aspect
        for (COLORREF c : colours) {
            Byte(GetRValue(c));
            Byte(GetGValue(c));
            Byte(GetBValue(c));
        }
    }

    GifBuilder& GraphicControl(unsigned delay, int disposal, int transparent = -1)
    {
        Byte(0x21); Byte(0xF9); Byte(4);
        Byte(static_cast<BYTE>(((disposal & 7) << 2) | (transparent >= 0 ? 1 : 0)));
        Word(static_cast<int>(delay));
        Byte(static_cast<BYTE>(transparent >= 0 ? transparent : 0));
        Byte(0);
        return *this;
    }
    GifBuilder& Looping()
    {
        Byte(0x21); Byte(0xFF); Byte(11);
        Put("NETSCAPE2.0", 11);
        Byte(3); Byte(1); Word(0);
        Byte(0);
        return *this;
    }
    GifBuilder& Comment(const std::string& text)
    {
        Byte(0x21); Byte(0xFE);
        SubBlocks(std::vector<BYTE>(text.begin(), text.end()));
        return *this;
    }
    GifBuilder& PlainText()
    {
        Byte(0x21); Byte(0x01); Byte(12);
        for (int i = 0; i < 12; ++i)
            Byte(0);
        SubBlocks(std::vector<BYTE>{ 'h', 'i' });
        return *this;
    }
    GifBuilder& UnknownExtension(BYTE label)
    {
        Byte(0x21); Byte(label);
        SubBlocks(std::vector<BYTE>{ 1, 2, 3 });
        return *this;
    }
    // An image of one colour index (of the global table, or of its own table when colours are given).
    GifBuilder& Image(int left, int top, int width, int height, int index, const std::vector<COLORREF>& localColours = {})
    {
        Byte(0x2C);
        Word(left); Word(top); Word(width); Word(height);
        int tableBits = m_tableBits;
        if (localColours.empty()) {
            Byte(0);
        } else {
            int bits = 0;
            while ((2 << bits) < static_cast<int>(localColours.size()))
                ++bits;
            Byte(static_cast<BYTE>(0x80 | bits));
            for (int i = 0; i < (2 << bits); ++i) {
                COLORREF c = i < static_cast<int>(localColours.size()) ? localColours[static_cast<size_t>(i)] : 0;
                Byte(GetRValue(c)); Byte(GetGValue(c)); Byte(GetBValue(c));
            }
            tableBits = bits + 1;
        }
        const int minCode = tableBits < 2 ? 2 : tableBits;
        Byte(static_cast<BYTE>(minCode));
        const unsigned clear = 1u << minCode, end = clear + 1, width_bits = static_cast<unsigned>(minCode) + 1;
        std::vector<BYTE> packed;
        unsigned long long acc = 0;
        unsigned have = 0;
        auto code = [&](unsigned c) {
            acc |= static_cast<unsigned long long>(c) << have;
            have += width_bits;
            while (have >= 8) {
                packed.push_back(static_cast<BYTE>(acc & 0xFF));
                acc >>= 8;
                have -= 8;
            }
        };
        for (int i = 0; i < width * height; ++i) {
            code(clear);
            code(static_cast<unsigned>(index));
        }
        code(end);
        if (have)
            packed.push_back(static_cast<BYTE>(acc & 0xFF));
        SubBlocks(packed);
        return *this;
    }
    // An image descriptor without a local colour table followed by the given code size and data bytes
    // (in sub-blocks), for images a decoder should refuse.
    GifBuilder& RawImage(int left, int top, int width, int height, BYTE codeSize, const std::vector<BYTE>& data)
    {
        Byte(0x2C);
        Word(left); Word(top); Word(width); Word(height);
        Byte(0);
        Byte(codeSize);
        SubBlocks(data);
        return *this;
    }
    GifBuilder& Trailer()
    {
        Byte(0x3B);
        return *this;
    }
    GifBuilder& Raw(const std::vector<BYTE>& bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }

    size_t Size() const { return m_bytes.size(); }
    const std::vector<BYTE>& Bytes() const { return m_bytes; }
    // The first `length` bytes (all by default) in a movable global memory block; the caller frees it.
    HGLOBAL ToGlobal(size_t length = static_cast<size_t>(-1)) const
    {
        if (length > m_bytes.size())
            length = m_bytes.size();
        HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, length ? length : 1);
        void* p = ::GlobalLock(block);
        if (length)
            std::memcpy(p, m_bytes.data(), length);
        ::GlobalUnlock(block);
        return block;
    }

private:
    void Byte(BYTE b) { m_bytes.push_back(b); }
    void Word(int w) { Byte(static_cast<BYTE>(w & 0xFF)); Byte(static_cast<BYTE>((w >> 8) & 0xFF)); }
    void Put(const char* p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            m_bytes.push_back(static_cast<BYTE>(p[i]));
    }
    void SubBlocks(const std::vector<BYTE>& data)
    {
        for (size_t at = 0; at < data.size(); at += 255) {
            size_t n = data.size() - at < 255 ? data.size() - at : 255;
            Byte(static_cast<BYTE>(n));
            m_bytes.insert(m_bytes.end(), data.begin() + static_cast<ptrdiff_t>(at),
                           data.begin() + static_cast<ptrdiff_t>(at + n));
        }
        Byte(0);
    }

    std::vector<BYTE> m_bytes;
    int m_tableBits = 1;
};
