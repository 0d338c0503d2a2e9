// The progress dialog in free-space mode on a real small drive (a tmpfs that scripts/with-tmpfs-drive maps
// to a drive letter of a private prefix). Without that script the test is skipped: a wipe of the prefix's
// usual drives would fill the machine's disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "DialogWatch.h"
#include "FreeSpaceFakes.h"
#include "ImportPatch.h"
#include "JobTestUtil.h"
#include "ProgressWatch.h"
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

// Wine reports a FAT file system only for a drive backed by a device (a loop-mounted image under the FUSE
// driver); the test drive is a tmpfs, which Wine calls NTFS. The fake names it FAT, as Windows names a
// FAT16 volume, so that the job runs as on one: without the resident-file phase.
ImportPatch<decltype(::GetVolumeInformationW)>* g_volumeInformation = nullptr;
BOOL WINAPI FatVolumeInformation(LPCWSTR root, LPWSTR label, DWORD labelSize, LPDWORD serial, LPDWORD maxName,
                                 LPDWORD flags, LPWSTR fileSystem, DWORD fileSystemSize)
{
    if (!g_volumeInformation->Original()(root, label, labelSize, serial, maxName, flags, fileSystem, fileSystemSize))
        return FALSE;
    if (fileSystem && fileSystemSize > 3)
        lstrcpyW(fileSystem, L"FAT");
    return TRUE;
}

// Wipes the test drive through the dialog and checks, after every message of the job, the title, the
// percentage line and the bar: percentages that follow the fill, and a marquee only for the resident files.
void WipeWatchingTheBar(const std::wstring& root, bool fat)
{
    std::unique_ptr<ImportPatch<decltype(::GetVolumeInformationW)>> fatVolume;
    if (fat) {
        fatVolume.reset(new ImportPatch<decltype(::GetVolumeInformationW)>("GetVolumeInformationW",
                                                                           &FatVolumeInformation));
        g_volumeInformation = fatVolume.get();
        ASSERT_TRUE(fatVolume->IsActive());
    }
    CDeleteItemDlg dlg(root.c_str());
    dlg.m_settings.m_deleteMethod = 1;  // one pass of zeros
    ProgressRecorder recorder([&] { return dlg.m_hWnd; });
    ASSERT_TRUE(recorder.IsActive());
    EXPECT_EQ(IDOK, dlg.DoModal());
    fatVolume.reset();

    uint64_t total = 0;
    std::vector<int> percents;
    std::vector<int32_t> phases;
    bool inResidentPhase = false;
    for (const ProgressRecorder::Seen& seen : recorder.m_seen) {
        const ProgressView& view = seen.m_view;
        if (seen.m_message == WM_FREE_SPACE_TOTAL) {
            // The base of the percentage is known: the bar stands at 0, ready to move.
            total = static_cast<uint64_t>(seen.m_value);
            EXPECT_GT(total, 0u);
            EXPECT_FALSE(view.m_marquee);
            EXPECT_EQ(0, view.m_low);
            EXPECT_EQ(100, view.m_high);
            EXPECT_EQ(0, view.m_pos);
            continue;
        }
        if (seen.m_message == WM_RESIDENT_PHASE) {
            phases.push_back(static_cast<int32_t>(seen.m_value));
            inResidentPhase = seen.m_value != 0;
            EXPECT_EQ(L"Deleting resident files", view.m_title);
            EXPECT_EQ(inResidentPhase, view.m_marquee);
            continue;
        }
        ASSERT_EQ(WM_DELETE_PROGRESS, seen.m_message);
        const DeleteProgress& progress = seen.m_progress;
        SCOPED_TRACE(testing::Message() << "fill progress of " << progress.m_bytesProcessed << " bytes");
        EXPECT_EQ(1, progress.m_freeSpace);
        EXPECT_FALSE(inResidentPhase);
        const int percent = ExpectPercentShown(view, progress, total, L"Deleting unused space : ");
        if (percents.empty() || percents.back() != percent)
            percents.push_back(percent);
    }
    EXPECT_EQ(total, dlg.m_totalBytes);
    // The bar moved with the fill, chunk by chunk, to its end.
    EXPECT_GE(percents.size(), 3u);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(100, percents.back());
    // The resident-file phase, where it runs, begins and ends once, after the fill.
    EXPECT_EQ(fat ? std::vector<int32_t>{} : (std::vector<int32_t>{1, 0}), phases);
    if (!recorder.m_seen.empty() && !fat) {
        EXPECT_EQ(static_cast<UINT>(WM_RESIDENT_PHASE), recorder.m_seen.back().m_message);
    }
    EXPECT_EQ(0, dlg.m_freeSpaceThread.m_failed);
    EXPECT_TRUE(DriveIsEmpty(root));
}

TEST_F(FreeSpaceDialogTest, TheBarFollowsTheFillsPercentageAndRunsAMarqueeOnlyForTheResidentFiles)
{
    WipeWatchingTheBar(m_root, false);
}

TEST_F(FreeSpaceDialogTest, OnFat16WhichHasNoResidentPhaseTheBarFollowsTheFillToItsEnd)
{
    WipeWatchingTheBar(m_root, true);
}

// Free space that the fill cannot reach (a quota or a reserve keeps 1 MiB from the caller): the wipe of all
// that the drive gave fails, and the box says how much was not wiped.
TEST_F(FreeSpaceDialogTest, FreeSpaceOutOfTheFillsReachFailsTheWipeAndTheBoxSaysHowMuch)
{
    m_fakes->HoldBackFreeBytes(1024 * 1024);
    CDeleteItemDlg dlg(m_root.c_str());
    dlg.m_settings.m_deleteMethod = 1;
    DialogWatch watch([&] { return dlg.m_hWnd; });
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(1, dlg.m_freeSpaceThread.m_failed);
    EXPECT_EQ(1024u * 1024u, dlg.m_freeSpaceThread.m_unwipedBytes);
    ASSERT_EQ(1u, watch.m_boxes.size());
    EXPECT_EQ(L"Failed to purge free space: 1 MB (1048576 bytes) of the free space could not be wiped.",
              watch.m_boxes[0].text);
    EXPECT_TRUE(DriveIsEmpty(m_root));
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
