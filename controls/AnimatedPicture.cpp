#include "controls/AnimatedPicture.h"

#include <process.h>

#include <cstring>

#ifndef GMEM_NODISCARD
#define GMEM_NODISCARD 0x0020
#endif

namespace {

// Locks the back buffer for one scope.
class BufferLock {
public:
    explicit BufferLock(CRITICAL_SECTION* lock) : m_lock(lock) { ::EnterCriticalSection(m_lock); }
    ~BufferLock() { ::LeaveCriticalSection(m_lock); }
    BufferLock(const BufferLock&) = delete;
    BufferLock& operator=(const BufferLock&) = delete;

private:
    CRITICAL_SECTION* m_lock;
};

uint16_t Read16(const BYTE* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Renders a whole picture at (x, y) with the given size.
HRESULT RenderPicture(IPicture* picture, HDC dc, int x, int y, int cx, int cy)
{
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    picture->get_Width(&width);
    picture->get_Height(&height);
    return picture->Render(dc, x, y, cx, cy, 0, height, width, -height, nullptr);
}

}

BEGIN_MESSAGE_MAP(CAnimatedPicture, CStatic)
    ON_WM_DESTROY()
    ON_WM_PAINT()
END_MESSAGE_MAP()

CAnimatedPicture::CAnimatedPicture()
{
    ::InitializeCriticalSection(&m_lock);
    m_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CAnimatedPicture::~CAnimatedPicture()
{
    Clear();
    if (m_stopEvent)
        ::CloseHandle(m_stopEvent);
    std::vector<Frame>().swap(m_frames);
    ::DeleteCriticalSection(&m_lock);
}

// ---- loading ----------------------------------------------------------------------------------------

bool CAnimatedPicture::LoadFromResource(HINSTANCE hInstance, HRSRC hResource)
{
    if (!hResource)
        return false;
    HGLOBAL resource = ::LoadResource(hInstance, hResource);
    DWORD size = ::SizeofResource(hInstance, hResource);
    const void* bytes = resource ? ::LockResource(resource) : nullptr;
    if (!bytes || size == 0)
        return false;
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_NODISCARD, size);
    if (!block)
        return false;
    void* target = ::GlobalLock(block);
    if (!target) {
        ::GlobalFree(block);
        return false;
    }
    std::memcpy(target, bytes, size);
    ::GlobalUnlock(block);
    bool loaded = Load(block, size);
    ::GlobalFree(block);
    return loaded;
}

bool CAnimatedPicture::Load(HGLOBAL hGlobal, DWORD dwSize)
{
    Clear();
    m_data = static_cast<const BYTE*>(hGlobal ? ::GlobalLock(hGlobal) : nullptr);
    if (!m_data)
        return false;
    // Never trust the size beyond the block itself.
    const SIZE_T blockSize = ::GlobalSize(hGlobal);
    if (blockSize < dwSize)
        dwSize = static_cast<DWORD>(blockSize);
    m_dataSize = dwSize;

    auto unlock = [this, hGlobal] {
        ::GlobalUnlock(hGlobal);
        m_data = nullptr;
    };
    auto loadStill = [this, hGlobal, dwSize]() -> bool {
        IStream* stream = nullptr;
        if (FAILED(::CreateStreamOnHGlobal(hGlobal, FALSE, &stream)) || !stream)
            return false;
        HRESULT hr = ::OleLoadPicture(stream, static_cast<LONG>(dwSize), FALSE, IID_IPicture,
                                      reinterpret_cast<void**>(&m_still));
        stream->Release();
        if (FAILED(hr) || !m_still) {
            m_still = nullptr;
            return false;
        }
        return true;
    };

    const HeaderKind header = ReadHeader();
    if (header == kBrokenGif) {
        unlock();
        Clear();
        return false;
    }
    if (header == kGif) {
        const uint32_t firstBlock = m_cursor;
        int frames = 0;
        while (SkipFrame())
            ++frames;
        if (frames == 0) {
            unlock();
            Clear();
            return false;
        }
        if (frames == 1) {
            unlock();
            if (!loadStill()) {
                Clear();
                return false;
            }
        } else {
            m_cursor = firstBlock;
            HGLOBAL block = nullptr;
            DWORD length = 0;
            Frame frame;
            while (CutFrame(&block, &length, &frame)) {
                IStream* stream = nullptr;
                if (FAILED(::CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
                    ::GlobalFree(block);
                    continue;
                }
                IPicture* picture = nullptr;
                HRESULT hr = ::OleLoadPicture(stream, static_cast<LONG>(length), FALSE, IID_IPicture,
                                              reinterpret_cast<void**>(&picture));
                stream->Release();   // frees the block
                if (FAILED(hr) || !picture)
                    continue;        // this frame is left out
                frame.picture = picture;
                m_frames.push_back(frame);
            }
            unlock();
            if (m_frames.empty()) {
                Clear();
                return false;
            }
        }
    } else {
        unlock();
        if (!loadStill()) {
            Clear();
            return false;
        }
        OLE_XSIZE_HIMETRIC width = 0;
        OLE_YSIZE_HIMETRIC height = 0;
        m_still->get_Width(&width);
        m_still->get_Height(&height);
        HDC dc = ::GetDC(m_hWnd);
        m_width = ::MulDiv(width, ::GetDeviceCaps(dc, LOGPIXELSX), 2540);
        m_height = ::MulDiv(height, ::GetDeviceCaps(dc, LOGPIXELSY), 2540);
        ::ReleaseDC(m_hWnd, dc);
    }
    if (!PrepareBackBuffer(m_width, m_height)) {
        Clear();
        return false;
    }
    return true;
}

CAnimatedPicture::HeaderKind CAnimatedPicture::ReadHeader()
{
    if (!m_data || m_dataSize < 6 || std::memcmp(m_data, "GIF", 3) != 0 ||
        (std::memcmp(m_data + 3, "87a", 3) != 0 && std::memcmp(m_data + 3, "89a", 3) != 0))
        return kNotGif;
    m_isGif = 1;
    // The logical screen descriptor and the global colour table must be there before they are read.
    if (m_dataSize < 13)
        return kBrokenGif;
    const BYTE packed = m_data[10];
    m_colorTableSize = (packed & 0x80) ? 3 * (1 << ((packed & 7) + 1)) : 0;
    if (13u + static_cast<uint32_t>(m_colorTableSize) > m_dataSize)
        return kBrokenGif;
    m_width = Read16(m_data + 6);
    m_height = Read16(m_data + 8);
    m_cursor = 13 + static_cast<uint32_t>(m_colorTableSize);
    return kGif;
}

bool CAnimatedPicture::PrepareBackBuffer(int width, int height)
{
    if (m_hWnd)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    HDC window = ::GetDC(m_hWnd);
    if (!window)
        return false;
    BufferLock lock(&m_lock);
    m_backDC = ::CreateCompatibleDC(window);
    if (!m_backDC) {
        ::ReleaseDC(m_hWnd, window);
        return false;
    }
    m_backBitmap = ::CreateCompatibleBitmap(window, width, height);
    if (!m_backBitmap) {
        ::ReleaseDC(m_hWnd, window);
        ::DeleteDC(m_backDC);
        m_backDC = nullptr;
        return false;
    }
    m_backOldBitmap = static_cast<HBITMAP>(::SelectObject(m_backDC, m_backBitmap));
    m_background = ::GetSysColor(COLOR_BTNFACE);
    RECT all = { 0, 0, width, height };
    ::FillRect(m_backDC, &all, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1)));
    ::ReleaseDC(m_hWnd, window);
    m_prepared = 1;
    return true;
}

