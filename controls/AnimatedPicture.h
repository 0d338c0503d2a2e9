#pragma once
// CAnimatedPicture: a static control that shows a picture loaded from memory or a resource. A GIF of two
// or more frames is cut into standalone one-frame GIFs, each decoded once, and played by a thread of the
// control with each frame's position, delay and disposal; anything else is shown still. The control
// draws into a back buffer of the picture's size and paints by copying it.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "framework/Framework.h"

class CAnimatedPicture : public CStatic {
public:
    struct Frame {
        IPicture* picture = nullptr;   // owned
        int32_t width = 0, height = 0;
        int32_t left = 0, top = 0;
        uint32_t delay = 0;            // hundredths of a second; all bits set without a graphic control extension
        int32_t disposal = 0;          // 0-7
    };

    CAnimatedPicture();
    ~CAnimatedPicture() override;

    // Copies the resource into a movable memory block and loads that; the block is freed again.
    bool LoadFromResource(HINSTANCE hInstance, HRSRC hResource);
    // Loads the picture in the block (the caller keeps and frees it); true when a picture or at least one
    // frame was loaded and the back buffer was made. Starts with Clear.
    bool Load(HGLOBAL hGlobal, DWORD dwSize);
    // Starts the animation (0), or renders the still picture (1 when it was rendered).
    int Draw();
    // Ends the animation thread, keeping the frame it was at; waits for it to end.
    void Stop();
    // Stop, then releases every picture and GDI object: the control is empty.
    void Clear();

    // The time a frame of this delay is shown, in milliseconds: delay x 10, or 100 for delays below 5.
    static DWORD FrameWaitMilliseconds(uint32_t delay) { return delay >= 5 ? delay * 10u : 100u; }

    // State, for the owner and for tests.
    bool IsPlaying() const { return m_animThread != nullptr; }
    bool IsGif() const { return m_isGif != 0; }
    bool IsPrepared() const { return m_prepared != 0; }
    bool HasStill() const { return m_still != nullptr; }
    CSize GetPictureSize() const { return CSize(m_width, m_height); }
    size_t GetFrameCount() const { return m_frames.size(); }
    const Frame& GetFrame(size_t index) const { return m_frames.at(index); }
    uint32_t GetFrameIndex() const { return m_frameIndex; }
    // A pixel of the back buffer (CLR_INVALID when there is none), read under the buffer's lock.
    COLORREF GetBackBufferPixel(int x, int y) const;

protected:
    void OnPaint();
    void OnDestroy();
    DECLARE_MESSAGE_MAP()

    // Reads the signature, the logical screen and the size of the global colour table of the data in
    // m_data (m_dataSize bytes), and puts the cursor on the first block. kNotGif: not GIF data (m_isGif
    // stays 0); kBrokenGif: GIF data too short for its own header or colour table.
    enum HeaderKind { kNotGif, kGif, kBrokenGif };
    HeaderKind ReadHeader();

    // The block walk over m_data (m_dataSize bytes) at m_cursor.
    enum BlockKind { kApplication, kComment, kGraphicControl, kPlainText, kImage, kTrailer, kUnknown };
    BlockKind KindAt(uint32_t at) const;
    // Length of the block at the cursor, 0 when it has none or would pass the end of the data.
    uint32_t BlockLength(uint32_t at) const;
    bool SkipBlock();
    // Past application and comment blocks, up to the start of the next frame (its graphic control block,
    // image or plain text); false at the trailer or anything unrecognised.
    bool SkipToFrame();
    // Past the extension blocks that follow a graphic control block, up to the image (or plain text) it
    // belongs to; false at anything else.
    bool SkipToImage();
    // Moves past one frame (image or plain text, with what goes before it); false at the end or on bad data.
    bool SkipFrame();
    // Cuts the next frame as a standalone GIF in a new fixed memory block, and reports its record.
    bool CutFrame(HGLOBAL* block, DWORD* length, Frame* frame);
    bool PrepareBackBuffer(int width, int height);

    // Steps of the animation (the thread runs them; they lock the back buffer themselves).
    void ShowFrame(uint32_t index);
    void DisposeFrame(uint32_t index);
    void AdvanceFrame();
    void FillBackground(const RECT& rect);

    int32_t m_width = 0, m_height = 0;
    COLORREF m_background = 0;
    uint32_t m_frameIndex = 0;
    uint32_t m_dataSize = 0;
    uint32_t m_cursor = 0;
    int32_t m_colorTableSize = 0;
    int32_t m_isGif = 0;
    std::atomic<int32_t> m_exit{ 0 };
    int32_t m_prepared = 0;
    HDC m_backDC = nullptr;
    HDC m_saveDC = nullptr;
    HBITMAP m_saveBitmap = nullptr, m_saveOldBitmap = nullptr;
    HBITMAP m_backBitmap = nullptr, m_backOldBitmap = nullptr;
    HANDLE m_animThread = nullptr;
    HANDLE m_stopEvent = nullptr;
    IPicture* m_still = nullptr;
    const BYTE* m_data = nullptr;
    std::vector<Frame> m_frames;

private:
    static unsigned __stdcall AnimationThread(void* self);
    void RenderFrame(const Frame& frame, bool* rendered);

    mutable CRITICAL_SECTION m_lock;   // the back buffer and the save DC: animation thread against painting
};
