// What reaches the disk. scripts/with-tmpfs-drive --ext4-image maps a loop-mounted ext4 image (kept in a
// tmpfs) to a drive letter: a page-cached file system, where the kernel drops the unwritten pages of a
// deleted file, so an overwrite that is never flushed never reaches the image. First run (the drive in
// PELLUMAR_TMPFS_DRIVE): marker lines are written to the disk and then wiped, by a free-space fill and by
// a shred. Second run, after the image is unmounted (PELLUMAR_RAW_IMAGE): the raw image must hold none of
// them, and still every line of a file that was kept, which shows that the scan sees what is on the disk.
//
// The same on each file system the program meets, through the script's --image drives (PELLUMAR_DRIVE_<NAME>
// in the first run, the image file in PELLUMAR_IMAGE_<NAME> in the second): FAT16 under the FUSE driver
// fusefat and NTFS under ntfs-3g, each with its device link so that Wine reports its file system, and ext4
// with the root reserve that mkfs.ext4 keeps by default. On each, one image has a large, a 3,000-byte and a
// 200-byte file shredded in a folder as the shredding job does it, another has the same files deleted
// plainly and then the free space wiped as the free-space job does it. On ext4 a third image has the files
// deleted plainly and then a plain fill written until the file system refuses: what that leaves is the
// least any fill can leave there, and the wipe may leave no more. (The script takes away ext4's pool of
// blocks that it gives no writer at all, which would leave a chance part of the deleted files on both.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TempDir.h"
#include "TestDrive.h"
#include "UnixSide.h"
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

// Writes the text to a new file and makes sure that it is on the disk before it returns.
bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    return ok;
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
    return WriteTextFile(path, text);
}

size_t CountOccurrences(std::string_view haystack, const char* marker)
{
    const std::string_view needle(marker);
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

size_t CountOccurrences(const std::vector<uint8_t>& data, const char* marker)
{
    return CountOccurrences(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), marker);
}

// ext4 writes the metadata of the fill files (their extent blocks, the blocks of their folder), which it
// may place in blocks that a deleted file left, to its journal first and to their place on the disk only
// later. A file deleted before then leaves such a block as the deleted file left it, whatever the fill
// wrote; how soon ext4 gets round to it is chance. Before the fill files go, the journal is written out,
// so that the image shows what the fill reached and not when ext4 wrote its journal out. (The data the
// fill writes is not touched by this: what a pass did not flush is still lost with the deleted file.)
::testing::AssertionResult WriteOutTheJournal(const std::wstring& root)
{
    if (!CheckpointUnixJournal(root))
        return ::testing::AssertionFailure() << "the journal of the ext4 drive was not written out (root is needed)";
    return ::testing::AssertionSuccess();
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
    EXPECT_TRUE(WriteOutTheJournal(m_root));
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

// --- The three file systems --------------------------------------------------------------------------

std::wstring EnvironmentValue(const std::wstring& name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(name.c_str(), value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(value) : std::wstring();
}

// The files of each scenario, in a folder of the drive: each of its own marker, of exactly its size (the
// last line cut off where the size ends).
struct MarkerFile {
    const wchar_t* m_name;
    const char* m_marker;
    size_t m_bytes;
};
const MarkerFile kMarkerFiles[] = {
    {L"large.txt", "PELLUMAR-LARGE-MARKER-", 512 * 1024},
    {L"small.txt", "PELLUMAR-SMALL-MARKER-", 3000},
    {L"tiny.txt", "PELLUMAR-TINY-MARKER-", 200},
};
constexpr wchar_t kItemsFolder[] = L"items";
constexpr wchar_t kKeptFile[] = L"kept.txt";

std::string MarkerText(const char* marker, size_t bytes)
{
    std::string text;
    for (int count = 0; text.size() < bytes; ++count) {
        char line[64];
        std::snprintf(line, sizeof line, "%s%07d\n", marker, count);
        text += line;
    }
    text.resize(bytes);
    return text;
}

std::string KeptText()
{
    return MarkerText(kKeptMarker, kKeptLines * (std::strlen(kKeptMarker) + 8));
}

enum class Scenario {
    Shred,      // the files shredded, then their folder removed, as the shredding job does it
    Wipe,       // the files deleted plainly, then the free space wiped as the free-space job does it
    PlainFill,  // the files deleted plainly, then plain fill files written until the file system refuses
};

struct ImageCase {
    const char* m_name;           // the script's image name: PELLUMAR_DRIVE_<NAME>, PELLUMAR_IMAGE_<NAME>
    const wchar_t* m_fileSystem;  // what Wine must report for the drive (empty: not checked)
    Scenario m_scenario;
    bool m_nothingLeft;  // no line of the files may be left (else see TheWipeLeavesNoMoreThanAPlainFill)
    bool m_journal;      // ext4, whose journal is written out before the fill files go (see WriteOutTheJournal)
};
// ext4 keeps no device link: Wine reports it as NTFS, as it does every drive of a Linux folder.
constexpr ImageCase kExt4Wipe = {"EXT4_WIPE", L"", Scenario::Wipe, false, true};
constexpr ImageCase kExt4Plain = {"EXT4_PLAIN", L"", Scenario::PlainFill, false, true};
constexpr ImageCase kImageCases[] = {
    {"EXT4_SHRED", L"", Scenario::Shred, true, true},
    kExt4Wipe,
    kExt4Plain,
    {"FAT16_SHRED", L"FAT16", Scenario::Shred, true, false},
    {"FAT16_WIPE", L"FAT16", Scenario::Wipe, true, false},
    {"NTFS_SHRED", L"NTFS", Scenario::Shred, true, false},
    {"NTFS_WIPE", L"NTFS", Scenario::Wipe, true, false},
};

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + std::strlen(text));
}

