// The free-space job on a real small drive: a tmpfs that scripts/with-tmpfs-drive mounts and maps to a
// drive letter of a Wine prefix of its own (PELLUMAR_TMPFS_DRIVE names it). Without that script every test
// here is skipped: a wipe of the prefix's usual drives would fill the machine's disk.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FreeSpaceFakes.h"
#include "JobTestUtil.h"
#include "MessageSink.h"
#include "TestDrive.h"
#include "app/jobs/CleanFreeSpaceThread.h"

namespace {

class CleanFreeSpaceDriveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        USE_SMALL_EMPTY_TEST_DRIVE(m_root, &m_capacity, &m_free);
        // Counts what is written on the drive; Wine has no NTFS volume data, so the records are faked
        // (1024 bytes) to let the resident phase run on the full drive.
        m_fakes.reset(new FreeSpaceFakes(m_root.substr(0, 2)));
        ASSERT_TRUE(m_fakes->IsActive());
        m_fakes->SetRecordSize(1024);
        m_fakes->FailCreatesAfter(2000);  // only bounds the phase should it go on without end
    }

    void TearDown() override { m_fakes.reset(); }

    bool RunJob(CleanFreeSpaceThread& job, int32_t method)
    {
        job.m_hWnd = m_sink.Handle();
        job.m_method = method;
        // Posting never waits for the receiver: the messages queue up until the job has ended.
        const bool ended = RunJobToEnd(job, 120000);
        m_sink.Pump();
        return ended;
    }

    std::wstring m_root;
    uint64_t m_capacity = 0;
    uint64_t m_free = 0;
    std::unique_ptr<FreeSpaceFakes> m_fakes;
    MessageSink m_sink;
};

TEST_F(CleanFreeSpaceDriveTest, WipesEveryFreeByteWithEveryPassAndLeavesTheDriveAsItWas)
{
    CleanFreeSpaceThread job(m_root.c_str());
    ASSERT_TRUE(RunJob(job, 4));  // US Air Force 5020: three constant passes
    EXPECT_EQ(0, job.m_failed);

    // The messages, in the order of a free-space job.
    const std::vector<MessageSink::Message>& messages = m_sink.Messages();
    ASSERT_GE(messages.size(), 6u);
    size_t i = 0;
    EXPECT_EQ(WM_SHOW_PROGRESS, messages[i++].m_msg);
    EXPECT_EQ(WM_FREE_SPACE_TOTAL, messages[i].m_msg);
    EXPECT_EQ(m_free, messages[i++].m_total);
    while (i < messages.size() && messages[i].m_msg == WM_DELETE_PROGRESS) {
        EXPECT_EQ(1, messages[i].m_progress.m_freeSpace);
        ++i;
    }
    ASSERT_EQ(i + 3, messages.size());
    EXPECT_EQ(WM_RESIDENT_PHASE, messages[i].m_msg);
    EXPECT_EQ(1, messages[i].m_flag);
    EXPECT_EQ(WM_RESIDENT_PHASE, messages[i + 1].m_msg);
    EXPECT_EQ(0, messages[i + 1].m_flag);
    EXPECT_EQ(WM_FREE_SPACE_DONE, messages[i + 2].m_msg);

    // Every free byte was written with each of the three passes, in fill files of the job's folder,
    // directly under the root; the small files lie in folders below it.
    const std::vector<DeleteProgress> progress = m_sink.Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(3 * m_free, progress.back().m_bytesProcessed);
    uint64_t fillBytes = 0;
    for (const auto& [path, bytes] : m_fakes->BytesWritten()) {
        const std::wstring folder = path.substr(0, path.rfind(L'\\'));
        const size_t jobFolder = m_root.size() + 36;
        ASSERT_GE(folder.size(), jobFolder) << path;
        EXPECT_EQ(m_root, folder.substr(0, m_root.size()));
        EXPECT_EQ(std::wstring::npos, folder.substr(m_root.size(), 36).find(L'\\')) << path;
        EXPECT_TRUE(folder.size() == jobFolder || folder[jobFolder] == L'\\') << path;
        if (folder.size() == jobFolder && path.size() == folder.size() + 1 + 18) {
            fillBytes += bytes;
        }
    }
    EXPECT_EQ(3 * m_free, fillBytes);

    // Nothing of the job remains.
    EXPECT_TRUE(DriveIsEmpty(m_root));
    EXPECT_EQ(m_capacity, DriveFreeBytes(m_root));
}

TEST_F(CleanFreeSpaceDriveTest, StopDuringTheFillLeavesTheDriveAsItWasAndPostsNoCompletion)
{
    CleanFreeSpaceThread job(m_root.c_str());
    m_fakes->OnWrite([&job](int number) {
        if (number == 3) {
            job.Stop();
        }
    });
    ASSERT_TRUE(RunJob(job, 4));
    EXPECT_EQ(0u, m_sink.Count(WM_FREE_SPACE_DONE));
    EXPECT_TRUE(DriveIsEmpty(m_root));
    EXPECT_EQ(m_capacity, DriveFreeBytes(m_root));
}

}  // namespace