// ---- the block walk ---------------------------------------------------------------------------------

CAnimatedPicture::BlockKind CAnimatedPicture::KindAt(uint32_t at) const
{
    if (!m_data || at >= m_dataSize)
        return kUnknown;
    switch (m_data[at]) {
    case 0x2C:
        return kImage;
    case 0x3B:
        return kTrailer;
    case 0x21:
        if (at + 1 >= m_dataSize)
            return kUnknown;
        switch (m_data[at + 1]) {
        case 0xFF: return kApplication;
        case 0xFE: return kComment;
        case 0xF9: return kGraphicControl;
        case 0x01: return kPlainText;
        default: return kUnknown;
        }
    default:
        return kUnknown;
    }
}

uint32_t CAnimatedPicture::BlockLength(uint32_t at) const
{
    // Length of the sub-block chain at `from`, 0 when it runs past the end of the data.
    auto chain = [this](uint64_t from) -> uint64_t {
        uint64_t total = 0;
        for (uint64_t p = from;;) {
            if (p >= m_dataSize)
                return 0;
            uint64_t n = m_data[p];
            total += n + 1;
            p += n + 1;
            if (n == 0)
                return total;
        }
    };
    auto withChain = [&](uint64_t head) -> uint64_t {
        uint64_t rest = chain(static_cast<uint64_t>(at) + head);
        return rest ? head + rest : 0;
    };
    uint64_t length = 0;
    switch (KindAt(at)) {
    case kApplication: length = withChain(14); break;
    case kComment: length = withChain(2); break;
    case kGraphicControl: length = 8; break;
    case kPlainText: length = withChain(15); break;
    case kImage: {
        if (static_cast<uint64_t>(at) + 10 > m_dataSize)
            return 0;
        const BYTE packed = m_data[at + 9];
        uint64_t local = (packed & 0x80) ? 3u * (1u << ((packed & 7) + 1)) : 0;
        length = withChain(11 + local);
        break;
    }
    case kTrailer: length = 1; break;
    case kUnknown: return 0;
    }
    if (length == 0 || static_cast<uint64_t>(at) + length > m_dataSize)
        return 0;
    return static_cast<uint32_t>(length);
}

