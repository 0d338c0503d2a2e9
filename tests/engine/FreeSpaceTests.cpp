// The free-space fill in a temporary folder of the prefix's C: drive, with the drive's answers faked
// (FreeSpaceFakes): that drive is a folder of the machine's disk, where Wine extends every file sparsely
// and never runs out of room, so a real fill there would fill the machine's disk. The same fill runs on a
// real small drive in FreeSpaceDriveTests.cpp.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FreeSpaceFakes.h"
#include "ImportPatch.h"
#include "MessageSink.h"
#include "TempDir.h"
#include "engine/ErasureMethod.h"
#include "engine/FreeSpace.h"
#include "libcommon/Volume.h"

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * 1024;

std::unique_ptr<CErasureMethod> ConstantMethod(std::vector<uint8_t> bytes)
{
    std::unique_ptr<CErasureMethod> method(new CErasureMethod);
    for (uint8_t b : bytes) {
        method->m_passes.push_back(new CWriteConstant({b}));
    }
    return method;
}

std::vector<UINT> MessageOrder(const MessageSink& sink)
{
    std::vector<UINT> order;
    for (const MessageSink::Message& m : sink.Messages()) {
        if (order.empty() || order.back() != m.m_msg || m.m_msg != WM_DELETE_PROGRESS) {
            order.push_back(m.m_msg);
        }
    }
    return order;
}

std::vector<int32_t> ResidentFlags(const MessageSink& sink)
{
    std::vector<int32_t> flags;
    for (const MessageSink::Message& m : sink.Messages()) {
        if (m.m_msg == WM_RESIDENT_PHASE) {
            flags.push_back(m.m_flag);
        }
    }
    return flags;
}

bool EndsWithNoCase(const std::wstring& s, const std::wstring& end)
{
    return s.size() >= end.size() && _wcsicmp(s.c_str() + s.size() - end.size(), end.c_str()) == 0;
}

class FreeSpaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.IsValid());
        m_folder = m_temp.MakeFolder(L"fill");
        ASSERT_FALSE(m_folder.empty());
        // The C: volume as the free-space thread would find it: by its volume GUID path.
        wchar_t name[50];
        ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(m_temp.Path().substr(0, 3).c_str(), name, 50));
        m_volume.reset(new CVolume(name));
        m_fakes.reset(new FreeSpaceFakes(m_folder));
        ASSERT_TRUE(m_fakes->IsActive());
    }

    void TearDown() override { m_fakes.reset(); }

    // An empty fill folder and new fakes, for the next case of a table.
    bool StartAfresh()
    {
        m_fakes.reset();
        TempDir::RemoveTree(m_folder);
        if (!CreateDirectoryW(m_folder.c_str(), nullptr))
            return false;
        m_fakes.reset(new FreeSpaceFakes(m_folder));
        return m_fakes->IsActive();
    }

    int Fill(CErasureMethod* method) { return FillFreeSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method); }
    int Resident(CErasureMethod* method)
    {
        return FillResidentSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method);
    }

    TempDir m_temp{L"freespace"};
    std::wstring m_folder;
    std::unique_ptr<CVolume> m_volume;
    std::unique_ptr<FreeSpaceFakes> m_fakes;
    MessageSink m_sink;
    CancelFlag m_cancel{0};
};

// ---- FillFreeSpace ----

TEST_F(FreeSpaceTest, NoFreeBytesPostsZeroAndMakesNothing)
{
    m_fakes->SetFreeBytes({0});
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(1, Fill(method.get()));
    m_sink.Pump();
    ASSERT_EQ(1u, m_sink.Messages().size());
    EXPECT_EQ(WM_FREE_SPACE_TOTAL, m_sink.Messages()[0].m_msg);
    EXPECT_EQ(0u, m_sink.Messages()[0].m_total);
    EXPECT_TRUE(FilesIn(m_folder).empty());
}

TEST_F(FreeSpaceTest, UnreadableFreeSpaceFailsTheFill)
{
    // Nothing can be wiped on a drive whose free space cannot be read: that must not count as done.
    m_fakes->FailFreeBytes();
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(0, Fill(method.get()));
    m_sink.Pump();
    ASSERT_EQ(1u, m_sink.Messages().size());
    EXPECT_EQ(WM_FREE_SPACE_TOTAL, m_sink.Messages()[0].m_msg);
    EXPECT_EQ(0u, m_sink.Messages()[0].m_total);
    EXPECT_TRUE(FilesIn(m_folder).empty());
}

