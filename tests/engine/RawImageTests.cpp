// What reaches the disk. scripts/with-tmpfs-drive --ext4-image maps a loop-mounted ext4 image (kept in a
// tmpfs) to a drive letter: a page-cached file system, where the kernel drops the unwritten pages of a
// deleted file, so an overwrite that is never flushed never reaches the image. First run (the drive in
// PELLUMAR_TMPFS_DRIVE): marker lines are written to the disk and then wiped, by a free-space fill and by
// a shred. Second run, after the image is unmounted (PELLUMAR_RAW_IMAGE): the raw image must hold none of
// them, and still every line of a file that was kept, which shows that the scan sees what is on the disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestDrive.h"
#include "engine/ErasureMethod.h"
#include "engine/FreeSpace.h"
#include "engine/ShredFile.h"
#include "libcommon/Volume.h"

namespace {

const char kShredMarker[] = "PELLUMAR-SHRED-MARKER-";
const char kFillMarker[] = "PELLUMAR-FILL-MARKER-";
const char kKeptMarker[] = "PELLUMAR-KEPT-MARKER-";
constexpr int kKeptLines = 2000;

std::wstring RawImagePath()
{
    wchar_t value[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(L"PELLUMAR_RAW_IMAGE", value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(value) : std::wstring();
}

// Writes lines of marker and a number until the file holds at least bytes, and makes sure they are on
// the disk before it returns.
bool WriteMarkerFile(const std::wstring& path, const char* marker, size_t bytes)
{
    std::string text;
    int count = 0;
    while (text.size() < bytes) {
        char line[64];
        std::snprintf(line, sizeof line, "%s%07d\n", marker, count++);
        text += line;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    return ok;
}

size_t CountOccurrences(const std::vector<uint8_t>& data, const char* marker)
{
    const std::string needle(marker);
    const std::string haystack(data.begin(), data.end());
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

class OnTheDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = TestDriveRoot();
        if (m_root.empty())
            GTEST_SKIP() << "runs on the ext4 image drive of scripts/with-tmpfs-drive --ext4-image";
    }
    std::wstring m_root;
    CancelFlag m_cancel{0};
};

// The tests of this fixture run in this order: the fill first, so that it cannot cover for the shred.
TEST_F(OnTheDrive, AFreeSpaceFillOverwritesWhatADeletedFileLeftOnTheDisk)
{
    // A file that stays, of kKeptLines lines exactly: the scan must find every one of them.
    {
        std::string text;
        for (int i = 0; i < kKeptLines; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "%s%07d\n", kKeptMarker, i);
            text += line;
        }
        HANDLE file = CreateFileW((m_root + L"kept.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                  nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
        EXPECT_TRUE(FlushFileBuffers(file));
        CloseHandle(file);
    }

    const std::wstring deleted = m_root + L"deleted.txt";
    ASSERT_TRUE(WriteMarkerFile(deleted, kFillMarker, 2 * 1024 * 1024));
    ASSERT_TRUE(DeleteFileW(deleted.c_str()));

    std::wstring rootPath = m_root;
    std::unique_ptr<CVolume> volume(GetVolumeForPath(rootPath));
    ASSERT_TRUE(volume);
    const std::wstring folder = m_root + L"fill";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(1));
    ASSERT_TRUE(method);
    EXPECT_EQ(1, FillFreeSpace(nullptr, volume.get(), &m_cancel, folder, method.get()));
    EXPECT_EQ(1, FillResidentSpace(nullptr, volume.get(), &m_cancel, folder, method.get()));
    EXPECT_TRUE(TempDir::RemoveTree(folder));
}

TEST_F(OnTheDrive, AShreddedFileLeavesNothingOfItselfOnTheDisk)
{
    const std::wstring path = m_root + L"shred.txt";
    ASSERT_TRUE(WriteMarkerFile(path, kShredMarker, 3 * 1024 * 1024));
    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(1));
    ASSERT_TRUE(method);
    int32_t kind = DeleteErrorNone;
    DWORD code = 0;
    uint64_t size = 0, items = 0, bytes = 0;
    EXPECT_EQ(1, ShredFile(nullptr, path.c_str(), method.get(), &kind, &code, &size, &m_cancel, &items, &bytes,
                           GetFileAttributesW(path.c_str())))
        << "kind " << kind << ", code " << code;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
}

TEST(RawImage, HoldsNoMarkerOfWhatWasWipedAndEveryLineOfWhatWasKept)
{
    const std::wstring image = RawImagePath();
    if (image.empty())
        GTEST_SKIP() << "scans the image in the second run of scripts/with-tmpfs-drive --ext4-image";
    const std::vector<uint8_t> data = TempDir::ReadFile(image);
    ASSERT_GT(data.size(), 1024u * 1024u) << "the image cannot be read";
    EXPECT_EQ(static_cast<size_t>(kKeptLines), CountOccurrences(data, kKeptMarker));
    EXPECT_EQ(0u, CountOccurrences(data, kFillMarker)) << "lines of the deleted file left in the free space";
    EXPECT_EQ(0u, CountOccurrences(data, kShredMarker)) << "lines of the shredded file left on the disk";
}

}  // namespace