bool CAnimatedPicture::SkipBlock()
{
    if (!m_data)
        return false;
    uint32_t length = BlockLength(m_cursor);
    if (length == 0)
        return false;
    m_cursor += length;
    return true;
}

bool CAnimatedPicture::SkipToImage()
{
    for (;;) {
        BlockKind kind = KindAt(m_cursor);
        if (kind == kImage || kind == kPlainText)
            return true;
        if (kind != kApplication && kind != kComment && kind != kGraphicControl)
            return false;
        if (!SkipBlock())
            return false;
    }
}

bool CAnimatedPicture::SkipToFrame()
{
    for (;;) {
        BlockKind kind = KindAt(m_cursor);
        if (kind == kGraphicControl || kind == kImage || kind == kPlainText)
            return true;
        if (kind != kApplication && kind != kComment)
            return false;   // trailer or unrecognised
        if (!SkipBlock())
            return false;
    }
}

bool CAnimatedPicture::SkipFrame()
{
    if (!m_data)
        return false;
    if (!SkipToFrame())
        return false;
    if (KindAt(m_cursor) == kGraphicControl) {
        if (!SkipBlock())
            return false;
        if (!SkipToImage())
            return false;
    }
    return SkipBlock();
}

bool CAnimatedPicture::CutFrame(HGLOBAL* block, DWORD* length, Frame* frame)
{
    if (!m_data)
        return false;
    *frame = Frame{};
    if (!SkipToFrame())
        return false;
    const uint32_t start = m_cursor;
    if (KindAt(m_cursor) == kGraphicControl) {
        // Its fields are read only once the whole block is known to be there.
        if (BlockLength(m_cursor) == 0)
            return false;
        frame->delay = Read16(m_data + m_cursor + 4);
        frame->disposal = (m_data[m_cursor + 3] >> 2) & 7;
        if (!SkipBlock())
            return false;
        if (!SkipToImage())
            return false;
    } else {
        frame->delay = 0xFFFFFFFFu;
    }
    if (BlockLength(m_cursor) == 0)
        return false;
    if (KindAt(m_cursor) == kImage) {
        frame->left = Read16(m_data + m_cursor + 1);
        frame->top = Read16(m_data + m_cursor + 3);
        frame->width = Read16(m_data + m_cursor + 5);
        frame->height = Read16(m_data + m_cursor + 7);
    } else {
        // A plain-text frame has no image descriptor: it covers the picture.
        frame->width = m_width;
        frame->height = m_height;
    }
    if (!SkipBlock())
        return false;

    const uint32_t frameBytes = m_cursor - start;
    const uint32_t head = 13 + static_cast<uint32_t>(m_colorTableSize);
    const DWORD total = head + frameBytes + 1;
    HGLOBAL made = ::GlobalAlloc(GMEM_FIXED, total);
    if (!made)
        return false;
    BYTE* out = static_cast<BYTE*>(made);
    std::memcpy(out, m_data, head);
    std::memcpy(out + head, m_data + start, frameBytes);
    out[total - 1] = 0x3B;
    *block = made;
    *length = total;
    return true;
}