std::string CaseName(const ::testing::TestParamInfo<ImageCase>& info)
{
    return info.param.m_name;
}

// The shredding job's walk of a folder that holds only files: each file as the job shreds it (attributes
// read first, one cache of folder facts for the job), then the folder itself.
::testing::AssertionResult ShredFolderOfFiles(const std::wstring& folder, CErasureMethod* method,
                                              const CancelFlag* cancel)
{
    CFolderFactsCache facts;
    uint64_t itemsDone = 0, bytesDone = 0;
    for (const MarkerFile& item : kMarkerFiles) {
        const std::wstring path = folder + L"\\" + item.m_name;
        int32_t kind = DeleteErrorNone;
        DWORD code = 0;
        uint64_t size = 0;
        if (!ShredFile(nullptr, path.c_str(), method, &kind, &code, &size, cancel, &itemsDone, &bytesDone,
                       GetFileAttributesW(path.c_str()), &facts)) {
            return ::testing::AssertionFailure() << "ShredFile failed: kind " << kind << ", code " << code;
        }
        itemsDone += 1;
        bytesDone += size * method->m_passes.size();
    }
    int32_t kind = DeleteErrorNone;
    DWORD code = 0;
    if (!ShredNamedStreams(folder.c_str(), method, &kind, &code, cancel))
        return ::testing::AssertionFailure() << "the folder's streams: kind " << kind << ", code " << code;
    if (!RenameAndDelete(folder.c_str(), 1))
        return ::testing::AssertionFailure() << "the folder was not removed: " << GetLastError();
    return ::testing::AssertionSuccess();
}

