// The counting and shredding threads on a drive root: a real small drive (a tmpfs that
// scripts/with-tmpfs-drive maps to a drive letter of a Wine prefix of its own; PELLUMAR_TMPFS_DRIVE names
// it). Without that script every test here is skipped: the prefix's usual drives hold the system.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ImportPatch.h"
#include "JobTestUtil.h"
#include "MessageSink.h"
#include "TestDrive.h"
#include "app/jobs/CalculateMetricsThread.h"
#include "app/jobs/DeleteItemsThread.h"

namespace {

class DriveRootTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = TestDriveRoot();
        if (m_root.empty())
            GTEST_SKIP() << kNoTestDrive;
        ASSERT_EQ(3u, m_root.size());
        ASSERT_TRUE(ListFolder(Root()).empty()) << "the test drive starts empty";
    }

    // The root without its backslash, for building paths below it.
    std::wstring Root() const { return m_root.substr(0, 2); }

    std::wstring File(const std::wstring& relative, size_t size)
    {
        const std::wstring path = Root() + L"\\" + relative;
        EXPECT_TRUE(MakeFolders(path.substr(0, path.find_last_of(L'\\'))));
        EXPECT_TRUE(MakeFile(path, size));
        return path;
    }

    std::wstring m_root;
    MessageSink m_sink;
};

TEST_F(DriveRootTest, ARootIsCountedAndShreddedToTheEndAndKept)
{
    const std::wstring files[] = {File(L"top.bin", 100), File(L"sub\\a.bin", 20), File(L"sub\\deeper\\b.bin", 3)};
    ASSERT_TRUE(MakeFolders(Root() + L"\\empty\\inner"));
    const PathList noFiles, folders{m_root};

    g_hProgressWnd = m_sink.Handle();
    {
        CCalculateMetricsThread counting(&noFiles, &folders);
        ASSERT_TRUE(RunJobToEnd(counting));
    }
    g_hProgressWnd = nullptr;
    m_sink.Pump();
    ASSERT_EQ(1u, m_sink.Count(WM_METRICS_DONE));
    EXPECT_EQ(3u, m_sink.Messages().back().m_result.m_files);
    EXPECT_EQ(123u, m_sink.Messages().back().m_result.m_bytes);

    m_sink.Clear();
    DeleteItemsThread shredding(&noFiles, &folders);
    shredding.m_hWnd = m_sink.Handle();
    shredding.m_method = 1;
    ASSERT_TRUE(RunJobToEnd(shredding));
    m_sink.Pump();
    EXPECT_EQ(0, shredding.m_error.m_kind) << testing::PrintToString(shredding.m_error.m_name.Str()) << " "
                                           << shredding.m_error.m_lastError;
    EXPECT_EQ(3u, shredding.m_itemsDone);
    ASSERT_EQ(1u, m_sink.Count(WM_DELETE_DONE));
    EXPECT_EQ(static_cast<UINT>(WM_DELETE_DONE), m_sink.Messages().back().m_msg);
    for (const std::wstring& file : files)
        EXPECT_FALSE(Exists(file)) << testing::PrintToString(file);
    EXPECT_TRUE(ListFolder(Root()).empty()) << "every file and folder below the root is gone";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_root.c_str())) << "the root itself stays";
}

// A listing that breaks off part-way (a network or device error), which a tmpfs never gives: the seam
// fails the first FindNextFileW with ERROR_UNEXP_NET_ERR.
BOOL WINAPI FindNextBreakingOff(HANDLE, LPWIN32_FIND_DATAW)
{
    SetLastError(ERROR_UNEXP_NET_ERR);
    return FALSE;
}

TEST_F(DriveRootTest, ARootWhoseListingBreaksOffIsAFailureNotAJobDone)
{
    const std::wstring files[] = {File(L"one.bin", 5), File(L"two.bin", 5), File(L"three.bin", 5)};
    struct Cleanup {
        const std::wstring* files;
        ~Cleanup()
        {
            for (int i = 0; i < 3; ++i)
                DeleteFileW(files[i].c_str());  // the next test starts on an empty drive
        }
    } cleanup{files};
    const PathList noFiles, folders{m_root};
    DeleteItemsThread shredding(&noFiles, &folders);
    shredding.m_hWnd = m_sink.Handle();
    shredding.m_method = 1;
    {
        ImportPatch<decltype(::FindNextFileW)> findNext("FindNextFileW", &FindNextBreakingOff);
        ASSERT_TRUE(findNext.IsActive());
        ASSERT_TRUE(RunJobToEnd(shredding));
    }
    m_sink.Pump();
    EXPECT_EQ(DeleteErrorFailed, shredding.m_error.m_kind);
    EXPECT_EQ(m_root, shredding.m_error.m_name.Str());
    EXPECT_EQ(0, shredding.m_error.m_isFile);
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNEXP_NET_ERR), shredding.m_error.m_lastError);
    EXPECT_EQ(1u, shredding.m_itemsDone) << "only the entry the search gave before it broke off";
    EXPECT_EQ(2u, ListFolder(Root()).size());
    ASSERT_EQ(1u, m_sink.Count(WM_DELETE_DONE));
}

TEST_F(DriveRootTest, AnEmptyRootIsAJobDone)
{
    // A root has no "." and ".." entries: the search of an empty one finds nothing at all.
    const PathList noFiles, folders{m_root};
    DeleteItemsThread shredding(&noFiles, &folders);
    shredding.m_hWnd = m_sink.Handle();
    shredding.m_method = 1;
    ASSERT_TRUE(RunJobToEnd(shredding));
    m_sink.Pump();
    EXPECT_EQ(0, shredding.m_error.m_kind) << shredding.m_error.m_lastError;
    EXPECT_TRUE(shredding.m_error.m_name.IsEmpty());
    ASSERT_EQ(1u, m_sink.Messages().size());
    EXPECT_EQ(static_cast<UINT>(WM_DELETE_DONE), m_sink.Messages().back().m_msg);
}

}  // namespace
