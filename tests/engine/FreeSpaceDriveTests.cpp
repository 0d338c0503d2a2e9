// The free-space fill on a real small drive: a tmpfs of a few MiB that scripts/with-tmpfs-drive mounts and
// maps to a drive letter of a Wine prefix of its own (PELLUMAR_TMPFS_DRIVE names it). Run without that
// script, every test here is skipped: a fill of the prefix's usual drives would fill the machine's disk.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FreeSpaceFakes.h"
#include "MessageSink.h"
#include "TestDrive.h"
#include "TempDir.h"
#include "engine/ErasureMethod.h"
#include "engine/FreeSpace.h"
#include "libcommon/Volume.h"

namespace {

constexpr uint64_t MiB = 1024 * 1024;

std::unique_ptr<CErasureMethod> ConstantMethod(std::vector<uint8_t> bytes)
{
    std::unique_ptr<CErasureMethod> method(new CErasureMethod);
    for (uint8_t b : bytes) {
        method->m_passes.push_back(new CWriteConstant({b}));
    }
    return method;
}

// For every fill file (in order of the reports), the last progress report it got.
std::vector<DeleteProgress> LastReportOfEachFile(const std::vector<DeleteProgress>& progress)
{
    std::vector<DeleteProgress> last;
    for (size_t i = 0; i < progress.size(); ++i) {
        if (i + 1 == progress.size() || progress[i + 1].m_name != progress[i].m_name) {
            last.push_back(progress[i]);
        }
    }
    return last;
}

class FreeSpaceDriveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        USE_SMALL_EMPTY_TEST_DRIVE(m_root, &m_capacity, &m_free);

        std::wstring path = m_root;
        m_volume.reset(GetVolumeForPath(path));
        ASSERT_TRUE(m_volume) << "no volume for the test drive";
        m_folder = m_root + L"fill";
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
    }

    void TearDown() override
    {
        if (m_root.empty()) {
            return;
        }
        m_fakes.reset();
        EXPECT_TRUE(TempDir::RemoveTree(m_folder));
        EXPECT_EQ(m_capacity, DriveFreeBytes(m_root)) << "the drive did not get its space back";
    }

    // Checks that the fill files hold every free byte of the drive, each written last with lastByte, and
    // that the progress of each file reached all its passes.
    void ExpectEveryFreeByteWritten(uint8_t lastByte, int passes)
    {
        EXPECT_EQ(0u, DriveFreeBytes(m_root));
        EXPECT_EQ(m_free, TotalSizeIn(m_folder));
        for (const std::wstring& name : FilesIn(m_folder)) {
            EXPECT_TRUE(FileHoldsOnly(m_folder + L"\\" + name, lastByte)) << "fill file not overwritten";
        }
        m_sink.Pump();
        ASSERT_GE(m_sink.Messages().size(), 2u);
        EXPECT_EQ(WM_FREE_SPACE_TOTAL, m_sink.Messages()[0].m_msg);
        uint64_t before = 0;
        for (const DeleteProgress& p : LastReportOfEachFile(m_sink.Progress())) {
            EXPECT_EQ(passes, p.m_passNumber);
            EXPECT_EQ(before + passes * TempDir::FileSize(p.m_name), p.m_bytesProcessed);
            before = p.m_bytesProcessed;
        }
        EXPECT_EQ(passes * m_free, before);
    }

    std::wstring m_root;
    uint64_t m_capacity = 0;
    uint64_t m_free = 0;
    std::unique_ptr<CVolume> m_volume;
    std::wstring m_folder;
    std::unique_ptr<FreeSpaceFakes> m_fakes;
    MessageSink m_sink;
    CancelFlag m_cancel{0};
};