// ---- playing ----------------------------------------------------------------------------------------

int CAnimatedPicture::Draw()
{
    if (!m_prepared)
        return 0;
    if (m_isGif && m_frames.size() >= 2) {
        if (m_animThread)
            return 0;   // already playing: one thread over the frames at a time
        uintptr_t thread = _beginthreadex(nullptr, 0, &AnimationThread, this, CREATE_SUSPENDED, nullptr);
        m_animThread = reinterpret_cast<HANDLE>(thread);
        if (m_animThread)
            ::ResumeThread(m_animThread);
        return 0;
    }
    if (!m_still)
        return 0;
    HRESULT hr;
    {
        BufferLock lock(&m_lock);
        hr = RenderPicture(m_still, m_backDC, 0, 0, m_width, m_height);
    }
    if (FAILED(hr))
        return 0;
    if (m_hWnd)
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
    return 1;
}

unsigned __stdcall CAnimatedPicture::AnimationThread(void* self)
{
    auto* control = static_cast<CAnimatedPicture*>(self);
    control->DisposeFrame(control->m_frameIndex);   // undo the frame that showed when the animation last stopped
    while (!control->m_exit) {
        const uint32_t index = control->m_frameIndex;
        control->ShowFrame(index);
        if (control->m_exit)
            break;
        ::WaitForSingleObject(control->m_stopEvent, FrameWaitMilliseconds(control->m_frames[index].delay));
        if (control->m_exit)
            break;
        control->DisposeFrame(index);
        control->AdvanceFrame();
    }
    return 0;
}

void CAnimatedPicture::RenderFrame(const Frame& frame, bool* rendered)
{
    *rendered = frame.picture &&
                SUCCEEDED(RenderPicture(frame.picture, m_backDC, frame.left, frame.top, frame.width, frame.height));
}