TEST_F(FreeSpaceTest, FillFileIsWrittenWithEveryPassAndFreeSpaceIsReadAgain)
{
    const uint64_t free = 40 * KiB;
    m_fakes->SetFreeBytes({free, 0});
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, Fill(method.get()));
    // At the start, after the file, and once the drive has refused a further file.
    EXPECT_EQ(3, m_fakes->FreeBytesCalls());

    const std::vector<std::wstring> files = FilesIn(m_folder);
    ASSERT_EQ(1u, files.size());
    const std::wstring& name = files[0];
    EXPECT_EQ(18u, name.size());
    for (wchar_t c : name) {
        EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z')) << "character " << int(c);
    }
    const std::wstring path = m_folder + L"\\" + name;
    EXPECT_EQ(free, TempDir::FileSize(path));
    EXPECT_TRUE(FileHoldsOnly(path, 0x33));
    EXPECT_EQ(free * 3, m_fakes->BytesWritten().at(path));

    m_sink.Pump();
    EXPECT_EQ((std::vector<UINT>{WM_FREE_SPACE_TOTAL, WM_DELETE_PROGRESS}), MessageOrder(m_sink));
    EXPECT_EQ(free, m_sink.Messages()[0].m_total);
    const std::vector<DeleteProgress> progress = m_sink.Progress();
    ASSERT_EQ(3u, progress.size());  // one chunk per pass
    for (size_t p = 0; p < 3; ++p) {
        EXPECT_EQ(path, progress[p].m_name);
        EXPECT_EQ(free, progress[p].m_fileSize);
        EXPECT_EQ(0u, progress[p].m_itemsDone);
        EXPECT_EQ(free * (p + 1), progress[p].m_bytesProcessed);
        EXPECT_EQ(3, progress[p].m_passCount);
        EXPECT_EQ(static_cast<int32_t>(p + 1), progress[p].m_passNumber);
        EXPECT_EQ(1, progress[p].m_freeSpace);
    }
}

TEST_F(FreeSpaceTest, FiveHundredMebibytesTakeTwoLargestFilesAndTheRest)
{
    // 500 MiB free, then what each file leaves. The writes are counted, not made (the files stay sparse).
    m_fakes->SetFreeBytes({500 * MiB, 284 * MiB, 68 * MiB, 0});
    m_fakes->DiscardWrites();
    auto method = ConstantMethod({0x00, 0xFF});
    EXPECT_EQ(1, Fill(method.get()));
    EXPECT_EQ(5, m_fakes->FreeBytesCalls());

    std::map<std::wstring, uint64_t> sizes;
    for (const auto& [path, bytes] : m_fakes->BytesWritten()) {
        sizes[path] = TempDir::FileSize(path);
        EXPECT_EQ(2 * sizes[path], bytes) << "every pass over the whole file";
    }
    ASSERT_EQ(3u, sizes.size());

    // The progress, file by file: the last report of each file stands at all its passes, and the files
    // come in the order 216, 216, 68 MiB.
    m_sink.Pump();
    EXPECT_EQ(500 * MiB, m_sink.Messages()[0].m_total);
    const std::vector<DeleteProgress> progress = m_sink.Progress();
    std::vector<uint64_t> order;
    uint64_t before = 0;
    for (size_t i = 0; i < progress.size(); ++i) {
        const DeleteProgress& p = progress[i];
        EXPECT_EQ(order.size(), p.m_itemsDone);
        if (i + 1 == progress.size() || progress[i + 1].m_itemsDone != p.m_itemsDone) {
            order.push_back(p.m_fileSize);
            EXPECT_EQ(sizes[p.m_name], p.m_fileSize);
            EXPECT_EQ(2, p.m_passNumber);
            EXPECT_EQ(before + 2 * p.m_fileSize, p.m_bytesProcessed);
            before = p.m_bytesProcessed;
        }
    }
    EXPECT_EQ((std::vector<uint64_t>{216 * MiB, 216 * MiB, 68 * MiB}), order);
    EXPECT_EQ(1000 * MiB, before);
}

