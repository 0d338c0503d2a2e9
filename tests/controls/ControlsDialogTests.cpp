// Both controls in the program's own progress-window templates, with the program's own pictures; and
// the pictures themselves: sizes, colour depths, frames, delays and looping as the resources carry them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ControlTestUtil.h"
#include "DialogTestUtil.h"
#include "ShowcaseDialog.h"

using namespace ctltest;

namespace {

CSize ClientSize(HWND wnd)
{
    RECT r;
    ::GetClientRect(wnd, &r);
    return CSize(r.right - r.left, r.bottom - r.top);
}

struct ResourceBytes {
    const BYTE* data = nullptr;
    DWORD size = 0;
};
ResourceBytes FindBytes(UINT id, const wchar_t* type)
{
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!found)
        return {};
    HGLOBAL loaded = ::LoadResource(module, found);
    return { static_cast<const BYTE*>(::LockResource(loaded)), ::SizeofResource(module, found) };
}

// Runs action from the dialog's modal loop once the loop has shown the dialog.
void RunWhenShown(CDialog& dlg, std::function<void()> action)
{
    RunSoon(20, [&dlg, action] {
        if (dlg.m_hWnd && dlg.IsWindowVisible())
            action();
        else
            RunWhenShown(dlg, action);
    });
}

struct ControlsDialogTest : ::testing::Test {
    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES };
        ::InitCommonControlsEx(&icc);
    }
    void TearDown() override { CancelScheduledActions(); }
};

}

TEST_F(ControlsDialogTest, ProgressTemplatesCarryBothControlsWithTheirPictures)
{
    struct Case {
        UINT templ, animation;
        int size;
    };
    for (const Case& c : { Case{ IDD_DELETE_ITEMS, IDR_SHREDDER_LARGE, 128 }, Case{ IDD_DELETE_SPACE, IDR_SHREDDER_SMALL, 64 },
                           Case{ IDD_DELETE_ITEMS_XP, IDR_SHREDDER_LARGE, 128 } }) {
        SCOPED_TRACE(c.templ);
        ShowcaseDialog dlg(c.templ, c.animation);
        bool checked = false;
        RunWhenShown(dlg, [&] {
            checked = true;
            EXPECT_TRUE(dlg.m_animationLoaded);
            EXPECT_TRUE(dlg.m_picture.IsPlaying());
            EXPECT_EQ(dlg.m_picture.GetFrameCount(), 25u);
            EXPECT_EQ(ClientSize(dlg.m_picture.m_hWnd), CSize(c.size, c.size));
            for (CIconButton* b : { &dlg.m_cancelButton, &dlg.m_pauseButton }) {
                EXPECT_EQ(b->GetIconEntrySize(0), CSize(20, 20)) << "21 x 20 icons count as 20 x 20";
                EXPECT_NE(b->GetIconEntry(1), nullptr);
                EXPECT_NE(b->GetIconEntry(2), nullptr);
                EXPECT_EQ(b->GetStyle() & 0x1F, static_cast<DWORD>(BS_OWNERDRAW));
                EXPECT_TRUE(b->GetStyle() & BS_FLAT);
            }
            EXPECT_TRUE(dlg.GetExStyle() & WS_EX_TOPMOST);
            EXPECT_TRUE(dlg.IsWindowVisible()) << "shown by the modal loop";

            // Cancelling disables both buttons: the focus moves from one to the other, then to the dialog.
            dlg.m_cancelButton.SetFocus();
            dlg.m_cancelButton.EnableWindow(FALSE);
            EXPECT_EQ(::GetFocus(), dlg.m_pauseButton.m_hWnd);
            dlg.m_pauseButton.EnableWindow(FALSE);
            // The dialog gets it; its dialog manager may hand it on to a control that takes no tab stop.
            HWND focus = ::GetFocus();
            EXPECT_TRUE(focus == dlg.m_hWnd || ::IsChild(dlg.m_hWnd, focus));
            EXPECT_NE(focus, dlg.m_pauseButton.m_hWnd);
            EXPECT_NE(focus, dlg.m_cancelButton.m_hWnd);
            dlg.m_picture.Stop();
            EXPECT_FALSE(dlg.m_picture.IsPlaying());
            dlg.m_picture.Draw();
            dlg.EndDialog(IDOK);
        });
        EXPECT_EQ(dlg.DoModal(), IDOK);
        EXPECT_TRUE(checked);
        EXPECT_FALSE(dlg.m_picture.IsPlaying()) << "the window's end stopped the animation";
    }
}