// Plain fill files of up to 8 MiB, each flushed, written until the file system refuses even a write of
// 512 bytes, or a further file. A refused or short write halves the block size (from 1 MiB): ext4 refuses
// large writes while it still has blocks for small ones. Then the folder is removed.
::testing::AssertionResult PlainFillToDiskFull(const std::wstring& folder)
{
    constexpr DWORD kLargestBlock = 1024 * 1024;
    constexpr DWORD kSmallestBlock = 512;
    constexpr uint64_t kFileBytes = 8ull * 1024 * 1024;
    if (!CreateDirectoryW(folder.c_str(), nullptr))
        return ::testing::AssertionFailure() << "the fill folder cannot be made: " << GetLastError();
    const std::vector<char> zeros(kLargestBlock, 0);
    DWORD block = kLargestBlock;
    uint64_t total = 0;
    bool full = false;
    for (int n = 0; !full; ++n) {
        const std::wstring name = folder + L"\\plain" + std::to_wstring(n) + L".fill";
        HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            break;
        for (uint64_t bytes = 0; bytes < kFileBytes;) {
            DWORD written = 0;
            const BOOL ok = WriteFile(file, zeros.data(), block, &written, nullptr);
            bytes += written;
            total += written;
            if (ok && written == block)
                continue;
            if (block == kSmallestBlock) {
                full = true;
                break;
            }
            block /= 2;
        }
        const BOOL flushed = FlushFileBuffers(file);
        CloseHandle(file);
        if (!flushed)
            return ::testing::AssertionFailure() << "a plain fill file was not flushed: " << GetLastError();
    }
    std::printf("[ image    ] plain fill: %llu bytes written\n", static_cast<unsigned long long>(total));
    const ::testing::AssertionResult written = WriteOutTheJournal(folder);
    if (!written)
        return written;
    if (!TempDir::RemoveTree(folder))
        return ::testing::AssertionFailure() << "the fill folder was not removed";
    return ::testing::AssertionSuccess();
}

class OnEachFileSystem : public ::testing::TestWithParam<ImageCase> {};

// First run: the scenario on its drive.
TEST_P(OnEachFileSystem, WipesTheFilesOfItsScenario)
{
    const ImageCase& image = GetParam();
    const std::wstring root = EnvironmentValue(L"PELLUMAR_DRIVE_" + Widen(image.m_name));
    if (root.empty())
        GTEST_SKIP() << "runs on the image drive " << image.m_name << " of scripts/with-tmpfs-drive --image";

    // The engine's own volume lookup, as the jobs make it: the file system that Wine reports decides
    // which steps run.
    std::wstring rootPath = root;
    std::unique_ptr<CVolume> volume(GetVolumeForPath(rootPath));
    ASSERT_TRUE(volume) << "no volume for " << image.m_name;
    std::printf("[ image    ] %s: Wine reports %ls\n", image.m_name, volume->m_fileSystem.c_str());
    if (*image.m_fileSystem) {
        ASSERT_EQ(std::wstring(image.m_fileSystem), volume->m_fileSystem) << "the drive's device link is missing";
    }

    ASSERT_TRUE(WriteTextFile(root + kKeptFile, KeptText()));
    const std::wstring items = root + kItemsFolder;
    ASSERT_TRUE(CreateDirectoryW(items.c_str(), nullptr));
    for (const MarkerFile& item : kMarkerFiles)
        ASSERT_TRUE(WriteTextFile(items + L"\\" + item.m_name, MarkerText(item.m_marker, item.m_bytes)));

    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(1));
    ASSERT_TRUE(method);
    const CancelFlag cancel{0};
    if (image.m_scenario == Scenario::Shred) {
        EXPECT_TRUE(ShredFolderOfFiles(items, method.get(), &cancel));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(items.c_str()));
        return;
    }

    for (const MarkerFile& item : kMarkerFiles)
        ASSERT_TRUE(DeleteFileW((items + L"\\" + item.m_name).c_str()));
    // On a busy machine the FUSE FAT driver may still hold the deleted entries for a moment.
    bool removed = false;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100 && !removed; ++attempt) {
        removed = RemoveDirectoryW(items.c_str()) != FALSE;
        if (!removed) {
            error = GetLastError();
            Sleep(20);
        }
    }
    ASSERT_TRUE(removed) << "the plainly deleted files' folder stays: " << error;
    const std::wstring fill = root + L"fill";
    if (image.m_scenario == Scenario::PlainFill) {
        EXPECT_TRUE(PlainFillToDiskFull(fill));
        return;
    }
    // The free-space job: the large fill files, then (when that went well) the small ones, in a folder of
    // its own that goes afterwards with everything in it.
    ASSERT_TRUE(CreateDirectoryW(fill.c_str(), nullptr));
    EXPECT_EQ(1, FillFreeSpace(nullptr, volume.get(), &cancel, fill, method.get()));
    EXPECT_EQ(1, FillResidentSpace(nullptr, volume.get(), &cancel, fill, method.get()));
    if (image.m_journal) {
        EXPECT_TRUE(WriteOutTheJournal(root));
    }
    EXPECT_TRUE(TempDir::RemoveTree(fill));
}