TEST_F(FreeSpaceTest, ExtensionThatDoesNotFitShrinksOneClusterAtATime)
{
    m_fakes->SetFreeBytes({64 * KiB, 0});
    m_fakes->SetClusterSize(4096);
    m_fakes->LimitExtension(40 * KiB);
    auto method = ConstantMethod({0x5A});
    EXPECT_EQ(1, Fill(method.get()));
    EXPECT_EQ(7, m_fakes->ExtensionCalls());  // 64, 60, ..., 40 KiB
    EXPECT_EQ(6, m_fakes->ClusterCalls());    // read once per failed extension
    const std::vector<std::wstring> files = FilesIn(m_folder);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(40 * KiB, TempDir::FileSize(m_folder + L"\\" + files[0]));
    EXPECT_TRUE(FileHoldsOnly(m_folder + L"\\" + files[0], 0x5A));
}

TEST_F(FreeSpaceTest, FileThatCannotGetOneClusterFailsTheFill)
{
    struct Case {
        const char* what;
        DWORD cluster;   // 0: the cluster size cannot be read
        int extensions;  // SetEndOfFile calls before the fill gives up
    } cases[] = {
        {"one cluster does not fit", 4096, 3},  // 12, 8, 4 KiB
        {"cluster size unreadable", 0, 1},      // nothing to shrink by: no endless retry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(m_folder));
        m_fakes->SetFreeBytes({12 * KiB});
        m_fakes->SetClusterSize(c.cluster);
        m_fakes->LimitExtension(0);
        auto method = ConstantMethod({0x11});
        EXPECT_EQ(0, Fill(method.get()));
        EXPECT_EQ(c.extensions, m_fakes->ExtensionCalls());
        // The file was closed: it can be deleted.
        const std::vector<std::wstring> files = FilesIn(m_folder);
        ASSERT_EQ(1u, files.size());
        EXPECT_TRUE(DeleteFileW((m_folder + L"\\" + files[0]).c_str()));
    }
    m_sink.Pump();
    EXPECT_EQ(0u, m_sink.Count(WM_DELETE_PROGRESS));
}

TEST_F(FreeSpaceTest, CancelDuringOverwriteFinishesThatFileAndMakesNoOther)
{
    m_fakes->SetFreeBytes({40 * KiB});  // the free space never runs out
    m_fakes->OnWrite([this](int number) {
        if (number == 1) {
            m_cancel.store(1);
        }
    });
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, Fill(method.get()));
    EXPECT_EQ(1u, FilesIn(m_folder).size());
    EXPECT_EQ(1, m_fakes->WriteCalls());
    EXPECT_EQ(2, m_fakes->FreeBytesCalls());  // the file's steps ran to the end
    m_sink.Pump();
    EXPECT_EQ(1u, m_sink.Count(WM_DELETE_PROGRESS));
}

TEST_F(FreeSpaceTest, CancelBeforeTheFirstFileMakesNone)
{
    m_fakes->SetFreeBytes({40 * KiB});
    m_cancel.store(1);
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(1, Fill(method.get()));
    EXPECT_TRUE(FilesIn(m_folder).empty());
    m_sink.Pump();
    EXPECT_EQ(1u, m_sink.Count(WM_FREE_SPACE_TOTAL));
}

TEST_F(FreeSpaceTest, FailedOverwriteFailsTheFill)
{
    // A write that fails for another reason than a full drive: the file was not wiped.
    m_fakes->SetFreeBytes({40 * KiB});
    m_fakes->FailWrites(ERROR_IO_DEVICE);
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(0, Fill(method.get()));
    EXPECT_EQ(1u, FilesIn(m_folder).size());
    EXPECT_EQ(1, m_fakes->FreeBytesCalls());
}

