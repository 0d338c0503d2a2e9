// The GIF block walk of the animated picture, run over crafted bytes: frame counting, cutting frames into
// standalone GIFs with their records, bad blocks, and truncated data placed against unreadable memory so
// that any read past the end stops the test program.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "GifBuilder.h"
#include "controls/AnimatedPicture.h"

namespace {

// Bytes that end where readable memory ends: the next page cannot be read.
class GuardedBytes {
public:
    GuardedBytes(const std::vector<BYTE>& bytes, size_t length)
    {
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        const size_t page = si.dwPageSize;
        const size_t pages = length / page + 1;
        m_base = static_cast<BYTE*>(::VirtualAlloc(nullptr, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(m_base + pages * page, page, PAGE_NOACCESS, &old);
        m_data = m_base + pages * page - length;
        if (length)
            std::memcpy(m_data, bytes.data(), length);
    }
    ~GuardedBytes() { ::VirtualFree(m_base, 0, MEM_RELEASE); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    const BYTE* data() const { return m_data; }

private:
    BYTE* m_base = nullptr;
    BYTE* m_data = nullptr;
};

// The loader's walk over bytes in memory, without a window or a decoder.
class GifWalker : public CAnimatedPicture {
public:
    using CAnimatedPicture::HeaderKind;
    using CAnimatedPicture::kBrokenGif;
    using CAnimatedPicture::kGif;
    using CAnimatedPicture::kNotGif;

    struct Cut {
        std::vector<BYTE> bytes;
        Frame frame;
    };

    HeaderKind Start(const BYTE* data, size_t size)
    {
        m_data = data;
        m_dataSize = static_cast<uint32_t>(size);
        m_cursor = 0;
        m_isGif = 0;
        m_colorTableSize = 0;
        HeaderKind kind = ReadHeader();
        m_first = m_cursor;
        return kind;
    }
    int CountFrames()
    {
        m_cursor = m_first;
        int n = 0;
        while (SkipFrame())
            ++n;
        return n;
    }
    std::vector<Cut> CutFrames()
    {
        m_cursor = m_first;
        std::vector<Cut> cuts;
        HGLOBAL block = nullptr;
        DWORD length = 0;
        Frame frame;
        while (CutFrame(&block, &length, &frame)) {
            const BYTE* p = static_cast<const BYTE*>(::GlobalLock(block));
            cuts.push_back(Cut{ std::vector<BYTE>(p, p + length), frame });
            ::GlobalUnlock(block);
            ::GlobalFree(block);
        }
        return cuts;
    }
    int ColorTableSize() const { return m_colorTableSize; }
    CSize ScreenSize() const { return CSize(m_width, m_height); }

private:
    uint32_t m_first = 0;
};

const std::vector<COLORREF> kFour = { RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255), RGB(255, 255, 255) };

std::vector<BYTE> Slice(const std::vector<BYTE>& bytes, size_t from, size_t to)
{
    return std::vector<BYTE>(bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to));
}

// A GIF with one frame of every shape the walk knows, and where each frame's bytes begin and end.
struct Sample {
    GifBuilder gif{ 10, 8, kFour };
    size_t header = 0;
    std::vector<std::pair<size_t, size_t>> frames;   // [begin, end) of each frame's own bytes