// What the raw image of a case holds of each marker file, and of the kept file.
struct LinesLeft {
    bool m_read = false;
    size_t m_kept = 0;
    size_t m_files[std::size(kMarkerFiles)] = {};
    size_t Total() const
    {
        size_t total = 0;
        for (size_t lines : m_files)
            total += lines;
        return total;
    }
};

LinesLeft ScanImage(const ImageCase& image)
{
    LinesLeft left;
    const std::wstring path = EnvironmentValue(L"PELLUMAR_IMAGE_" + Widen(image.m_name));
    if (path.empty())
        return left;
    const std::vector<uint8_t> data = TempDir::ReadFile(path);
    left.m_read = data.size() > 1024u * 1024u;
    left.m_kept = CountOccurrences(data, kKeptMarker);
    std::printf("[ image    ] %s: kept %zu of %d lines", image.m_name, left.m_kept, kKeptLines);
    for (size_t i = 0; i < std::size(kMarkerFiles); ++i) {
        const MarkerFile& item = kMarkerFiles[i];
        left.m_files[i] = CountOccurrences(data, item.m_marker);
        std::printf("; %ls %zu of %zu lines left", item.m_name, left.m_files[i],
                    CountOccurrences(MarkerText(item.m_marker, item.m_bytes), item.m_marker));
        if (left.m_files[i] != 0) {
            const std::string_view raw(reinterpret_cast<const char*>(data.data()), data.size());
            std::printf(" (the first at byte %zu)", raw.find(item.m_marker));
        }
    }
    std::printf("\n");
    return left;
}

// Second run: the raw image. Every line of the kept file is found (the scan sees the disk); nothing of the
// wiped files is, except on ext4 after a fill (see below).
TEST_P(OnEachFileSystem, ItsRawImageHoldsNothingOfTheWipedFiles)
{
    const ImageCase& image = GetParam();
    if (EnvironmentValue(L"PELLUMAR_IMAGE_" + Widen(image.m_name)).empty())
        GTEST_SKIP() << "scans the image " << image.m_name << " in the second run of scripts/with-tmpfs-drive";
    const LinesLeft left = ScanImage(image);
    ASSERT_TRUE(left.m_read) << "the image cannot be read";
    EXPECT_EQ(static_cast<size_t>(kKeptLines), left.m_kept);
    if (!image.m_nothingLeft)
        return;
    for (size_t i = 0; i < std::size(kMarkerFiles); ++i)
        EXPECT_EQ(0u, left.m_files[i]) << "lines of " << kMarkerFiles[i].m_name << " left on the disk";
}

INSTANTIATE_TEST_SUITE_P(Images, OnEachFileSystem, ::testing::ValuesIn(kImageCases), CaseName);

// On ext4 a plain fill run on until the file system refuses reaches every block a writer can have, the
// blocks kept for root included (Wine runs as root here), though the free-bytes figure leaves those out.
// The wipe must reach as much, and so leave no more of the deleted files than the plain fill does.
TEST(RawExt4Images, TheWipeLeavesNoMoreThanAPlainFillToDiskFull)
{
    if (EnvironmentValue(L"PELLUMAR_IMAGE_" + Widen(kExt4Wipe.m_name)).empty() ||
        EnvironmentValue(L"PELLUMAR_IMAGE_" + Widen(kExt4Plain.m_name)).empty())
        GTEST_SKIP() << "compares the images EXT4_WIPE and EXT4_PLAIN in the second run of scripts/with-tmpfs-drive";
    const LinesLeft wiped = ScanImage(kExt4Wipe);
    const LinesLeft filled = ScanImage(kExt4Plain);
    ASSERT_TRUE(wiped.m_read && filled.m_read) << "an image cannot be read";
    ASSERT_EQ(static_cast<size_t>(kKeptLines), filled.m_kept);
    EXPECT_LE(wiped.Total(), filled.Total()) << "the wipe left more of the deleted files than a plain fill";
}

}  // namespace