TEST_F(FreeSpaceTest, WriteThatRunsIntoTheEndOfTheDriveIsCutBackAndWrittenWithEveryPass)
{
    // Windows refuses a write that does not fit and writes nothing of it. The free count promised more
    // than the drive holds: the file keeps what its writes put there before the refused one (a pattern
    // pass writes 256 KiB at a time) and gets every pass over it. It is followed by a try at one more,
    // which the full drive refuses; the fill then ends, done. 7 MiB four times reach
    // the prefix's disk.
    struct Case {
        const char* what;
        DWORD error;
        uint64_t free;
        uint64_t endOfDrive;
        uint64_t kept;
    } cases[] = {
        {"second chunk refused", ERROR_DISK_FULL, 13 * MiB, 7 * MiB, 7 * MiB},
        {"first chunk refused", ERROR_HANDLE_DISK_FULL, 40 * KiB, 20 * KiB, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(m_folder));
        m_sink.Clear();
        m_fakes->SetFreeBytes({c.free, 0});
        m_fakes->FailWritesBeyond(c.endOfDrive, c.error);
        auto method = ConstantMethod({0x11, 0x22, 0x33});
        EXPECT_EQ(1, Fill(method.get()));
        // After the file, and once more at the end: the drive refuses the smaller file tried next.
        EXPECT_EQ(3, m_fakes->FreeBytesCalls());

        // The drive reads 0 free bytes after the first file: it refuses the second one's creation.
        const std::vector<std::wstring> files = FilesIn(m_folder);
        ASSERT_EQ(1u, files.size());
        const std::wstring path = m_folder + L"\\" + files[0];
        EXPECT_EQ(c.kept, TempDir::FileSize(path));
        EXPECT_TRUE(FileHoldsOnly(path, 0x33));
        m_sink.Pump();
        const std::vector<DeleteProgress> progress = m_sink.Progress();
        if (c.kept != 0) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(3 * c.kept, progress.back().m_bytesProcessed);
            EXPECT_EQ(3, progress.back().m_passNumber);
            EXPECT_EQ(c.kept, progress.back().m_fileSize);
        } else {
            EXPECT_TRUE(progress.empty());
        }
        ASSERT_TRUE(DeleteFileW(path.c_str()));
    }
}

TEST_F(FreeSpaceTest, FailedRewriteAfterTheEndOfTheDriveFailsTheFill)
{
    // The drive ended at 7 MiB, and then the part that was written cannot be written again either.
    m_fakes->SetFreeBytes({13 * MiB});
    m_fakes->FailWritesBeyond(7 * MiB, ERROR_DISK_FULL);
    m_fakes->OnWrite([this](int number) {
        if (number == 3) {
            m_fakes->FailWrites(ERROR_IO_DEVICE);
        }
    });
    auto method = ConstantMethod({0x11, 0x22});
    EXPECT_EQ(0, Fill(method.get()));
}