TEST(ProgramArt, IconsHaveTheirSizesAndThirtyTwoBitColour)
{
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
    struct GroupHeader {
        WORD reserved, type, count;
        GroupEntry entries[1];
    };
#pragma pack(pop)
    struct Case {
        UINT id;
        std::vector<std::pair<int, int>> sizes;
    };
    const Case cases[] = {
        { IDI_APP, { { 48, 48 }, { 32, 32 }, { 16, 16 } } },
        { IDI_CANCEL, { { 21, 20 } } },
        { IDI_PAUSE, { { 21, 20 } } },
        { IDI_RESUME, { { 21, 20 } } },
        { IDI_EMBLEM, { { 64, 64 } } },
        { IDI_RECYCLE_BIN, { { 32, 32 } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        ResourceBytes group = FindBytes(c.id, RT_GROUP_ICON);
        ASSERT_NE(group.data, nullptr);
        const auto* header = reinterpret_cast<const GroupHeader*>(group.data);
        ASSERT_EQ(header->count, c.sizes.size());
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            EXPECT_EQ(header->entries[i].width, c.sizes[i].first);
            EXPECT_EQ(header->entries[i].height, c.sizes[i].second);
            EXPECT_EQ(header->entries[i].bitCount, 32);
        }
        // Loaded at its own size, the first image has see-through and solid pixels.
        HICON icon = static_cast<HICON>(
            ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(c.id), IMAGE_ICON,
                         c.sizes[0].first, c.sizes[0].second, 0));
        ASSERT_NE(icon, nullptr);
        IconPixels pixels = ReadIcon(icon);
        ASSERT_EQ(pixels.width, c.sizes[0].first);
        ASSERT_EQ(pixels.height, c.sizes[0].second);
        int solid = 0, clear = 0;
        for (uint32_t p : pixels.pixels) {
            solid += (p >> 24) == 0xFF;
            clear += (p >> 24) == 0;
        }
        EXPECT_GT(solid, 0);
        EXPECT_GT(clear, 0);
        ::DestroyIcon(icon);
    }
}

TEST(ProgramArt, BannersAreTwentyFourBitAndFiftyEightHigh)
{
    for (auto [id, width] : { std::pair{ IDB_SETTINGS_BANNER, 770 }, std::pair{ IDB_ABOUT_BANNER, 618 } }) {
        SCOPED_TRACE(id);
        ResourceBytes bytes = FindBytes(id, RT_BITMAP);
        ASSERT_GE(bytes.size, sizeof(BITMAPINFOHEADER));
        const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(bytes.data);
        EXPECT_EQ(info->biWidth, width);
        EXPECT_EQ(info->biHeight, 58);
        EXPECT_EQ(info->biBitCount, 24);
        HBITMAP bitmap = ::LoadBitmapW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
        ASSERT_NE(bitmap, nullptr);
        BITMAP bm{};
        ::GetObjectW(bitmap, sizeof(bm), &bm);
        EXPECT_EQ(bm.bmWidth, width);
        EXPECT_EQ(bm.bmHeight, 58);
        ::DeleteObject(bitmap);
    }
}

TEST(ProgramArt, AnimationsAreLoopingGifsOfTwentyFiveOneSecondFrames)
{
    for (auto [id, size] : { std::pair{ IDR_SHREDDER_LARGE, 128 }, std::pair{ IDR_SHREDDER_SMALL, 64 } }) {
        SCOPED_TRACE(id);
        ResourceBytes gif = FindBytes(id, L"GIF");
        ASSERT_GT(gif.size, 13u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(gif.data), 6), "GIF89a");
        EXPECT_EQ(gif.data[6] | (gif.data[7] << 8), size);
        EXPECT_EQ(gif.data[8] | (gif.data[9] << 8), size);
        // The first frame: its graphic control extension, then the looping application extension.
        const size_t table = (gif.data[10] & 0x80) ? 3u << ((gif.data[10] & 7) + 1) : 0;
        const BYTE* first = gif.data + 13 + table;
        EXPECT_EQ(first[0], 0x21);
        EXPECT_EQ(first[1], 0xF9);
        EXPECT_EQ(first[8], 0x21);
        EXPECT_EQ(first[9], 0xFF);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(first + 11), 11), "NETSCAPE2.0");

        // Loaded from the resource, as the progress window loads it.
        DialogTemplateBuilder templ(L"Animation", 120, 120, WS_POPUP | WS_CAPTION);
        templ.Add(DialogTemplateBuilder::kStatic, IDC_ANIMATION, L"", SS_ICON | SS_REALSIZEIMAGE | WS_VISIBLE, 8, 8, 21, 20);
        HWND dlg = CreatePlainDialog(templ.Get());
        {
            CAnimatedPicture picture;
            ASSERT_TRUE(picture.SubclassDlgItem(IDC_ANIMATION, CWnd::FromHandle(dlg)));
            HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"GIF");
            ASSERT_TRUE(picture.LoadFromResource(::GetModuleHandleW(nullptr), found));
            EXPECT_EQ(picture.GetPictureSize(), CSize(size, size));
            ASSERT_EQ(picture.GetFrameCount(), 25u);
            for (size_t i = 0; i < 25; ++i) {
                EXPECT_EQ(picture.GetFrame(i).delay, 100u) << i;
                EXPECT_EQ(picture.GetFrame(i).width, size) << i;
                EXPECT_EQ(picture.GetFrame(i).height, size) << i;
            }
            EXPECT_FALSE(picture.LoadFromResource(::GetModuleHandleW(nullptr), nullptr));
        }
        ::DestroyWindow(dlg);
    }
}