    Sample()
    {
        header = gif.Size();
        gif.Comment("made for the walk");
        // 1: graphic control, then an application extension, then the image.
        size_t b = gif.Size();
        gif.GraphicControl(7, 2).Looping().Image(1, 2, 3, 4, 1);
        frames.push_back({ b, gif.Size() });
        // 2: an image with its own colour table, no graphic control.
        b = gif.Size();
        gif.Image(0, 0, 10, 8, 2, { RGB(1, 2, 3), RGB(4, 5, 6), RGB(7, 8, 9) });
        frames.push_back({ b, gif.Size() });
        // 3: a comment before the graphic control is not part of the frame; plain text instead of an image.
        gif.Comment("between");
        b = gif.Size();
        gif.GraphicControl(0, 1).PlainText();
        frames.push_back({ b, gif.Size() });
        // 4: graphic control, comment, a second graphic control, the image.
        b = gif.Size();
        gif.GraphicControl(300, 3).Comment("inside").GraphicControl(5, 0).Image(4, 3, 6, 5, 3);
        frames.push_back({ b, gif.Size() });
        gif.Trailer();
    }
};

}

TEST(GifWalk, FramesAreCutWithTheirBytesAndRecords)
{
    Sample s;
    const std::vector<BYTE>& bytes = s.gif.Bytes();
    GuardedBytes data(bytes, bytes.size());
    GifWalker walk;
    ASSERT_EQ(walk.Start(data.data(), bytes.size()), GifWalker::kGif);
    EXPECT_EQ(walk.ColorTableSize(), 12);
    EXPECT_EQ(walk.ScreenSize(), CSize(10, 8));
    EXPECT_EQ(walk.CountFrames(), 4);

    struct Expected {
        uint32_t delay;
        int disposal, left, top, width, height;
    };
    const Expected expected[] = {
        { 7, 2, 1, 2, 3, 4 },
        { 0xFFFFFFFFu, 0, 0, 0, 10, 8 },   // no graphic control: no delay
        { 0, 1, 0, 0, 10, 8 },             // plain text: the picture's size
        { 300, 3, 4, 3, 6, 5 },            // the first graphic control counts
    };
    std::vector<GifWalker::Cut> cuts = walk.CutFrames();
    ASSERT_EQ(cuts.size(), 4u);
    for (size_t i = 0; i < cuts.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& f = cuts[i].frame;
        EXPECT_EQ(f.delay, expected[i].delay);
        EXPECT_EQ(f.disposal, expected[i].disposal);
        EXPECT_EQ(f.left, expected[i].left);
        EXPECT_EQ(f.top, expected[i].top);
        EXPECT_EQ(f.width, expected[i].width);
        EXPECT_EQ(f.height, expected[i].height);
        // Header and colour table, the frame's own blocks each once, a trailer.
        std::vector<BYTE> standalone = Slice(bytes, 0, s.header);
        std::vector<BYTE> own = Slice(bytes, s.frames[i].first, s.frames[i].second);
        standalone.insert(standalone.end(), own.begin(), own.end());
        standalone.push_back(0x3B);
        EXPECT_EQ(cuts[i].bytes, standalone);
    }
}

TEST(GifWalk, TruncatedDataIsNeverReadPastItsEnd)
{
    Sample s;
    const std::vector<BYTE>& bytes = s.gif.Bytes();
    for (size_t n = 0; n <= bytes.size(); ++n) {
        SCOPED_TRACE(n);
        GuardedBytes data(bytes, n);
        GifWalker walk;
        GifWalker::HeaderKind kind = walk.Start(data.data(), n);
        if (n < 6) {
            EXPECT_EQ(kind, GifWalker::kNotGif);
            continue;
        }
        if (n < s.header) {
            EXPECT_EQ(kind, GifWalker::kBrokenGif);
            continue;
        }
        ASSERT_EQ(kind, GifWalker::kGif);
        int whole = 0;
        for (auto& f : s.frames)
            whole += f.second <= n ? 1 : 0;
        EXPECT_EQ(walk.CountFrames(), whole);
        EXPECT_EQ(walk.CutFrames().size(), static_cast<size_t>(whole));
    }
}

TEST(GifWalk, HeaderDecidesWhatIsAGif)
{
    struct Case {
        const char* signature;
        GifWalker::HeaderKind kind;
    };
    for (const Case& c : { Case{ "GIF89a", GifWalker::kGif }, Case{ "GIF87a", GifWalker::kGif },
                           Case{ "GIF88a", GifWalker::kNotGif }, Case{ "gif89a", GifWalker::kNotGif },
                           Case{ "GIF89b", GifWalker::kNotGif } }) {
        SCOPED_TRACE(c.signature);
        GifBuilder gif(4, 4, kFour);
        gif.Image(0, 0, 4, 4, 0).Trailer();
        std::vector<BYTE> bytes = gif.Bytes();
        std::memcpy(bytes.data(), c.signature, 6);
        GuardedBytes data(bytes, bytes.size());
        GifWalker walk;
        EXPECT_EQ(walk.Start(data.data(), bytes.size()), c.kind);
        EXPECT_EQ(walk.IsGif(), c.kind == GifWalker::kGif);
    }
    // A colour table that the data does not hold (256 entries declared, 4 given).
    GifBuilder gif(4, 4, kFour);
    gif.Image(0, 0, 4, 4, 0).Trailer();
    std::vector<BYTE> bytes = gif.Bytes();
    bytes[10] = 0x87;
    GuardedBytes data(bytes, bytes.size());
    GifWalker walk;
    EXPECT_EQ(walk.Start(data.data(), bytes.size()), GifWalker::kBrokenGif);
}

TEST(GifWalk, BadBlocksEndTheWalkWhereTheyStand)
{
    struct Case {
        const char* name;
        std::function<void(GifBuilder&)> build;
        int frames;
    };
    const Case cases[] = {
        { "trailer first", [](GifBuilder& g) { g.Trailer().Image(0, 0, 2, 2, 0); }, 0 },
        { "unknown extension first", [](GifBuilder& g) { g.UnknownExtension(0x99).Image(0, 0, 2, 2, 0); }, 0 },
        { "unknown extension between graphic control and image",
          [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).GraphicControl(5, 0).UnknownExtension(0x02).Image(0, 0, 2, 2, 0); }, 1 },
        { "stray byte between frames",
          [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).Raw({ 0x00 }).Image(0, 0, 2, 2, 1); }, 1 },
        { "graphic control before the trailer", [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).GraphicControl(5, 0).Trailer(); }, 1 },
        { "extension introducer at the very end", [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).Raw({ 0x21 }); }, 1 },
        { "application and comment before a frame are skipped",
          [](GifBuilder& g) { g.Looping().Comment("c").Image(0, 0, 2, 2, 0).Comment("d").Image(0, 0, 2, 2, 1).Trailer(); }, 2 },
        { "repeated graphic controls make one frame",
          [](GifBuilder& g) { g.GraphicControl(1, 0).GraphicControl(2, 0).Looping().Image(0, 0, 2, 2, 0).Trailer(); }, 1 },
        { "sub-block chain running past the end",
          [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).Raw({ 0x21, 0xFE, 0x40, 'x', 'y' }); }, 1 },
        { "image descriptor cut short", [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).Raw({ 0x2C, 0, 0, 0, 0, 2, 0 }); }, 1 },
        { "local colour table past the end",
          [](GifBuilder& g) { g.Image(0, 0, 2, 2, 0).Raw({ 0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0x87, 1, 2, 3 }); }, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GifBuilder gif(2, 2, kFour);
        c.build(gif);
        const std::vector<BYTE>& bytes = gif.Bytes();
        GuardedBytes data(bytes, bytes.size());
        GifWalker walk;
        ASSERT_EQ(walk.Start(data.data(), bytes.size()), GifWalker::kGif);
        EXPECT_EQ(walk.CountFrames(), c.frames);
        EXPECT_EQ(walk.CutFrames().size(), static_cast<size_t>(c.frames));
    }
}