// How a fill ends: done only when the drive has no room left; every other end is a failure, so that no
// drive is reported wiped that is not.
TEST_F(FreeSpaceTest, AFillEndsDoneOnlyWhenTheDriveIsFull)
{
    struct Case {
        const char* what;
        std::vector<uint64_t> free;
        int createsBeforeRefusal;  // -1: never refused
        DWORD createError;
        int result;
        size_t files;
    } cases[] = {
        {"a create refused for lack of space", {40 * KiB, 0}, 1, ERROR_DISK_FULL, 1, 1},
        {"a create refused by the quota", {40 * KiB, 0}, 1, ERROR_DISK_QUOTA_EXCEEDED, 1, 1},
        {"a create refused otherwise, the drive not full", {40 * KiB, 40 * KiB - 4096}, 0, ERROR_ACCESS_DENIED, 0, 0},
        {"a create refused otherwise, a fresh read shows nothing free", {40 * KiB, 0}, 0, ERROR_ACCESS_DENIED, 1, 0},
        // The drive does not take the space (or something frees as much): three files and no headway.
        {"free bytes that never fall", {40 * KiB}, -1, 0, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(StartAfresh());
        m_fakes->SetFreeBytes(c.free);
        m_fakes->KeepTakingFillFiles();  // only the case's own refusal ends the fill
        m_fakes->DiscardWrites();
        if (c.createsBeforeRefusal >= 0)
            m_fakes->FailCreatesAfter(c.createsBeforeRefusal, c.createError);
        auto method = ConstantMethod({0x11});
        EXPECT_EQ(c.result, Fill(method.get()));
        EXPECT_EQ(c.files, FilesIn(m_folder).size());
    }
}

// The free-bytes figure does not end the fill: a file system may take more than it shows (Wine shows a
// root user the unprivileged figure of a Linux file system, without the root reserve, where deleted data
// lies too). Only its refusal ends the fill; fill files made once the figure reads 0 are 1 MiB.
TEST_F(FreeSpaceTest, TheFillRunsOnPastAFigureOfZeroUntilTheDriveRefusesAFile)
{
    m_fakes->SetFreeBytes({16 * KiB, 0});
    m_fakes->KeepTakingFillFiles();
    m_fakes->DiscardWrites();
    m_fakes->FailCreatesAfter(3, ERROR_DISK_FULL);
    auto method = ConstantMethod({0x11, 0x22});
    EXPECT_EQ(1, Fill(method.get()));
    std::vector<uint64_t> sizes;
    for (const auto& [path, bytes] : m_fakes->BytesWritten()) {
        sizes.push_back(TempDir::FileSize(path));
        EXPECT_EQ(2 * sizes.back(), bytes) << "every pass over the whole file";
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ((std::vector<uint64_t>{16 * KiB, MiB, MiB}), sizes);
}

// The sizes and the progress go by all the free bytes, not by the caller's share of them (a disk quota).
TEST_F(FreeSpaceTest, SizesAndProgressGoByTheTotalFreeBytes)
{
    m_fakes->SetFreeBytes({40 * KiB, 0});
    m_fakes->SetCallerFreeBytes({8 * KiB, 0});
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(1, Fill(method.get()));
    const std::vector<std::wstring> files = FilesIn(m_folder);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(40 * KiB, TempDir::FileSize(m_folder + L"\\" + files[0]));
    m_sink.Pump();
    EXPECT_EQ(40 * KiB, m_sink.Messages()[0].m_total);
    EXPECT_EQ(40 * KiB, m_sink.Progress().back().m_bytesProcessed);
}

// When the drive refuses further files while more than a few clusters still read free (a quota keeps
// the caller from them), those bytes were not wiped: the fill fails and says how many. The caller's own
// figure reads 0, where the fill used to stop and report success.
TEST_F(FreeSpaceTest, FreeSpaceTheFillCannotReachFailsTheFillAndSaysHowMuch)
{
    struct Case {
        const char* what;
        uint64_t leftFree;
        int result;
        uint64_t unwiped;
    } cases[] = {
        {"192 KiB out of reach", 192 * KiB, 0, 192 * KiB},
        {"a few clusters of the file system's own", 16 * KiB, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(StartAfresh());
        m_fakes->SetClusterSize(4096);
        m_fakes->SetFreeBytes({256 * KiB + c.leftFree, c.leftFree});
        m_fakes->SetCallerFreeBytes({256 * KiB, 0});
        m_fakes->LimitExtension(256 * KiB);  // the quota takes no more
        m_fakes->FailCreatesAfter(1, ERROR_DISK_QUOTA_EXCEEDED);
        auto method = ConstantMethod({0x11});
        uint64_t unwiped = 12345;
        EXPECT_EQ(c.result, FillFreeSpace(m_sink.Handle(), m_volume.get(), &m_cancel, m_folder, method.get(), &unwiped));
        EXPECT_EQ(c.unwiped, unwiped);
        const std::vector<std::wstring> files = FilesIn(m_folder);
        ASSERT_EQ(1u, files.size());
        EXPECT_EQ(256 * KiB, TempDir::FileSize(m_folder + L"\\" + files[0]));
    }
}

// A fill file that the file system stores compressed or sparse does not cover the free clusters it is
// sized for. Wine sets neither attribute; the handle's answer is faked.
ImportPatch<decltype(::GetFileInformationByHandleEx)>* g_information = nullptr;
DWORD g_addedAttributes = 0;
BOOL WINAPI CompactGetInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size)
{
    const BOOL ok = g_information->Original()(file, kind, data, size);
    if (ok && kind == FileBasicInfo)
        static_cast<FILE_BASIC_INFO*>(data)->FileAttributes |= g_addedAttributes;
    return ok;
}

TEST_F(FreeSpaceTest, AFillFileStoredCompressedOrSparseFailsTheFill)
{
    ImportPatch<decltype(::GetFileInformationByHandleEx)> patch("GetFileInformationByHandleEx", &CompactGetInformation);
    g_information = &patch;
    ASSERT_TRUE(patch.IsActive());
    for (DWORD attribute : {DWORD(FILE_ATTRIBUTE_COMPRESSED), DWORD(FILE_ATTRIBUTE_SPARSE_FILE)}) {
        SCOPED_TRACE(attribute);
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(m_folder));
        m_fakes->SetFreeBytes({40 * KiB, 0});
        g_addedAttributes = attribute;
        auto method = ConstantMethod({0x11});
        EXPECT_EQ(0, Fill(method.get()));
    }
    g_addedAttributes = 0;
}

// A fill folder on a compressed drive inherits the compression: it is cleared before the first fill
// file, or the fill fails. Wine has no compression; the folder's attribute and the request are faked.
ImportPatch<decltype(::GetFileAttributesW)>* g_attributes = nullptr;
ImportPatch<decltype(::DeviceIoControl)>* g_control = nullptr;
std::wstring g_compressedFolder;
bool g_compressionClears = false;
DWORD WINAPI CompressedFolderAttributes(LPCWSTR path)
{
    const DWORD attributes = g_attributes->Original()(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && lstrcmpiW(path, g_compressedFolder.c_str()) == 0)
        return attributes | FILE_ATTRIBUTE_COMPRESSED;
    return attributes;
}
BOOL WINAPI CompressionControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                               LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (code == FSCTL_SET_COMPRESSION && in && inSize == sizeof(USHORT)) {
        if (!g_compressionClears) {
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        }
        if (*static_cast<USHORT*>(in) == COMPRESSION_FORMAT_NONE)
            g_compressedFolder.clear();
        return TRUE;
    }
    return g_control->Original()(h, code, in, inSize, out, outSize, returned, overlapped);
}

