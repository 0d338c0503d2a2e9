// The progress dialog in free-space mode on a real small drive (a tmpfs that scripts/with-tmpfs-drive maps
// to a drive letter of a private prefix). Without that script the test is skipped: a wipe of the prefix's
// usual drives would fill the machine's disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "DialogWatch.h"
#include "FreeSpaceFakes.h"
#include "JobTestUtil.h"
#include "TestDrive.h"
#include "app/jobs/DeleteItemDlg.h"
#include "app/res/resource.h"

namespace {

class FreeSpaceDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        USE_SMALL_EMPTY_TEST_DRIVE(m_root, nullptr, nullptr);
        // Wine answers no NTFS volume data: file records of 1024 bytes let the resident phase run.
        m_fakes.reset(new FreeSpaceFakes(m_root.substr(0, 2)));
        ASSERT_TRUE(m_fakes->IsActive());
        m_fakes->SetRecordSize(1024);
        m_fakes->FailCreatesAfter(2000);
    }
    void TearDown() override
    {
        m_fakes.reset();
        if (!m_sentinel.empty())
            DeleteFileW(m_sentinel.c_str());
    }

    std::wstring m_root;
    std::wstring m_sentinel;
    std::unique_ptr<FreeSpaceFakes> m_fakes;
};

TEST_F(FreeSpaceDialogTest, WipesShowingItselfAtOnceAndAPauseClickStartsNoShredding)
{
    // The one file the user has on the drive: nothing may touch it.
    m_sentinel = m_root + L"keep.txt";
    ASSERT_TRUE(MakeFile(m_sentinel, 5000, 's'));

    CDeleteItemDlg dlg(m_root.c_str());
    dlg.m_settings.m_deleteMethod = 1;  // one pass of zeros
    bool shownWhilePreparing = false;
    bool pauseHidden = true;
    std::atomic<int> clicks{0};
    // The wipe waits in its first write until every click was made, so that it is still preparing (no
    // progress yet) while the test looks and clicks, however fast or slow it runs. A stop ends the wait.
    // (The sentinel's own write came before: only the writes from here on are counted.)
    std::atomic<bool> writing{false};
    m_fakes->OnWrite([&](int) {
        if (writing.exchange(true))
            return;
        while (clicks < 5 && dlg.m_freeSpaceThread.m_stop == kCancelGoOn)
            SleepEx(1, FALSE);
    });
    DialogWatch watch([&] { return dlg.m_hWnd; }, 2);
    watch.m_onTick = [&](HWND dialog) {
        wchar_t title[128] = {};
        GetWindowTextW(dialog, title, 128);
        const std::wstring text = title;
        if (IsWindowVisible(dialog) && text == L"Preparing to delete")
            shownWhilePreparing = true;
        if (IsWindowVisible(GetDlgItem(dialog, IDC_PAUSE)))
            pauseHidden = false;
        // Button 3 clicked (posted as the dialog manager would) while the wipe runs.
        if (writing && clicks < 5 && watch.m_ticks % 3 == 0) {
            ++clicks;
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_PAUSE)));
        }
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(5, clicks.load());
    EXPECT_TRUE(watch.m_everVisible);
    EXPECT_TRUE(shownWhilePreparing);
    EXPECT_GT(dlg.m_totalBytes, 0u);   // the drive's free bytes
    EXPECT_EQ(100, dlg.m_lastPercent);
    EXPECT_TRUE(pauseHidden);
    EXPECT_TRUE(watch.m_boxes.empty());
    EXPECT_EQ(CDeleteItemDlg::kJobIdle, dlg.m_deleteState);
    EXPECT_EQ(CDeleteItemDlg::kJobIdle, dlg.m_metricsState);
    EXPECT_EQ(0, dlg.m_freeSpaceThread.m_failed);

    // The sentinel is whole, and it is all the drive holds.
    EXPECT_EQ(std::vector<std::wstring>{L"keep.txt"}, ListFolder(m_root.substr(0, 2)));
    HANDLE file = CreateFileW(m_sentinel.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::vector<char> contents(6000);
    DWORD read = 0;
    ReadFile(file, contents.data(), 6000, &read, nullptr);
    CloseHandle(file);
    ASSERT_EQ(5000u, read);
    for (DWORD i = 0; i < read; ++i)
        ASSERT_EQ('s', contents[i]) << i;
}

TEST_F(FreeSpaceDialogTest, AFailedWipeShowsTheFailureBoxAndEndsWithCancel)
{
    // Wine running as root may create files anywhere: the fake refuses the fill's first file with the
    // access denied that Windows gives in a folder the user may not write to.
    m_fakes->FailCreatesAfter(0, ERROR_ACCESS_DENIED);
    CDeleteItemDlg dlg(m_root.c_str());
    dlg.m_settings.m_deleteMethod = 1;
    DialogWatch watch([&] { return dlg.m_hWnd; });
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(1, dlg.m_freeSpaceThread.m_failed);
    EXPECT_EQ(CDeleteItemDlg::kJobDone, dlg.m_freeSpaceState);
    CString failed;
    failed.LoadString(IDS_FREE_SPACE_FAILED);
    ASSERT_EQ(1u, watch.m_boxes.size());
    EXPECT_EQ(failed.Str(), watch.m_boxes[0].text);
    // The fill's folder went with the failed wipe.
    EXPECT_TRUE(ListFolder(m_root.substr(0, 2)).empty());
}

}  // namespace
