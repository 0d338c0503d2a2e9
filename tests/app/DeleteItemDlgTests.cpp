// The progress dialog run for real under Wine: real files in a temporary folder, the real job threads
// and engine, the real modal loop, message boxes seen and pressed by a timer of the test thread.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "DialogRunner.h"
#include "JobTestUtil.h"
#include "TempDir.h"
#include "app/jobs/DeleteItemDlg.h"
#include "app/res/resource.h"

namespace {

// Method 1 writes one pass of zeros: no slow random data.
const DWORD kOnePass = 1;

std::wstring WindowText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

// The dialog with the method set before it runs (the registry of the prefix is shared with other test
// programs that run at the same time).
class TestDlg : public CDeleteItemDlg {
public:
    TestDlg(const PathList* files, const PathList* folders, BOOL recycleBin, DWORD method = kOnePass)
        : CDeleteItemDlg(files, folders, recycleBin)
    {
        m_settings.m_deleteMethod = method;
    }
    UINT TemplateId() const { return m_nIDTemplate; }
};

class DeleteItemDlgTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.IsValid()); }
    void TearDown() override { CancelScheduledActions(); }

    std::wstring File(const std::wstring& name, size_t size, char fill = 'x')
    {
        const std::wstring path = m_dir.Join(name);
        EXPECT_TRUE(MakeFile(path, size, fill));
        return path;
    }

    PathList Files(int count, size_t size)
    {
        PathList files;
        for (int i = 0; i < count; ++i)
            files.push_back(File(L"f" + std::to_wstring(i) + L".bin", size));
        return files;
    }

    static bool AllGone(const PathList& paths)
    {
        for (const std::wstring& path : paths)
            if (Exists(path))
                return false;
        return true;
    }

    TempDir m_dir{L"pellumar-dlg"};
};

TEST_F(DeleteItemDlgTest, ASmallJobStaysHiddenInactiveAndEndsWithOk)
{
    // 10 files of 26,214 bytes: 262,140 byte-passes with one pass, just below both thresholds.
    const PathList files = Files(10, 26214);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    DialogWatch watch([&] { return dlg.m_hWnd; });
    EXPECT_EQ(IDD_DELETE_ITEMS, dlg.TemplateId());

    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(AllGone(files));
    EXPECT_FALSE(watch.m_everVisible);
    EXPECT_FALSE(watch.m_everActive);
    EXPECT_FALSE(watch.m_everFocused);
    EXPECT_TRUE(watch.m_boxes.empty());
    EXPECT_EQ(1, dlg.m_stayHidden);
    EXPECT_EQ(10u, dlg.m_totalItems);
    EXPECT_EQ(262140u, dlg.m_totalBytes);
}

TEST_F(DeleteItemDlgTest, ALargeJobShowsItselfActiveOnCancelAndReaches100)
{
    // 11 files: one more than a hidden job may have.
    const PathList files = Files(11, 100);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    bool focusOnCancel = false;
    DialogWatch watch([&] { return dlg.m_hWnd; });
    watch.m_onTick = [&](HWND dialog) {
        if (IsWindowVisible(dialog) && GetFocus() == GetDlgItem(dialog, IDCANCEL))
            focusOnCancel = true;
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(AllGone(files));
    EXPECT_TRUE(watch.m_everVisible);
    EXPECT_TRUE(watch.m_everActive);
    EXPECT_TRUE(focusOnCancel);
    EXPECT_EQ(0, dlg.m_stayHidden);
    EXPECT_EQ(100, dlg.m_lastPercent);
    EXPECT_EQ(0u, dlg.m_lastRemaining);
    EXPECT_TRUE(watch.m_boxes.empty());
}

}  // namespace