TEST_F(FreeSpaceTest, AFillFolderOnACompressedDriveIsUncompressedFirst)
{
    for (bool clears : {true, false}) {
        SCOPED_TRACE(clears ? "cleared" : "cannot be cleared");
        m_fakes.reset();
        m_fakes.reset(new FreeSpaceFakes(m_folder));
        m_fakes->SetFreeBytes({40 * KiB, 0});
        // Over the drive's fakes, which forward what these do not take.
        ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &CompressedFolderAttributes);
        ImportPatch<decltype(::DeviceIoControl)> control("DeviceIoControl", &CompressionControl);
        g_attributes = &attributes;
        g_control = &control;
        ASSERT_TRUE(attributes.IsActive() && control.IsActive());
        g_compressedFolder = m_folder;
        g_compressionClears = clears;
        auto method = ConstantMethod({0x11});
        EXPECT_EQ(clears ? 1 : 0, Fill(method.get()));
        EXPECT_EQ(clears ? 1u : 0u, FilesIn(m_folder).size());
        for (const std::wstring& name : FilesIn(m_folder))
            DeleteFileW((m_folder + L"\\" + name).c_str());
    }
    g_compressedFolder.clear();
}

// The fill files and the small files are left with the earliest times, as a shredded file is: a FILETIME
// of 0 would leave them as they are (the time of the wipe).
TEST_F(FreeSpaceTest, FillFilesAndSmallFilesAreLeftWithTheEarliestTimes)
{
    m_fakes->SetFreeBytes({40 * KiB, 0});
    m_fakes->FailCreatesAfter(1 + 2);  // one fill file, two small files (Wine's NTFS: 1024 bytes)
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(1, Fill(method.get()));
    EXPECT_EQ(1, Resident(method.get()));
    const std::vector<std::wstring> files = FilesBelow(m_folder);
    ASSERT_EQ(3u, files.size());
    const uint64_t year1970 = 116444736000000000ULL;
    for (const std::wstring& name : files) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_TRUE(GetFileAttributesExW((m_folder + L"\\" + name).c_str(), GetFileExInfoStandard, &data));
        for (const FILETIME& time : {data.ftLastWriteTime, data.ftLastAccessTime}) {
            EXPECT_LT((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime, year1970) << name;
        }
    }
    // The folders that hold the small files, too (their access times change as the test lists them). The
    // fill file's random name may sort before or after theirs.
    const std::wstring& small = *std::max_element(files.begin(), files.end(), [](const std::wstring& a,
                                                                                 const std::wstring& b) {
        return std::count(a.begin(), a.end(), L'\\') < std::count(b.begin(), b.end(), L'\\');
    });
    ASSERT_NE(std::wstring::npos, small.find(L'\\')) << small;
    for (size_t slash = small.find(L'\\'); slash != std::wstring::npos; slash = small.find(L'\\', slash + 1)) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        const std::wstring folder = small.substr(0, slash);
        ASSERT_TRUE(GetFileAttributesExW((m_folder + L"\\" + folder).c_str(), GetFileExInfoStandard, &data));
        const FILETIME& time = data.ftLastWriteTime;
        EXPECT_LT((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime, year1970) << folder;
    }
}

// ---- FillResidentSpace ----

TEST_F(FreeSpaceTest, ResidentPhaseDoesNotRunOnFat12OrFat16)
{
    m_volume->m_isFat = 1;
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(1, Resident(method.get()));
    m_sink.Pump();
    EXPECT_TRUE(m_sink.Messages().empty());
    EXPECT_TRUE(FilesBelow(m_folder).empty());
}