void CAnimatedPicture::ShowFrame(uint32_t index)
{
    if (index >= m_frames.size() || !m_backDC)
        return;
    const Frame& frame = m_frames[index];
    bool rendered = false;
    {
        BufferLock lock(&m_lock);
        if (frame.disposal == 3 && !m_saveDC) {
            m_saveDC = ::CreateCompatibleDC(m_backDC);
            m_saveBitmap = ::CreateCompatibleBitmap(m_backDC, frame.width, frame.height);
            if (m_saveDC && m_saveBitmap) {
                m_saveOldBitmap = static_cast<HBITMAP>(::SelectObject(m_saveDC, m_saveBitmap));
                ::BitBlt(m_saveDC, 0, 0, frame.width, frame.height, m_backDC, frame.left, frame.top, SRCCOPY);
            } else {
                // Half a save is none: nothing to restore later.
                if (m_saveDC)
                    ::DeleteDC(m_saveDC);
                if (m_saveBitmap)
                    ::DeleteObject(m_saveBitmap);
                m_saveDC = nullptr;
                m_saveBitmap = nullptr;
            }
        }
        RenderFrame(frame, &rendered);
    }
    if (rendered && m_hWnd)
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CAnimatedPicture::FillBackground(const RECT& rect)
{
    HBRUSH brush = ::CreateSolidBrush(m_background);
    if (!brush)
        return;
    ::FillRect(m_backDC, &rect, brush);
    ::DeleteObject(brush);
}

void CAnimatedPicture::DisposeFrame(uint32_t index)
{
    if (index >= m_frames.size() || !m_backDC)
        return;
    const Frame& frame = m_frames[index];
    BufferLock lock(&m_lock);
    if (frame.disposal == 2) {
        RECT area = { frame.left, frame.top, frame.left + frame.width, frame.top + frame.height };
        FillBackground(area);
    } else if (frame.disposal == 3 && m_saveDC) {
        ::BitBlt(m_backDC, frame.left, frame.top, frame.width, frame.height, m_saveDC, 0, 0, SRCCOPY);
        ::SelectObject(m_saveDC, m_saveOldBitmap);
        ::DeleteDC(m_saveDC);
        ::DeleteObject(m_saveBitmap);
        m_saveDC = nullptr;
        m_saveBitmap = nullptr;
        m_saveOldBitmap = nullptr;
    }
}

void CAnimatedPicture::AdvanceFrame()
{
    if (++m_frameIndex >= m_frames.size()) {
        m_frameIndex = 0;
        if (m_backDC) {
            BufferLock lock(&m_lock);
            RECT all = { 0, 0, m_width, m_height };
            FillBackground(all);
        }
    }
}

void CAnimatedPicture::Stop()
{
    m_exit = 1;
    if (m_stopEvent)
        ::SetEvent(m_stopEvent);
    if (m_animThread) {
        // The thread only draws into memory and never waits for this thread, so it ends promptly; it is
        // always waited for, so nothing it uses is released under it.
        ::WaitForSingleObject(m_animThread, INFINITE);
        ::CloseHandle(m_animThread);
        m_animThread = nullptr;
    }
    if (m_stopEvent)
        ::ResetEvent(m_stopEvent);
    m_exit = 0;
}

void CAnimatedPicture::Clear()
{
    Stop();
    if (m_still) {
        m_still->Release();
        m_still = nullptr;
    }
    for (Frame& frame : m_frames) {
        if (frame.picture)
            frame.picture->Release();
    }
    m_frames.clear();
    {
        BufferLock lock(&m_lock);
        if (m_backDC) {
            ::SelectObject(m_backDC, m_backOldBitmap);
            ::DeleteDC(m_backDC);
            ::DeleteObject(m_backBitmap);
        }
        if (m_saveDC) {
            ::SelectObject(m_saveDC, m_saveOldBitmap);
            ::DeleteDC(m_saveDC);
            ::DeleteObject(m_saveBitmap);
        }
        m_backDC = nullptr;
        m_backBitmap = m_backOldBitmap = nullptr;
        m_saveDC = nullptr;
        m_saveBitmap = m_saveOldBitmap = nullptr;
    }
    m_data = nullptr;
    m_animThread = nullptr;
    m_prepared = 0;
    m_isGif = 0;
    m_colorTableSize = 0;
    m_dataSize = 0;
    m_cursor = 0;
    m_exit = 0;
    m_frameIndex = 0;
}

COLORREF CAnimatedPicture::GetBackBufferPixel(int x, int y) const
{
    BufferLock lock(&m_lock);
    return m_backDC ? ::GetPixel(m_backDC, x, y) : CLR_INVALID;
}

// ---- window messages --------------------------------------------------------------------------------

void CAnimatedPicture::OnPaint()
{
    CPaintDC dc(this);
    BufferLock lock(&m_lock);
    if (m_backDC)
        ::BitBlt(dc.m_hDC, 0, 0, m_width, m_height, m_backDC, 0, 0, SRCCOPY);
}

void CAnimatedPicture::OnDestroy()
{
    Stop();
    CStatic::OnDestroy();
}