TEST_F(FreeSpaceDriveTest, FillWritesEveryFreeByteWithEveryPassAndTheResidentPhaseEnds)
{
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, FillFreeSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method.get()));
    ExpectEveryFreeByteWritten(0x33, 3);
    EXPECT_EQ(m_free, m_sink.Messages()[0].m_total);
    // The fill files, the last of them empty: the file the full drive refused.
    const size_t fillFiles = FilesIn(m_folder).size();

    // On the full drive, with NTFS records of 1024 bytes (Wine has no NTFS volume data). Wine refuses to
    // extend a file on a drive without a free byte (ERROR_DISK_FULL), so the size shrinks a byte per small
    // file down to nothing; where it extends anyway, each refused write halves the size (at most 11 writes
    // from 1024 bytes down to 1). Either way the phase ends.
    m_fakes.reset(new FreeSpaceFakes(m_folder));
    m_fakes->SetRecordSize(1024);
    m_fakes->FailCreatesAfter(2000);  // bounds the loop should the phase go on
    m_sink.Clear();
    EXPECT_EQ(1, FillResidentSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method.get()));
    m_sink.Pump();
    ASSERT_EQ(2u, m_sink.Messages().size());
    EXPECT_EQ(1, m_sink.Messages()[0].m_flag);
    EXPECT_EQ(0, m_sink.Messages()[1].m_flag);
    EXPECT_LE(m_fakes->WriteCalls(), 11);
    const std::vector<std::wstring> files = FilesIn(m_folder);
    EXPECT_LE(files.size(), fillFiles + 1024u);
    EXPECT_EQ(m_free, TotalSizeIn(m_folder));  // no small file holds data: there was no room
}

TEST_F(FreeSpaceDriveTest, WriteIntoTheEndOfTheDriveKeepsWhatFitAndWritesEveryPassOverIt)
{
    // The first free count promises 3 MiB more than the drive holds, as when something else takes space
    // while the fill runs. Wine extends the file anyway and reports the end of the drive only when the
    // data is written.
    m_fakes.reset(new FreeSpaceFakes(m_folder));
    m_fakes->InflateFirstFreeBytes(3 * MiB);
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, FillFreeSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method.get()));
    // The file that met the end holds everything: the smaller ones after it got nothing.
    size_t empty = 0;
    for (const std::wstring& name : FilesIn(m_folder))
        empty += TempDir::FileSize(m_folder + L"\\" + name) == 0 ? 1 : 0;
    EXPECT_EQ(FilesIn(m_folder).size() - 1, empty);
    m_sink.Pump();
    // The total shown is what the drive promised.
    EXPECT_EQ(m_free + 3 * MiB, m_sink.Messages()[0].m_total);
    ExpectEveryFreeByteWritten(0x33, 3);
}

TEST_F(FreeSpaceDriveTest, ClustersHeldBackAtTheRefusedWriteAreFilledByTheNextFile)
{
    // The drive refuses a write while three clusters are still free, as ext4 does while it holds clusters
    // back for the writes in flight; they are free again once the refused file is on the disk. Deleted
    // data lies in them too: the fill goes on until a file takes nothing.
    m_fakes.reset(new FreeSpaceFakes(m_folder));
    m_fakes->HoldBackOnce(3 * 4096);
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, FillFreeSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method.get()));
    ExpectEveryFreeByteWritten(0x33, 3);
}

TEST_F(FreeSpaceDriveTest, CancelDuringTheFillKeepsOneFileAndEndsTheFill)
{
    m_fakes.reset(new FreeSpaceFakes(m_folder));
    m_fakes->OnWrite([this](int number) {
        if (number == 2) {
            m_cancel.store(1);
        }
    });
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, FillFreeSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method.get()));
    EXPECT_EQ(1u, FilesIn(m_folder).size());
    // The stop is seen before the next chunk: the first one is written whole (a pattern pass writes a
    // chunk as repeated writes of its 256 KiB stretch), nothing after it.
    EXPECT_EQ(static_cast<int>(kOverwriteBufferSize / kPatternSpan), m_fakes->WriteCalls());
}

}  // namespace