TEST_F(FreeSpaceTest, ResidentPhaseEndsAtOnceWithoutNtfsRecords)
{
    // FAT32 and exFAT keep no file records (nor answer their size): there is nothing to fill. Wine
    // reports NTFS for its drives; the other names are set on the record.
    for (const wchar_t* fileSystem : {L"FAT32", L"exFAT"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(fileSystem)));
        m_sink.Clear();
        m_volume->m_fileSystem = fileSystem;
        auto method = ConstantMethod({0x11});
        EXPECT_EQ(1, Resident(method.get()));
        m_sink.Pump();
        EXPECT_EQ((std::vector<int32_t>{1, 0}), ResidentFlags(m_sink));
        EXPECT_TRUE(FilesBelow(m_folder).empty());
    }
}

TEST_F(FreeSpaceTest, AnNtfsVolumeThatDoesNotTellItsRecordSizeIsFilledWithRecordsOfTheUsualSize)
{
    // Wine's drives are NTFS and never answer the record-size query.
    ASSERT_EQ(L"NTFS", m_volume->m_fileSystem);
    m_fakes->FailCreatesAfter(3);
    auto method = ConstantMethod({0x11, 0x22});
    EXPECT_EQ(1, Resident(method.get()));
    m_sink.Pump();
    EXPECT_EQ((std::vector<int32_t>{1, 0}), ResidentFlags(m_sink));
    const std::vector<std::wstring> files = FilesBelow(m_folder);
    ASSERT_EQ(3u, files.size());
    for (const std::wstring& name : files) {
        const std::wstring path = m_folder + L"\\" + name;
        EXPECT_EQ(1024u, TempDir::FileSize(path)) << name;
        EXPECT_TRUE(FileHoldsOnly(path, 0x22)) << name;
        EXPECT_EQ(2u * 1024, m_fakes->BytesWritten().at(path)) << name;
    }
}

TEST_F(FreeSpaceTest, ResidentFilesShrinkOneBytePerFailedExtensionAndKeepThatSize)
{
    // NTFS with 1024-byte records; only 1020 bytes still fit in a record. After four failed sizes every
    // small file gets 1020 bytes, written with every pass, until no further file can be made.
    m_fakes->SetRecordSize(1024);
    m_fakes->LimitExtension(1020);
    m_fakes->FailCreatesAfter(4 + 3);
    auto method = ConstantMethod({0x11, 0x22, 0x33});
    EXPECT_EQ(1, Resident(method.get()));
    m_sink.Pump();
    EXPECT_EQ((std::vector<int32_t>{1, 0}), ResidentFlags(m_sink));
    EXPECT_EQ(0u, m_sink.Count(WM_DELETE_PROGRESS));

    const std::vector<std::wstring> files = FilesBelow(m_folder);
    ASSERT_EQ(4u + 3u, files.size());
    int empty = 0;
    int full = 0;
    for (const std::wstring& name : files) {
        const size_t leaf = name.find_last_of(L'\\');
        EXPECT_EQ(0, _wcsnicmp(name.c_str() + (leaf == std::wstring::npos ? 0 : leaf + 1), L"Cor", 3)) << name;
        EXPECT_TRUE(EndsWithNoCase(name, L".TMP")) << name;
        const uint64_t size = TempDir::FileSize(m_folder + L"\\" + name);
        if (size == 0) {
            ++empty;
        } else {
            EXPECT_EQ(1020u, size);
            EXPECT_TRUE(FileHoldsOnly(m_folder + L"\\" + name, 0x33));
            EXPECT_EQ(3u * 1020, m_fakes->BytesWritten().at(m_folder + L"\\" + name));
            ++full;
        }
    }
    EXPECT_EQ(4, empty);
    EXPECT_EQ(3, full);
    EXPECT_EQ(4 + 3, m_fakes->ExtensionCalls());
}

TEST_F(FreeSpaceTest, SmallFilesAreSpreadOverNestedFoldersOfAFewEntriesEach)
{
    // A folder's index that outgrows its record needs a cluster, which a full drive lacks: no folder
    // holds more than its next folder and three small files, and the chain starts in a folder of its own
    // (the fill folder's index is full of fill files).
    m_fakes->SetRecordSize(1024);
    m_fakes->FailCreatesAfter(10);
    auto method = ConstantMethod({0x11});
    EXPECT_EQ(1, Resident(method.get()));
    const std::vector<std::wstring> files = FilesBelow(m_folder);
    ASSERT_EQ(10u, files.size());
    EXPECT_TRUE(FilesIn(m_folder).empty());
    std::map<std::wstring, int> entries;  // folder (relative) -> small files in it
    for (const std::wstring& name : files) {
        const size_t leaf = name.find_last_of(L'\\');
        ASSERT_NE(std::wstring::npos, leaf) << name;
        entries[name.substr(0, leaf)] += 1;
        EXPECT_EQ(1024u, TempDir::FileSize(m_folder + L"\\" + name)) << name;
        EXPECT_TRUE(FileHoldsOnly(m_folder + L"\\" + name, 0x11)) << name;
    }
    for (auto& [folder, count] : entries) {
        const std::wstring next = m_folder + L"\\" + folder + L"\\d";
        const bool hasNext = GetFileAttributesW(next.c_str()) != INVALID_FILE_ATTRIBUTES;
        EXPECT_LE(count + (hasNext ? 1 : 0), 4) << folder;
    }
    EXPECT_EQ(4u, entries.size());  // 3 + 3 + 3 + 1 small files
}

TEST_F(FreeSpaceTest, WritesRefusedForLackOfSpaceHalveTheSizeUntilThePhaseEnds)
{
    // Where extending never fails (Wine extends sparsely) the drive refuses the write of data that no
    // longer fits in the record. Each refused write halves the size: 1024, 512, ... 1 byte, then the phase
    // ends, and does not make empty files without end.
    m_fakes->SetRecordSize(1024);
    m_fakes->FailWrites(ERROR_DISK_FULL);
    m_fakes->FailCreatesAfter(100);  // bounds the loop should the phase go on
    auto method = ConstantMethod({0x11, 0x22});
    EXPECT_EQ(1, Resident(method.get()));
    m_sink.Pump();
    EXPECT_EQ((std::vector<int32_t>{1, 0}), ResidentFlags(m_sink));
    EXPECT_EQ(11u, FilesBelow(m_folder).size());
    EXPECT_EQ(11, m_fakes->WriteCalls());
}

TEST_F(FreeSpaceTest, CancelEndsTheResidentPhaseWithoutItsClosingMessage)
{
    m_fakes->SetRecordSize(1024);
    auto method = ConstantMethod({0x11, 0x22});
    {
        SCOPED_TRACE("cancel before the phase");
        m_cancel.store(1);
        EXPECT_EQ(1, Resident(method.get()));
        m_sink.Pump();
        EXPECT_EQ((std::vector<int32_t>{1}), ResidentFlags(m_sink));
        EXPECT_TRUE(FilesBelow(m_folder).empty());
    }
    {
        SCOPED_TRACE("cancel during the third small file");
        m_sink.Clear();
        m_cancel.store(0);
        m_fakes->OnWrite([this](int number) {
            if (number == 5) {
                m_cancel.store(1);
            }
        });
        EXPECT_EQ(1, Resident(method.get()));
        m_sink.Pump();
        EXPECT_EQ((std::vector<int32_t>{1}), ResidentFlags(m_sink));
        EXPECT_EQ(3u, FilesBelow(m_folder).size());
        EXPECT_EQ(5, m_fakes->WriteCalls());
    }
}

// The phase ends well only for lack of space; any other refusal is a failed fill.
TEST_F(FreeSpaceTest, ResidentPhaseEndedByAnythingButAFullDriveFails)
{
    m_fakes->SetRecordSize(1024);
    auto method = ConstantMethod({0x11});
    {
        SCOPED_TRACE("a small file that cannot be created");
        m_fakes->FailCreatesAfter(2, ERROR_ACCESS_DENIED);
        EXPECT_EQ(0, Resident(method.get()));
        EXPECT_EQ(2u, FilesBelow(m_folder).size());
    }
    {
        SCOPED_TRACE("a small file that cannot be written");
        m_fakes->FailCreatesAfter(50);
        m_fakes->FailWrites(ERROR_IO_DEVICE);
        EXPECT_EQ(0, Resident(method.get()));
    }
    m_sink.Pump();
    EXPECT_EQ((std::vector<int32_t>{1, 0, 1, 0}), ResidentFlags(m_sink));
}

}  // namespace
