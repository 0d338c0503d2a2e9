// Shredding one file or folder: real files in a temporary folder of the Wine prefix, real renames and
// deletions. The import seam records the writes and renames, makes the pauses cheap, and fakes what Wine
// cannot show (NTFS file records, FAT volumes, failing writes, a read-only file that refuses writers).
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "MessageSink.h"
#include "TempDir.h"
#include "engine/ErasureMethod.h"
#include "engine/FoundNames.h"
#include "engine/ShredFile.h"

namespace {

constexpr uint8_t kOriginal = 0xEE;

// ---- recorders and fakes; they act on calls of the test thread only and forward everything else ----

DWORD g_testThread;
bool OnTestThread() { return GetCurrentThreadId() == g_testThread; }

std::vector<DWORD> g_sleeps;
void WINAPI FakeSleep(DWORD milliseconds)
{
    if (OnTestThread())
        g_sleeps.push_back(milliseconds);
}

struct Write {
    DWORD m_bytes;
    uint8_t m_first;
    bool m_uniform;  // every byte equals the first
};
ImportPatch<decltype(::WriteFile)>* g_writeFile;
std::vector<Write> g_writes;  // of the last Shred call only (the tests' own file set-up is not recorded)
bool g_recording;
int g_failWriteNumber;  // the write (from 1) that fails with g_writeError; 0: none
DWORD g_writeError;
std::function<void(int)> g_afterWrite;  // called after each recorded write with its number
std::function<void(int, HANDLE)> g_beforeWrite;  // called before each recorded write with its number
BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (!OnTestThread() || !g_recording)
        return g_writeFile->Original()(file, buffer, bytes, written, overlapped);
    const auto* data = static_cast<const uint8_t*>(buffer);
    const int number = static_cast<int>(g_writes.size()) + 1;
    if (g_beforeWrite)
        g_beforeWrite(number, file);
    g_writes.push_back({bytes, bytes ? data[0] : uint8_t(0),
                        std::all_of(data, data + bytes, [&](uint8_t b) { return b == data[0]; })});
    if (number == g_failWriteNumber) {
        SetLastError(g_writeError);
        return FALSE;
    }
    const BOOL ok = g_writeFile->Original()(file, buffer, bytes, written, overlapped);
    if (g_afterWrite)
        g_afterWrite(number);
    return ok;
}

// Length changes of the test thread's files while a Shred call runs. A program whose code never sets the
// end of a file does not import the call: then nothing is patched, and nothing can change a length so.
ImportPatch<decltype(::SetEndOfFile)>* g_setEndOfFile;
int g_lengthChanges;
BOOL WINAPI FakeSetEndOfFile(HANDLE file)
{
    if (OnTestThread() && g_recording)
        ++g_lengthChanges;
    return g_setEndOfFile->Original()(file);
}

// Flushes: Wine ignores FILE_FLAG_WRITE_THROUGH and its flushes cannot fail on demand.
ImportPatch<decltype(::FlushFileBuffers)>* g_flushFileBuffers;
int g_flushes;            // of the last Shred call
int g_failFlushNumber;    // the flush (from 1) that fails with ERROR_IO_DEVICE; 0: none
BOOL WINAPI FakeFlushFileBuffers(HANDLE file)
{
    if (OnTestThread() && g_recording && ++g_flushes == g_failFlushNumber) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return g_flushFileBuffers->Original()(file);
}

struct Move {
    std::wstring m_from;
    std::wstring m_to;
};
// The renames, which go through the item's open handle (SetFileInformationByHandle with FileRenameInfo):
// where from (the handle's path) and where to.
ImportPatch<decltype(::SetFileInformationByHandle)>* g_setFileInformation;
std::vector<Move> g_moves;
int g_failMoveNumber;
std::function<void(const wchar_t*)> g_beforeFirstMove;  // sees the item as the renames find it
BOOL WINAPI FakeSetFileInformation(HANDLE item, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size)
{
    if (!OnTestThread() || kind != FileRenameInfo)
        return g_setFileInformation->Original()(item, kind, data, size);
    const auto* rename = static_cast<const FILE_RENAME_INFO*>(data);
    const std::wstring to(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    wchar_t final[1024] = {};
    const DWORD length = GetFinalPathNameByHandleW(item, final, 1024, 0);
    const std::wstring from = length > 0 && length < 1024 ? ShownPath(std::wstring(final, length)) : L"";
    if (g_moves.empty() && g_beforeFirstMove)
        g_beforeFirstMove(from.c_str());
    g_moves.push_back({from, to});
    if (static_cast<int>(g_moves.size()) == g_failMoveNumber) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    return g_setFileInformation->Original()(item, kind, data, size);
}

// NTFS volume data: Wine answers the request with ERROR_NOT_SUPPORTED.
ImportPatch<decltype(::DeviceIoControl)>* g_deviceIoControl;
DWORD g_recordSize;  // 0: forward
BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (code == FSCTL_GET_NTFS_VOLUME_DATA && g_recordSize != 0) {
        NTFS_VOLUME_DATA_BUFFER data = {};
        data.BytesPerFileRecordSegment = g_recordSize;
        std::memcpy(out, &data, std::min<DWORD>(outSize, sizeof data));
        *returned = sizeof data;
        return TRUE;
    }
    return g_deviceIoControl->Original()(device, code, in, inSize, out, outSize, returned, overlapped);
}

// The file-system name of every volume: Wine says NTFS for all.
ImportPatch<decltype(::GetVolumeInformationW)>* g_volumeInformation;
std::wstring g_fileSystem;
BOOL WINAPI FakeGetVolumeInformationW(LPCWSTR root, LPWSTR label, DWORD labelLength, LPDWORD serial,
                                      LPDWORD component, LPDWORD flags, LPWSTR fileSystem, DWORD fileSystemLength)
{
    const BOOL ok = g_volumeInformation->Original()(root, label, labelLength, serial, component, flags, fileSystem,
                                                    fileSystemLength);
    if (ok && fileSystem && !g_fileSystem.empty())
        lstrcpynW(fileSystem, g_fileSystem.c_str(), static_cast<int>(fileSystemLength));
    return ok;
}

// The cluster geometry: a failure, or no cluster size at all.
ImportPatch<decltype(::GetDiskFreeSpaceW)>* g_diskFreeSpace;
// SixteenfoldClusters: clusters 16 times the real size, as a volume formatted with larger clusters has.
enum class Geometry { Real, Fails, ZeroSectors, SixteenfoldClusters } g_geometry;
BOOL WINAPI FakeGetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD freeClusters,
                                  LPDWORD totalClusters)
{
    if (g_geometry == Geometry::Fails) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    const BOOL ok = g_diskFreeSpace->Original()(root, sectors, bytes, freeClusters, totalClusters);
    if (ok && g_geometry == Geometry::ZeroSectors)
        *sectors = 0;
    if (ok && g_geometry == Geometry::SixteenfoldClusters)
        *sectors *= 16;
    return ok;
}

// Windows refuses to open a read-only file for writing; Wine running as root does not.
ImportPatch<decltype(::CreateFileW)>* g_createFile;
HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const DWORD writeAccess = GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA;
    const DWORD attributes = GetFileAttributesW(name);
    if ((access & writeAccess) && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return g_createFile->Original()(name, access, share, security, disposition, flags, templateFile);
}

// A method of three constant passes, so that every write shows which pass made it.
std::unique_ptr<CErasureMethod> ThreePasses()
{
    auto method = std::make_unique<CErasureMethod>();
    for (uint8_t b : {0x11, 0x22, 0x33})
        method->m_passes.push_back(new CWriteConstant(std::vector<uint8_t>{b}));
    return method;
}

DWORD ClusterSizeOfDriveC()
{
    DWORD sectors = 0, bytes = 0, freeClusters = 0, total = 0;
    return GetDiskFreeSpaceW(L"C:\\", &sectors, &bytes, &freeClusters, &total) ? sectors * bytes : 0;
}

uint64_t RoundUp(uint64_t size, uint64_t cluster) { return (size + cluster - 1) / cluster * cluster; }

std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

bool IsRenameTarget(const std::wstring& path, const std::wstring& folder)
{
    if (path.size() != folder.size() + 1 + 25 + 4 || path.compare(0, folder.size() + 1, folder + L"\\") != 0)
        return false;
    const std::wstring name = path.substr(folder.size() + 1);
    return std::all_of(name.begin(), name.begin() + 25,
                       [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z'); }) &&
           name.substr(25) == L".tmp";
}

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// Links as Windows opens them: a link's path leads to what it points at, unless the caller asks for the
// link itself with FILE_FLAG_OPEN_REPARSE_POINT. Wine 8 cannot show this: it marks a Unix symlink to a
// file as a plain file, ignores FILE_FLAG_OPEN_REPARSE_POINT, and renames or deletes what a Unix symlink
// (to a file or a folder) points at instead of the link. So a link here is a stand-in item (an empty
// file or folder) that this fake of the open follows to its target.
ImportPatch<decltype(::CreateFileW)>* g_linkCreateFile;
std::vector<std::pair<std::wstring, std::wstring>> g_links;  // link path, target path
HANDLE WINAPI FakeLinkFollowingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                           DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (!(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
        for (const auto& [link, target] : g_links) {
            if (lstrcmpiW(name, link.c_str()) == 0)
                return g_linkCreateFile->Original()(target.c_str(), access, share, security, disposition, flags,
                                                    templateFile);
        }
    }
    return g_linkCreateFile->Original()(name, access, share, security, disposition, flags, templateFile);
}

// A handle opened with FILE_FLAG_OPEN_REPARSE_POINT is the link itself on Windows, and shows the reparse
// point; Wine opens what its links point at. For the stand-in links, the attribute query reports the
// reparse point as Windows would (the stand-in is told by its file identity); every other handle passes on.
ImportPatch<decltype(::GetFileInformationByHandleEx)>* g_linkInformation;
bool SameFile(HANDLE handle, const std::wstring& path)
{
    HANDLE other = g_linkCreateFile->Original()(path.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                                nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a = {}, b = {};
    const bool same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(other, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(other);
    return same;
}
BOOL WINAPI FakeLinkInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size)
{
    const BOOL ok = g_linkInformation->Original()(handle, type, info, size);
    if (ok && type == FileAttributeTagInfo) {
        for (const auto& [link, target] : g_links) {
            if (SameFile(handle, link)) {
                auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
                tag->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                tag->ReparseTag = IO_REPARSE_TAG_SYMLINK;
            }
        }
    }
    return ok;
}

// Reparse tags as a search reports them: Wine reports none for its links and has no other reparse points.
ImportPatch<decltype(::FindFirstFileW)>* g_findFirstFile;
std::vector<std::pair<std::wstring, DWORD>> g_reparseTags;  // path, tag
std::vector<std::wstring> g_unsearchable;                   // paths whose search is refused
HANDLE WINAPI FakeFindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW found)
{
    for (const std::wstring& path : g_unsearchable) {
        if (lstrcmpiW(name, path.c_str()) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    const HANDLE search = g_findFirstFile->Original()(name, found);
    if (search != INVALID_HANDLE_VALUE) {
        for (const auto& [path, tag] : g_reparseTags) {
            if (lstrcmpiW(name, path.c_str()) == 0) {
                found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                found->dwReserved0 = tag;
            }
        }
    }
    return search;
}

uint64_t LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

class Shredding : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.IsValid());
        g_testThread = GetCurrentThreadId();
        g_sleeps.clear();
        g_writes.clear();
        g_recording = false;
        g_failWriteNumber = 0;
        g_writeError = ERROR_DISK_FULL;
        g_flushes = 0;
        g_failFlushNumber = 0;
        g_afterWrite = nullptr;
        g_beforeWrite = nullptr;
        g_lengthChanges = 0;
        g_moves.clear();
        g_failMoveNumber = 0;
        g_beforeFirstMove = nullptr;
        g_recordSize = 0;
        g_fileSystem.clear();
        g_geometry = Geometry::Real;
        m_cluster = ClusterSizeOfDriveC();
        ASSERT_GT(m_cluster, 0u);

        m_sleep = std::make_unique<ImportPatch<decltype(::Sleep)>>("Sleep", &FakeSleep);
        m_write = std::make_unique<ImportPatch<decltype(::WriteFile)>>("WriteFile", &FakeWriteFile);
        m_move = std::make_unique<ImportPatch<decltype(::SetFileInformationByHandle)>>("SetFileInformationByHandle",
                                                                                      &FakeSetFileInformation);
        m_control = std::make_unique<ImportPatch<decltype(::DeviceIoControl)>>("DeviceIoControl", &FakeDeviceIoControl);
        m_information = std::make_unique<ImportPatch<decltype(::GetVolumeInformationW)>>("GetVolumeInformationW",
                                                                                         &FakeGetVolumeInformationW);
        m_space = std::make_unique<ImportPatch<decltype(::GetDiskFreeSpaceW)>>("GetDiskFreeSpaceW",
                                                                               &FakeGetDiskFreeSpaceW);
        m_flush = std::make_unique<ImportPatch<decltype(::FlushFileBuffers)>>("FlushFileBuffers",
                                                                              &FakeFlushFileBuffers);
        g_flushFileBuffers = m_flush.get();
        g_writeFile = m_write.get();
        g_setFileInformation = m_move.get();
        g_deviceIoControl = m_control.get();
        g_volumeInformation = m_information.get();
        g_diskFreeSpace = m_space.get();
        ASSERT_TRUE(m_sleep->IsActive() && m_write->IsActive() && m_move->IsActive() && m_control->IsActive() &&
                    m_information->IsActive() && m_space->IsActive() && m_flush->IsActive());
    }

    void TearDown() override
    {
        m_flush.reset();
        m_space.reset();
        m_information.reset();
        m_control.reset();
        m_move.reset();
        m_write.reset();
        m_sleep.reset();
        g_afterWrite = nullptr;
        g_beforeWrite = nullptr;
        g_beforeFirstMove = nullptr;
    }

    struct Outcome {
        int m_result;
        int32_t m_kind;
        DWORD m_code;
        uint64_t m_size;
    };

    // attributes: as read now unless given; presetKind: the kind the caller starts from.
    Outcome Shred(const std::wstring& path, CErasureMethod* method, DWORD attributes = 0xFFFFFFFF,
                  int32_t presetKind = 0)
    {
        if (attributes == 0xFFFFFFFF)
            attributes = GetFileAttributesW(path.c_str());
        Outcome outcome{-1, presetKind, 0xDEAD, 0xDEAD};
        g_writes.clear();
        g_flushes = 0;
        g_recording = true;
        outcome.m_result = ShredFile(m_sink.Handle(), path.c_str(), method, &outcome.m_kind, &outcome.m_code,
                                     &outcome.m_size, &m_cancel, &m_itemsDone, &m_bytesDone, attributes);
        g_recording = false;
        m_sink.Pump();
        return outcome;
    }

    TempDir m_temp{L"shred"};
    MessageSink m_sink;
    CancelFlag m_cancel{0};
    uint64_t m_itemsDone = 5;
    uint64_t m_bytesDone = 100;
    DWORD m_cluster = 0;

    std::unique_ptr<ImportPatch<decltype(::Sleep)>> m_sleep;
    std::unique_ptr<ImportPatch<decltype(::WriteFile)>> m_write;
    std::unique_ptr<ImportPatch<decltype(::SetFileInformationByHandle)>> m_move;
    std::unique_ptr<ImportPatch<decltype(::DeviceIoControl)>> m_control;
    std::unique_ptr<ImportPatch<decltype(::GetVolumeInformationW)>> m_information;
    std::unique_ptr<ImportPatch<decltype(::GetDiskFreeSpaceW)>> m_space;
    std::unique_ptr<ImportPatch<decltype(::FlushFileBuffers)>> m_flush;
};

}  // namespace

// ---- the whole road ----

TEST_F(Shredding, AFileIsOverwrittenOverItsWholeClustersRenamedSevenTimesAndDeleted)
{
    const std::wstring path = m_temp.WriteFile(L"report.doc", 5000, kOriginal);
    ASSERT_FALSE(path.empty());
    auto method = ThreePasses();
    // What the renames find: the last pass over the whole clusters, and the times at the earliest
    // instant the file system keeps (Windows: 1601; Wine clamps to 1901).
    std::vector<uint8_t> contentsBeforeRenames;
    WIN32_FILE_ATTRIBUTE_DATA timesBeforeRenames = {};
    g_beforeFirstMove = [&](const wchar_t* from) {
        GetFileAttributesExW(from, GetFileExInfoStandard, &timesBeforeRenames);  // before the read
        contentsBeforeRenames = TempDir::ReadFile(from);
    };

    const Outcome outcome = Shred(path, method.get());
    EXPECT_EQ(outcome.m_result, 1);
    EXPECT_EQ(outcome.m_kind, 0);
    EXPECT_EQ(outcome.m_size, 5000u);  // the size before the extension
    EXPECT_FALSE(TempDir::FileExists(path));
    EXPECT_TRUE(FolderEntries(m_temp.Path()).empty());  // no renamed leftover either
    EXPECT_EQ(contentsBeforeRenames, std::vector<uint8_t>(RoundUp(5000, m_cluster), 0x33));
    const uint64_t year1970 = 116444736000000000ULL;
    for (const FILETIME& time : {timesBeforeRenames.ftLastWriteTime, timesBeforeRenames.ftLastAccessTime})
        EXPECT_LT((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime, year1970);

    // Each pass writes the whole last cluster in one chunk (5000 bytes: 8192 with 4096-byte clusters).
    EXPECT_EQ(g_flushes, 3) << "every pass flushed before the next and before the renames";
    ASSERT_EQ(g_writes.size(), 3u);
    for (size_t p = 0; p < 3; ++p) {
        EXPECT_EQ(g_writes[p].m_bytes, RoundUp(5000, m_cluster)) << p;
        EXPECT_EQ(g_writes[p].m_first, 0x11 * (p + 1)) << p;
        EXPECT_TRUE(g_writes[p].m_uniform) << p;
    }

    // One progress report per pass, each pass's progress stopping at the size before the extension.
    const std::vector<DeleteProgress> progress = m_sink.Progress();
    ASSERT_EQ(progress.size(), 3u);
    for (size_t p = 0; p < 3; ++p) {
        EXPECT_EQ(progress[p].m_name, path);
        EXPECT_EQ(progress[p].m_itemsDone, 5u);
        EXPECT_EQ(progress[p].m_bytesProcessed, 100 + (p + 1) * 5000);
        EXPECT_EQ(progress[p].m_passCount, 3);
        EXPECT_EQ(progress[p].m_passNumber, static_cast<int32_t>(p + 1));
    }

    // Seven renames, each into the file's own folder and each from the name before.
    ASSERT_EQ(g_moves.size(), 7u);
    std::wstring current = path;
    for (const Move& move : g_moves) {
        EXPECT_EQ(move.m_from, current);
        EXPECT_TRUE(IsRenameTarget(move.m_to, m_temp.Path())) << move.m_to;
        current = move.m_to;
    }
    EXPECT_TRUE(g_sleeps.empty());
}

// The length never changes before the passes are written: under a FAT driver a length change moves the
// file to new clusters, and the passes would go there while the old clusters keep the data. The first
// pass's write itself covers the last cluster; a file of whole clusters is not extended at all.
TEST_F(Shredding, TheLengthIsNotChangedBeforeTheFirstPassIsWritten)
{
    const struct {
        const char* m_what;
        uint64_t m_size;
        DWORD m_recordSize;  // 0: as the volume answers
        size_t m_prePassWrites;
    } cases[] = {
        {"part of a cluster", 5000, 0, 0},
        {"whole clusters", 2 * uint64_t(m_cluster), 0, 0},
        {"one byte past whole clusters", uint64_t(m_cluster) + 1, 0, 0},
        {"smaller than a file record", 10, 1024, 3},
    };
    // Not imported (and so never called) once no step of the shred sets a file's end.
    ImportPatch<decltype(::SetEndOfFile)> length("SetEndOfFile", &FakeSetEndOfFile);
    g_setEndOfFile = &length;
    auto method = ThreePasses();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        g_recordSize = c.m_recordSize;
        g_lengthChanges = 0;
        const std::wstring path = m_temp.WriteFile(L"fat.txt", c.m_size, kOriginal);
        ASSERT_FALSE(path.empty());
        // The length each pass of the main overwrite finds when its first write comes.
        const uint64_t lengthAtMain = std::max<uint64_t>(c.m_size, c.m_prePassWrites ? c.m_recordSize : 0);
        std::vector<int64_t> lengths;
        g_beforeWrite = [&](int, HANDLE file) {
            LARGE_INTEGER length = {};
            GetFileSizeEx(file, &length);
            lengths.push_back(length.QuadPart);
        };
        const Outcome outcome = Shred(path, method.get());
        g_beforeWrite = nullptr;
        EXPECT_EQ(outcome.m_result, 1);
        EXPECT_FALSE(TempDir::FileExists(path));
        EXPECT_EQ(g_lengthChanges, 0) << "SetEndOfFile before or during the passes";
        const size_t main = c.m_prePassWrites;
        ASSERT_EQ(g_writes.size(), main + 3);
        ASSERT_EQ(lengths.size(), main + 3);
        EXPECT_EQ(lengths[0], static_cast<int64_t>(c.m_size)) << "the length changed before the first write";
        EXPECT_EQ(lengths[main], static_cast<int64_t>(lengthAtMain));
        for (size_t p = 0; p < 3; ++p) {
            EXPECT_EQ(g_writes[main + p].m_bytes, RoundUp(lengthAtMain, m_cluster)) << p;
            EXPECT_EQ(g_writes[main + p].m_first, 0x11 * (p + 1)) << p;
        }
        // From the second pass on the file has its rounded length, reached by the first pass's write.
        EXPECT_EQ(lengths[main + 1], static_cast<int64_t>(RoundUp(lengthAtMain, m_cluster)));
    }
}

TEST_F(Shredding, ACatalogueMethodWritesEachOfItsPasses)
{
    // DoD 5220.22-M: 0x00, 0xFF, then random data.
    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(6));
    ASSERT_NE(method, nullptr);
    ASSERT_EQ(method->m_passes.size(), 3u);
    const std::wstring path = m_temp.WriteFile(L"small.bin", 100, kOriginal);
    ASSERT_FALSE(path.empty());

    EXPECT_EQ(Shred(path, method.get()).m_result, 1);
    EXPECT_FALSE(TempDir::FileExists(path));
    // Smaller than an NTFS record (Wine's drives are NTFS): every pass over the record, then over the
    // whole cluster.
    ASSERT_EQ(g_writes.size(), 6u);
    for (size_t i = 0; i < 6; i += 3) {
        EXPECT_TRUE(g_writes[i].m_uniform && g_writes[i].m_first == 0x00) << i;
        EXPECT_TRUE(g_writes[i + 1].m_uniform && g_writes[i + 1].m_first == 0xFF) << i;
        EXPECT_FALSE(g_writes[i + 2].m_uniform) << i;
    }
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(g_writes[i].m_bytes, i < 3 ? 1024u : m_cluster) << i;
}

// ---- failures before anything is written ----

TEST_F(Shredding, CompressedEncryptedAndSparseFilesAreLeftAlone)
{
    const struct {
        DWORD m_attributes;
        int32_t m_kind;
    } cases[] = {
        {FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE, DeleteErrorCompressed},
        {FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED, DeleteErrorCompressed},
        {FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_SPARSE_FILE, DeleteErrorEncrypted},
        {FILE_ATTRIBUTE_SPARSE_FILE, DeleteErrorSparse},
    };
    auto method = ThreePasses();
    for (const auto& c : cases) {
        const std::wstring path = m_temp.WriteFile(L"special.dat", 300, kOriginal);
        ASSERT_FALSE(path.empty());
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        // Wine keeps none of these attributes on its files: the caller's reading is what counts.
        const Outcome outcome = Shred(path, method.get(), FILE_ATTRIBUTE_READONLY | c.m_attributes);
        EXPECT_EQ(outcome.m_result, 0);
        EXPECT_EQ(outcome.m_kind, c.m_kind) << std::hex << c.m_attributes;
        EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD(FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(TempDir::ReadFile(path), std::vector<uint8_t>(300, kOriginal));
        EXPECT_TRUE(g_writes.empty());
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    EXPECT_TRUE(g_moves.empty());
}

TEST_F(Shredding, AFileThatAnotherProgramHoldsWithoutSharingWritesFailsWithASharingViolation)
{
    const std::wstring path = m_temp.WriteFile(L"open.txt", 2000, kOriginal);
    ASSERT_FALSE(path.empty());
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    auto method = ThreePasses();
    const Outcome outcome = Shred(path, method.get());
    CloseHandle(other);
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorFailed);
    EXPECT_EQ(outcome.m_code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(TempDir::ReadFile(path), std::vector<uint8_t>(2000, kOriginal));
    EXPECT_TRUE(g_moves.empty());
}

// Another program's handle that lets writers in but not deleters: the file cannot be removed, so not one
// byte of it may be written (the open for the overwrite asks for delete access too).
TEST_F(Shredding, AFileThatAnotherProgramHoldsWithoutSharingDeletionFailsBeforeAnythingIsWritten)
{
    const struct {
        const char* m_what;
        DWORD m_access;
        DWORD m_share;
    } cases[] = {
        {"a writer sharing writes only", GENERIC_WRITE, FILE_SHARE_WRITE},
        {"a writer sharing reads and writes", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
        {"a reader sharing reads and writes", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
    };
    auto method = ThreePasses();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        const std::wstring path = m_temp.WriteFile(L"held.txt", 5000, kOriginal);
        ASSERT_FALSE(path.empty());
        {
            HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        0, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            const FILETIME year2001 = {0xC89DC000, 0x01C07385};
            EXPECT_TRUE(SetFileTime(handle, &year2001, &year2001, &year2001));
            CloseHandle(handle);
        }
        const uint64_t time = LastWriteTime(path);
        HANDLE other = CreateFileW(path.c_str(), c.m_access, c.m_share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        g_moves.clear();
        const Outcome outcome = Shred(path, method.get());
        CloseHandle(other);
        EXPECT_EQ(outcome.m_result, 0);
        EXPECT_EQ(outcome.m_kind, DeleteErrorFailed);
        EXPECT_EQ(outcome.m_code, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "as for a file in use";
        EXPECT_TRUE(g_writes.empty());
        EXPECT_TRUE(g_moves.empty());
        EXPECT_EQ(TempDir::ReadFile(path), std::vector<uint8_t>(5000, kOriginal)) << "contents and size";
        EXPECT_EQ(LastWriteTime(path), time);
        ASSERT_TRUE(DeleteFileW(path.c_str()));
    }
}

TEST_F(Shredding, AReadOnlyFileIsMadeWritableAndShredded)
{
    ImportPatch<decltype(::CreateFileW)> create("CreateFileW", &FakeCreateFileW);
    g_createFile = &create;
    ASSERT_TRUE(create.IsActive());
    const std::wstring path = m_temp.WriteFile(L"readonly.txt", 700, kOriginal);
    ASSERT_FALSE(path.empty());
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    // The fake refuses writers as Windows does.
    ASSERT_EQ(CreateFileW(path.c_str(), FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

    auto method = ThreePasses();
    const Outcome outcome = Shred(path, method.get());
    EXPECT_EQ(outcome.m_result, 1) << outcome.m_kind << " " << outcome.m_code;
    EXPECT_FALSE(TempDir::FileExists(path));
    EXPECT_EQ(g_writes.size(), 6u);  // three passes over the NTFS record, three over the cluster
}

TEST_F(Shredding, AnUnreadableClusterSizeFailsBeforeAnythingIsWritten)
{
    auto method = ThreePasses();
    for (Geometry geometry : {Geometry::Fails, Geometry::ZeroSectors}) {
        g_geometry = geometry;
        const std::wstring path = m_temp.WriteFile(L"data.txt", 3000, kOriginal);
        ASSERT_FALSE(path.empty());
        const Outcome outcome = Shred(path, method.get());
        EXPECT_EQ(outcome.m_result, 0);
        EXPECT_EQ(outcome.m_kind, DeleteErrorFailed);
        EXPECT_NE(outcome.m_code, 0u);
        EXPECT_EQ(TempDir::ReadFile(path), std::vector<uint8_t>(3000, kOriginal));
        EXPECT_TRUE(g_writes.empty());
    }
    EXPECT_TRUE(g_moves.empty());
}

// ---- the volume decides the small-file pre-pass ----

// Wine reports NTFS without NTFS volume data: such a volume has records of the usual 1,024 bytes. Other
// record sizes are faked.
TEST_F(Shredding, AFileSmallerThanAnNtfsRecordIsFirstOverwrittenOverTheRecord)
{
    const struct {
        const char* m_what;
        DWORD m_answer;  // 0: the volume does not tell
        uint64_t m_record;
    } cases[] = {
        {"the volume tells 1024", 1024, 1024},
        {"the volume tells 4096", 4096, 4096},
        {"the volume does not tell", 0, 1024},
    };
    auto method = ThreePasses();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_what);
        g_recordSize = c.m_answer;
        m_sink.Clear();
        const std::wstring path = m_temp.WriteFile(L"empty.txt", 0, 0);
        ASSERT_FALSE(path.empty());
        const Outcome outcome = Shred(path, method.get());
        EXPECT_EQ(outcome.m_result, 1);
        EXPECT_EQ(outcome.m_size, 0u);
        EXPECT_FALSE(TempDir::FileExists(path));
        // Three passes over the record, then three over the whole clusters the record size fills.
        ASSERT_EQ(g_writes.size(), 6u);
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(g_writes[i].m_bytes, i < 3 ? c.m_record : RoundUp(c.m_record, m_cluster)) << i;
            EXPECT_EQ(g_writes[i].m_first, 0x11 * (i % 3 + 1)) << i;
        }
        // Only the main overwrite reports, and a file of size 0 adds nothing to the progress.
        const std::vector<DeleteProgress> progress = m_sink.Progress();
        ASSERT_EQ(progress.size(), 3u);
        for (const DeleteProgress& report : progress)
            EXPECT_EQ(report.m_bytesProcessed, 100u);

        // A file of the record size or more has no pre-pass.
        const std::wstring full = m_temp.WriteFile(L"full.txt", c.m_record, kOriginal);
        EXPECT_EQ(Shred(full, method.get()).m_result, 1);
        EXPECT_EQ(g_writes.size(), 3u);
    }
}

// Wine reports NTFS for every drive; the other file systems are faked by name.
TEST_F(Shredding, FilesOnOtherFileSystemsAreShreddedWithoutThePrePass)
{
    auto method = ThreePasses();
    g_recordSize = 1024;  // would apply if the volume were taken for NTFS
    for (const wchar_t* fileSystem : {L"FAT", L"FAT32", L"exFAT"}) {
        g_fileSystem = fileSystem;
        if (std::wstring(fileSystem) != L"FAT")
            g_recordSize = 0;  // only NTFS answers the record-size query
        g_writes.clear();
        g_moves.clear();
        const std::wstring empty = m_temp.WriteFile(L"empty.txt", 0, 0);
        const std::wstring small = m_temp.WriteFile(L"small.txt", 10, kOriginal);
        ASSERT_FALSE(empty.empty() || small.empty());

        // An empty file occupies no cluster: nothing to overwrite, then the renames and the deletion.
        const Outcome outcome = Shred(empty, method.get());
        EXPECT_EQ(outcome.m_result, 1) << fileSystem;
        EXPECT_FALSE(TempDir::FileExists(empty)) << fileSystem;
        EXPECT_TRUE(g_writes.empty()) << fileSystem;
        EXPECT_EQ(g_moves.size(), 7u) << fileSystem;

        EXPECT_EQ(Shred(small, method.get()).m_result, 1) << fileSystem;
        EXPECT_FALSE(TempDir::FileExists(small)) << fileSystem;
        ASSERT_EQ(g_writes.size(), 3u) << fileSystem;
        EXPECT_EQ(g_writes[0].m_bytes, m_cluster) << fileSystem;
    }
}

// ---- a failed or stopped overwrite keeps the file ----

TEST_F(Shredding, AFailedWriteOrFlushKeepsTheFileUnderItsName)
{
    auto method = ThreePasses();
    const struct {
        const char* m_what;
        DWORD m_recordSize;
        uint64_t m_size;
        int m_failingWrite;
        int m_failingFlush;
        DWORD m_code;
        size_t m_writes;
    } cases[] = {
        {"pre-pass write", 1024, 10, 1, 0, ERROR_DISK_FULL, 1},
        {"main overwrite, second pass's write", 0, 5000, 2, 0, ERROR_DISK_FULL, 2},
        // A pass that is written but not flushed may never reach the disk: as good as a failed write.
        {"pre-pass flush", 1024, 10, 0, 1, ERROR_IO_DEVICE, 1},
        {"main overwrite, last pass's flush", 0, 5000, 0, 3, ERROR_IO_DEVICE, 3},
    };
    for (const auto& c : cases) {
        g_recordSize = c.m_recordSize;
        g_failWriteNumber = c.m_failingWrite;
        g_failFlushNumber = c.m_failingFlush;
        g_writes.clear();
        const std::wstring path = m_temp.WriteFile(L"precious.txt", c.m_size, kOriginal);
        ASSERT_FALSE(path.empty());
        const Outcome outcome = Shred(path, method.get());
        EXPECT_EQ(outcome.m_result, 0) << c.m_what;
        EXPECT_EQ(outcome.m_kind, DeleteErrorFailed) << c.m_what;
        EXPECT_EQ(outcome.m_code, c.m_code) << c.m_what;
        EXPECT_TRUE(TempDir::FileExists(path)) << c.m_what;
        EXPECT_EQ(FolderEntries(m_temp.Path()), std::vector<std::wstring>{L"precious.txt"}) << c.m_what;
        EXPECT_EQ(g_writes.size(), c.m_writes) << c.m_what;
    }
    EXPECT_TRUE(g_moves.empty());
}

TEST_F(Shredding, AStopDuringTheOverwriteKeepsTheFileAndRecordsNoFailure)
{
    auto method = ThreePasses();
    const std::wstring path = m_temp.WriteFile(L"half.txt", 5000, kOriginal);
    ASSERT_FALSE(path.empty());
    g_afterWrite = [this](int number) {
        if (number == 1)
            m_cancel = 1;
    };
    Outcome outcome = Shred(path, method.get(), 0xFFFFFFFF, 99);
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorNone);
    EXPECT_EQ(g_writes.size(), 1u);  // the loop saw the stop before its next chunk
    EXPECT_TRUE(g_moves.empty());
    const std::vector<uint8_t> contents = TempDir::ReadFile(path);
    EXPECT_EQ(contents, std::vector<uint8_t>(RoundUp(5000, m_cluster), 0x11));  // the first pass, written

    // A stop already asked for when the file comes: nothing is written, the file is not even extended.
    g_afterWrite = nullptr;
    g_writes.clear();
    const std::wstring untouched = m_temp.WriteFile(L"untouched.txt", 5000, kOriginal);
    outcome = Shred(untouched, method.get(), 0xFFFFFFFF, 99);
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorNone);
    EXPECT_TRUE(g_writes.empty());
    EXPECT_EQ(TempDir::ReadFile(untouched), std::vector<uint8_t>(5000, kOriginal));
    EXPECT_TRUE(g_moves.empty());
}

// ---- links ----

TEST_F(Shredding, ALinkIsRemovedAndWhatItPointsAtSurvives)
{
    const std::wstring outside = m_temp.MakeFolder(L"outside");
    const std::wstring target = m_temp.WriteFile(L"outside\\target.txt", 5000, kOriginal);
    const std::wstring selection = m_temp.MakeFolder(L"selection");
    ASSERT_FALSE(outside.empty() || target.empty() || selection.empty());
    const std::wstring fileLink = m_temp.WriteFile(L"selection\\link.txt", 0, 0);
    const std::wstring readOnlyLink = m_temp.WriteFile(L"selection\\readonly-link.txt", 0, 0);
    const std::wstring folderLink = m_temp.MakeFolder(L"selection\\folderlink");
    ASSERT_FALSE(fileLink.empty() || readOnlyLink.empty() || folderLink.empty());
    ASSERT_TRUE(SetFileAttributesW(readOnlyLink.c_str(), FILE_ATTRIBUTE_READONLY));

    ImportPatch<decltype(::CreateFileW)> create("CreateFileW", &FakeLinkFollowingCreateFileW);
    ImportPatch<decltype(::FindFirstFileW)> find("FindFirstFileW", &FakeFindFirstFileW);
    ImportPatch<decltype(::GetFileInformationByHandleEx)> information("GetFileInformationByHandleEx",
                                                                      &FakeLinkInformationByHandleEx);
    g_linkCreateFile = &create;
    g_findFirstFile = &find;
    g_linkInformation = &information;
    ASSERT_TRUE(create.IsActive() && find.IsActive() && information.IsActive());
    g_links = {{fileLink, target}, {readOnlyLink, target}, {folderLink, outside}};
    // Wine's own links show the attribute without a tag (0).
    g_reparseTags = {{fileLink, 0}, {readOnlyLink, IO_REPARSE_TAG_SYMLINK}, {folderLink, IO_REPARSE_TAG_MOUNT_POINT}};
    struct ForgetLinks {
        ~ForgetLinks()
        {
            g_links.clear();
            g_reparseTags.clear();
        }
    } forgetLinks;
    // The stand-in follows: a write through the link's path would reach the target.
    {
        HANDLE through = CreateFileW(fileLink.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
        ASSERT_NE(through, INVALID_HANDLE_VALUE);
        LARGE_INTEGER size = {};
        EXPECT_TRUE(GetFileSizeEx(through, &size));
        CloseHandle(through);
        ASSERT_EQ(size.QuadPart, 5000);
    }
    // Old times, so that a change made through a link would show.
    {
        HANDLE handle = CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        FILETIME year2001 = {0xC89DC000, 0x01C07385};
        EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &year2001));
        CloseHandle(handle);
    }
    const uint64_t targetTime = LastWriteTime(target);
    ASSERT_NE(targetTime, 0u);

    auto method = ThreePasses();
    const struct {
        const wchar_t* m_what;
        std::wstring m_link;
        DWORD m_attributes;
    } cases[] = {
        {L"symbolic link to a file, no tag to be read", fileLink, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE},
        {L"read-only symbolic link", readOnlyLink, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY},
        {L"junction to a folder", folderLink, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},
    };
    for (const auto& c : cases) {
        g_moves.clear();
        const Outcome outcome = Shred(c.m_link, method.get(), c.m_attributes);
        EXPECT_EQ(outcome.m_result, 1) << c.m_what << " " << outcome.m_code;
        EXPECT_FALSE(TempDir::FileExists(c.m_link)) << c.m_what;
        EXPECT_TRUE(g_writes.empty()) << c.m_what;
        EXPECT_TRUE(g_moves.empty()) << c.m_what << ": a link is never renamed (that may move its target)";
    }
    EXPECT_TRUE(FolderEntries(selection).empty());

    // What the links led to is all still there, contents and times.
    EXPECT_EQ(TempDir::ReadFile(target), std::vector<uint8_t>(5000, kOriginal));
    EXPECT_EQ(LastWriteTime(target), targetTime);
    EXPECT_EQ(FolderEntries(outside), std::vector<std::wstring>{L"target.txt"});

    // A reparse point that is no link (a deduplicated file) keeps its data where writes through its path
    // do not reach: it fails as a compressed file does, untouched.
    const std::wstring deduplicated = m_temp.WriteFile(L"selection\\dedup.dat", 3000, kOriginal);
    ASSERT_FALSE(deduplicated.empty());
    g_reparseTags = {{deduplicated, IO_REPARSE_TAG_DEDUP}};
    g_moves.clear();
    const Outcome outcome = Shred(deduplicated, method.get(), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorCompressed);
    EXPECT_TRUE(g_writes.empty());
    EXPECT_TRUE(g_moves.empty());
    EXPECT_EQ(TempDir::ReadFile(deduplicated), std::vector<uint8_t>(3000, kOriginal));
}

// Wine has no reparse points of its own; the tags a search reports are faked.
TEST_F(Shredding, AReparsePointIsTakenForALinkOnlyWhenItsTagSaysSo)
{
    ImportPatch<decltype(::FindFirstFileW)> find("FindFirstFileW", &FakeFindFirstFileW);
    g_findFirstFile = &find;
    ASSERT_TRUE(find.IsActive());
    struct ForgetTags {
        ~ForgetTags()
        {
            g_reparseTags.clear();
            g_unsearchable.clear();
        }
    } forgetTags;
    auto method = ThreePasses();
    const DWORD reparseFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;

    // Reparse points that keep their data elsewhere (also named in the long form, whose "?" is no
    // wildcard) fail like compressed files and stay as they are.
    const struct {
        const wchar_t* m_name;
        DWORD m_tag;
        bool m_longForm;
    } ownData[] = {
        {L"dedup.dat", IO_REPARSE_TAG_DEDUP, true},
        {L"wof.dat", IO_REPARSE_TAG_WOF, false},
        {L"cloud.dat", IO_REPARSE_TAG_CLOUD_6, false},
    };
    for (const auto& c : ownData) {
        const std::wstring file = m_temp.WriteFile(c.m_name, 3000, kOriginal);
        ASSERT_FALSE(file.empty());
        const std::wstring path = c.m_longForm ? L"\\\\?\\" + file : file;
        g_reparseTags = {{path, c.m_tag}};
        g_moves.clear();
        const Outcome outcome = Shred(path, method.get(), reparseFile);
        EXPECT_EQ(outcome.m_result, 0) << c.m_name;
        EXPECT_EQ(outcome.m_kind, DeleteErrorCompressed) << c.m_name;
        EXPECT_TRUE(g_writes.empty()) << c.m_name;
        EXPECT_TRUE(g_moves.empty()) << c.m_name;
        EXPECT_EQ(TempDir::ReadFile(file), std::vector<uint8_t>(3000, kOriginal)) << c.m_name;
    }
    Outcome outcome{};

    // The caller saw a reparse point, the search no longer does: the item changed under the job and is a
    // plain file now, overwritten as one, never removed unwritten.
    g_reparseTags.clear();
    g_moves.clear();
    const std::wstring changed = m_temp.WriteFile(L"changed.dat", 3000, kOriginal);
    ASSERT_FALSE(changed.empty());
    outcome = Shred(changed, method.get(), reparseFile);
    EXPECT_EQ(outcome.m_result, 1) << outcome.m_code;
    EXPECT_EQ(outcome.m_size, 3000u);
    EXPECT_EQ(g_writes.size(), 3u);
    EXPECT_EQ(g_moves.size(), 7u);
    EXPECT_FALSE(TempDir::FileExists(changed));

    // A reparse point whose tag cannot be read may be a link or a file of its own: it is neither written
    // through nor removed unwritten, and the failure is reported.
    g_moves.clear();
    const std::wstring unknown = m_temp.WriteFile(L"unknown.dat", 3000, kOriginal);
    ASSERT_FALSE(unknown.empty());
    g_unsearchable = {unknown};
    outcome = Shred(unknown, method.get(), reparseFile);
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorFailed);
    EXPECT_EQ(outcome.m_code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TempDir::ReadFile(unknown), std::vector<uint8_t>(3000, kOriginal));
    EXPECT_TRUE(g_writes.empty());
    EXPECT_TRUE(g_moves.empty());
}

// ---- named streams ----

// Named streams as Windows lists and opens them. Wine keeps no streams and refuses the stream search, so
// the listing of one item is faked, and the open of its stream ("item:name:$DATA") leads to a stand-in
// file beside it.
const HANDLE kFakeStreamSearch = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5151));
ImportPatch<decltype(::FindFirstStreamW)>* g_findFirstStream;
ImportPatch<decltype(::FindNextStreamW)>* g_findNextStream;
ImportPatch<decltype(::FindClose)>* g_findClose;
ImportPatch<decltype(::CreateFileW)>* g_streamCreateFile;
std::wstring g_streamsOf;                // the item whose streams are listed
std::vector<std::wstring> g_streamNames; // what the listing reports, in order
size_t g_streamIndex;
DWORD g_streamListEnd;                   // the error the listing ends with
std::wstring g_standIn;                  // where the open of the item's named stream leads

void ReportStream(LPVOID data)
{
    auto* found = static_cast<WIN32_FIND_STREAM_DATA*>(data);
    *found = {};
    found->StreamSize.QuadPart = 300;
    lstrcpynW(found->cStreamName, g_streamNames[g_streamIndex].c_str(), MAX_PATH + 36);
}

HANDLE WINAPI FakeFindFirstStreamW(LPCWSTR name, STREAM_INFO_LEVELS level, LPVOID data, DWORD flags)
{
    if (lstrcmpiW(name, g_streamsOf.c_str()) != 0)
        return g_findFirstStream->Original()(name, level, data, flags);
    g_streamIndex = 0;
    ReportStream(data);
    return kFakeStreamSearch;
}

BOOL WINAPI FakeFindNextStreamW(HANDLE search, LPVOID data)
{
    if (search != kFakeStreamSearch)
        return g_findNextStream->Original()(search, data);
    if (++g_streamIndex >= g_streamNames.size()) {
        SetLastError(g_streamListEnd);
        return FALSE;
    }
    ReportStream(data);
    return TRUE;
}

BOOL WINAPI FakeFindClose(HANDLE search)
{
    return search == kFakeStreamSearch ? TRUE : g_findClose->Original()(search);
}

HANDLE WINAPI FakeStreamCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (lstrcmpiW(name, (g_streamsOf + L":Zone.Identifier:$DATA").c_str()) == 0)
        name = g_standIn.c_str();
    return g_streamCreateFile->Original()(name, access, share, security, disposition, flags, templateFile);
}

TEST_F(Shredding, NamedStreamsOfFilesAndFoldersGetEveryPassBeforeTheItemGoes)
{
    auto method = ThreePasses();
    int32_t kind = DeleteErrorNone;
    DWORD code = 0;

    // Under Wine the stream search fails for every item: that is an item without named streams.
    const std::wstring plain = m_temp.WriteFile(L"plain.txt", 10, kOriginal);
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(ShredNamedStreams(plain.c_str(), method.get(), &kind, &code, &m_cancel), 1);

    ImportPatch<decltype(::FindFirstStreamW)> first("FindFirstStreamW", &FakeFindFirstStreamW);
    ImportPatch<decltype(::FindNextStreamW)> next("FindNextStreamW", &FakeFindNextStreamW);
    ImportPatch<decltype(::FindClose)> close("FindClose", &FakeFindClose);
    ImportPatch<decltype(::CreateFileW)> create("CreateFileW", &FakeStreamCreateFileW);
    g_findFirstStream = &first;
    g_findNextStream = &next;
    g_findClose = &close;
    g_streamCreateFile = &create;
    ASSERT_TRUE(first.IsActive() && next.IsActive() && close.IsActive() && create.IsActive());
    struct Forget {
        ~Forget() { g_streamsOf.clear(); }
    } forget;
    g_streamNames = {L"::$DATA", L":Zone.Identifier:$DATA"};
    g_streamListEnd = ERROR_HANDLE_EOF;

    // A downloaded file: its Zone.Identifier stream is overwritten with every pass, each flushed, before
    // the file is renamed and deleted.
    const std::wstring downloaded = m_temp.WriteFile(L"downloaded.exe", 5000, kOriginal);
    g_standIn = m_temp.WriteFile(L"downloaded.exe-zone", 300, kOriginal);
    ASSERT_FALSE(downloaded.empty() || g_standIn.empty());
    g_streamsOf = downloaded;
    Outcome outcome = Shred(downloaded, method.get());
    EXPECT_EQ(outcome.m_result, 1) << outcome.m_code;
    EXPECT_FALSE(TempDir::FileExists(downloaded));
    EXPECT_EQ(TempDir::ReadFile(g_standIn), std::vector<uint8_t>(300, 0x33));
    ASSERT_EQ(g_writes.size(), 6u);  // three passes over the data, three over the stream
    for (size_t p = 0; p < 3; ++p) {
        EXPECT_EQ(g_writes[3 + p].m_bytes, 300u) << p;
        EXPECT_EQ(g_writes[3 + p].m_first, 0x11 * (p + 1)) << p;
    }
    EXPECT_EQ(g_flushes, 6);

    // A listing that breaks off may hide a stream: the file is kept under its name.
    g_moves.clear();
    const std::wstring unlisted = m_temp.WriteFile(L"unlisted.exe", 5000, kOriginal);
    ASSERT_FALSE(unlisted.empty());
    g_streamsOf = unlisted;
    g_streamListEnd = ERROR_ACCESS_DENIED;
    outcome = Shred(unlisted, method.get());
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorFailed);
    EXPECT_EQ(outcome.m_code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(TempDir::FileExists(unlisted));
    EXPECT_TRUE(g_moves.empty());

    // A folder's streams, as the shredding thread overwrites them before the folder's removal.
    const std::wstring folder = m_temp.MakeFolder(L"folder");
    g_standIn = m_temp.WriteFile(L"folder-zone", 300, kOriginal);
    ASSERT_FALSE(folder.empty() || g_standIn.empty());
    g_streamsOf = folder;
    g_streamListEnd = ERROR_HANDLE_EOF;
    EXPECT_EQ(ShredNamedStreams(folder.c_str(), method.get(), &kind, &code, &m_cancel), 1);
    EXPECT_EQ(TempDir::ReadFile(g_standIn), std::vector<uint8_t>(300, 0x33));
}

// A read-only folder as Windows keeps it: Wine stores no read-only attribute on folders (running as root
// it would remove one anyway), so the folder's attribute lives here. The handle's FileBasicInfo shows it,
// setting FileBasicInfo without it clears it, and the deletion (FileDispositionInfo) is refused while it is set.
bool g_folderReadOnly;
ImportPatch<decltype(::GetFileInformationByHandleEx)>* g_getInformation;
ImportPatch<decltype(::SetFileInformationByHandle)>* g_setInformation;
BOOL WINAPI ReadOnlyGetInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size)
{
    const BOOL ok = g_getInformation->Original()(file, kind, data, size);
    if (ok && kind == FileBasicInfo && g_folderReadOnly)
        static_cast<FILE_BASIC_INFO*>(data)->FileAttributes |= FILE_ATTRIBUTE_READONLY;
    return ok;
}
BOOL WINAPI ReadOnlySetInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size)
{
    if (kind == FileBasicInfo && !(static_cast<FILE_BASIC_INFO*>(data)->FileAttributes & FILE_ATTRIBUTE_READONLY))
        g_folderReadOnly = false;
    if (kind == FileDispositionInfo && g_folderReadOnly) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return g_setInformation->Original()(file, kind, data, size);
}

TEST_F(Shredding, AReadOnlyFolderIsMadeWritableAndRemoved)
{
    const std::wstring folder = m_temp.MakeFolder(L"readonly");
    ASSERT_FALSE(folder.empty());
    ImportPatch<decltype(::GetFileInformationByHandleEx)> get("GetFileInformationByHandleEx", &ReadOnlyGetInformation);
    ImportPatch<decltype(::SetFileInformationByHandle)> set("SetFileInformationByHandle", &ReadOnlySetInformation);
    g_getInformation = &get;
    g_setInformation = &set;
    ASSERT_TRUE(get.IsActive() && set.IsActive());
    g_folderReadOnly = true;
    EXPECT_EQ(RenameAndDelete(folder.c_str(), 1), 1) << GetLastError();
    EXPECT_FALSE(g_folderReadOnly);
    EXPECT_TRUE(FolderEntries(m_temp.Path()).empty());
}

// ---- what a job knows about its folders ----

// Counts the volume walk's queries (forwarded to the real function).
ImportPatch<decltype(::GetVolumeNameForVolumeMountPointW)>* g_volumeName;
int g_volumeNameCalls;
BOOL WINAPI CountingVolumeName(LPCWSTR mountPoint, LPWSTR name, DWORD length)
{
    ++g_volumeNameCalls;
    return g_volumeName->Original()(mountPoint, name, length);
}

// A job's cache gives every file the result it gets without one, in nested folders and on two volumes
// (the prefix's C: and Z: drives), and walks the volumes once per folder. A failed lookup is not kept.
TEST_F(Shredding, AJobsFolderCacheGivesTheSameResultsAndLooksEachFolderUpOnce)
{
    ImportPatch<decltype(::GetVolumeNameForVolumeMountPointW)> volumeName("GetVolumeNameForVolumeMountPointW",
                                                                          &CountingVolumeName);
    g_volumeName = &volumeName;
    ASSERT_TRUE(volumeName.IsActive());
    std::vector<std::wstring> folders = {m_temp.MakeFolder(L"a"), m_temp.MakeFolder(L"a\\b")};
    ASSERT_FALSE(folders[0].empty() || folders[1].empty());
    wchar_t unique[64];
    _snwprintf(unique, 64, L"Z:\\tmp\\pellumar-facts-%lu", GetCurrentProcessId());
    const std::wstring other = unique;
    const bool haveOther = CreateDirectoryW(other.c_str(), nullptr) != 0;
    if (haveOther)
        folders.push_back(other);
    struct RemoveOther {
        std::wstring m_path;
        ~RemoveOther() { TempDir::RemoveTree(m_path); }
    } removeOther{haveOther ? other : std::wstring()};

    auto method = ThreePasses();
    CFolderFactsCache cache;
    std::vector<bool> seen(folders.size(), false);
    // Files in walk order: into the nested folder and back out, then the other drive.
    const size_t order[] = {0, 0, 1, 1, 0, 2, 2, 0};
    int n = 0;
    for (size_t f : order) {
        if (f >= folders.size())
            continue;
        SCOPED_TRACE(testing::PrintToString(folders[f]));
        const std::wstring withCache = folders[f] + L"\\cached" + std::to_wstring(n) + L".txt";
        const std::wstring without = folders[f] + L"\\plain" + std::to_wstring(n) + L".txt";
        ++n;
        for (const std::wstring& path : {withCache, without}) {
            HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            const std::vector<uint8_t> data(5000, kOriginal);
            DWORD written = 0;
            WriteFile(file, data.data(), 5000, &written, nullptr);
            CloseHandle(file);
        }
        Outcome plain = Shred(without, method.get());
        const std::vector<Write> plainWrites = g_writes;

        g_volumeNameCalls = 0;
        Outcome cached{-1, 0, 0, 0};
        g_writes.clear();
        g_recording = true;
        cached.m_result = ShredFile(m_sink.Handle(), withCache.c_str(), method.get(), &cached.m_kind, &cached.m_code,
                                    &cached.m_size, &m_cancel, &m_itemsDone, &m_bytesDone,
                                    GetFileAttributesW(withCache.c_str()), &cache);
        g_recording = false;
        EXPECT_EQ(cached.m_result, plain.m_result);
        EXPECT_EQ(cached.m_result, 1);
        EXPECT_EQ(cached.m_size, plain.m_size);
        ASSERT_EQ(g_writes.size(), plainWrites.size());
        for (size_t w = 0; w < g_writes.size(); ++w)
            EXPECT_EQ(g_writes[w].m_bytes, plainWrites[w].m_bytes) << w;
        if (seen[f])
            EXPECT_EQ(g_volumeNameCalls, 0) << "a folder met before is not walked again";
        else
            EXPECT_GT(g_volumeNameCalls, 0);
        seen[f] = true;
    }

    // A lookup that fails fails the file as without the cache, and is tried afresh for the next file.
    const std::wstring fresh = m_temp.MakeFolder(L"fresh");
    const std::wstring first = m_temp.WriteFile(L"fresh\\first.txt", 5000, kOriginal);
    const std::wstring second = m_temp.WriteFile(L"fresh\\second.txt", 5000, kOriginal);
    ASSERT_FALSE(fresh.empty() || first.empty() || second.empty());
    g_geometry = Geometry::Fails;
    int32_t kind = 0;
    DWORD code = 0;
    uint64_t size = 0;
    EXPECT_EQ(ShredFile(nullptr, first.c_str(), method.get(), &kind, &code, &size, &m_cancel, &m_itemsDone,
                        &m_bytesDone, GetFileAttributesW(first.c_str()), &cache), 0);
    EXPECT_EQ(kind, DeleteErrorFailed);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_TRUE(TempDir::FileExists(first));
    g_geometry = Geometry::Real;
    kind = 0;
    EXPECT_EQ(ShredFile(nullptr, second.c_str(), method.get(), &kind, &code, &size, &m_cancel, &m_itemsDone,
                        &m_bytesDone, GetFileAttributesW(second.c_str()), &cache), 1) << code;
    EXPECT_FALSE(TempDir::FileExists(second));
}

// ---- renames and deletion ----

TEST_F(Shredding, AFailedRenamePausesAndTheNextAttemptDrawsAFreshName)
{
    const std::wstring path = m_temp.WriteFile(L"item.txt", 1, kOriginal);
    ASSERT_FALSE(path.empty());
    g_failMoveNumber = 3;
    EXPECT_EQ(RenameAndDelete(path.c_str(), 0), 1);
    EXPECT_FALSE(TempDir::FileExists(path));
    ASSERT_EQ(g_moves.size(), 7u);  // seven attempts in all
    EXPECT_EQ(g_sleeps, std::vector<DWORD>{100});
    EXPECT_EQ(g_moves[3].m_from, g_moves[1].m_to);  // the failed attempt left the name as it was
    EXPECT_NE(g_moves[3].m_to, g_moves[2].m_to);
    EXPECT_TRUE(FolderEntries(m_temp.Path()).empty());
}

TEST_F(Shredding, ARelativeNameIsRenamedWithinTheFolderItNames)
{
    ASSERT_EQ(towupper(m_temp.Path()[0]), L'C');
    wchar_t previous[MAX_PATH] = {};
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(m_temp.Path().c_str()));
    struct Restore {
        const wchar_t* m_folder;
        ~Restore() { SetCurrentDirectoryW(m_folder); }
    } restore{previous};

    // The item's folder is the current one (of the drive named): no rename may take it to a drive root.
    g_failMoveNumber = 0;
    for (const wchar_t* name : {L"relative.txt", L"C:relative.txt"}) {
        g_moves.clear();
        ASSERT_FALSE(m_temp.WriteFile(L"relative.txt", 10, kOriginal).empty());
        EXPECT_EQ(RenameAndDelete(name, 0), 1) << name;
        ASSERT_EQ(g_moves.size(), 7u) << name;
        for (const Move& move : g_moves) {
            EXPECT_EQ(move.m_to.find(L'\\'), std::wstring::npos) << move.m_to;
            EXPECT_EQ(move.m_to.size(), std::wstring(name).size() - 12 + 29) << move.m_to;
        }
        EXPECT_TRUE(FolderEntries(m_temp.Path()).empty()) << name;
    }
}

TEST_F(Shredding, AFolderThatStillHoldsAnEntryGetsItsOwnNameBack)
{
    const std::wstring folder = m_temp.MakeFolder(L"busy");
    ASSERT_FALSE(m_temp.WriteFile(L"busy\\entry.txt", 10, kOriginal).empty());
    std::wstring leftAt;
    EXPECT_EQ(RenameAndDelete(folder.c_str(), 1, &leftAt), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY)) << "the removal's error, not the way back's";
    EXPECT_EQ(g_sleeps, std::vector<DWORD>{1000});
    ASSERT_EQ(g_moves.size(), 8u) << "seven renames and the way back";
    EXPECT_TRUE(IsRenameTarget(g_moves[6].m_to, m_temp.Path())) << g_moves[6].m_to;
    EXPECT_EQ(g_moves.back().m_from, g_moves[6].m_to);
    EXPECT_EQ(g_moves.back().m_to, folder);
    EXPECT_EQ(leftAt, folder);
    EXPECT_EQ(FolderEntries(m_temp.Path()), std::vector<std::wstring>{L"busy"});
    EXPECT_EQ(TempDir::ReadFile(folder + L"\\entry.txt"), std::vector<uint8_t>(10, kOriginal));

    // Its times went to the earliest instant the file system keeps (Windows: 1601; Wine: 1901).
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(folder.c_str(), GetFileExInfoStandard, &data));
    const uint64_t written = (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    const uint64_t year1970 = 116444736000000000ULL;
    EXPECT_LT(written, year1970);

    // When the way back fails too (the name was taken meanwhile), the folder stays under its last random
    // name, and the caller is told that name.
    g_moves.clear();
    g_sleeps.clear();
    g_failMoveNumber = 8;
    EXPECT_EQ(RenameAndDelete(folder.c_str(), 1, &leftAt), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    ASSERT_EQ(g_moves.size(), 8u);
    const std::wstring last = g_moves[6].m_to;
    EXPECT_EQ(leftAt, last);
    EXPECT_EQ(FolderEntries(m_temp.Path()), std::vector<std::wstring>{last.substr(m_temp.Path().size() + 1)});
    EXPECT_TRUE(TempDir::FileExists(last + L"\\entry.txt"));
    g_failMoveNumber = 0;

    // Once empty it goes at the first removal.
    ASSERT_TRUE(DeleteFileW((last + L"\\entry.txt").c_str()));
    g_sleeps.clear();
    g_moves.clear();
    EXPECT_EQ(RenameAndDelete(last.c_str(), 1), 1);
    EXPECT_TRUE(FolderEntries(m_temp.Path()).empty());
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(g_moves.size(), 7u);
}

TEST_F(Shredding, TooLongPathsFailCleanlyAndTooLongRenameTargetsCountAsFailedAttempts)
{
    auto method = ThreePasses();
    const std::wstring tooLong = m_temp.Path() + L"\\" + std::wstring(300, L'x');
    Outcome outcome = Shred(tooLong, method.get(), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(outcome.m_result, 0);
    EXPECT_EQ(outcome.m_kind, DeleteErrorFailed);
    EXPECT_EQ(outcome.m_code, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(RenameAndDelete(tooLong.c_str(), 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));

    // A folder so deep that a 30-character rename target no longer fits MAX_PATH, though the file does.
    std::wstring relative;
    const size_t wanted = 235;  // folder length: 235 + 30 > MAX_PATH, and folders may be up to 247 long
    while (m_temp.Path().size() + 1 + relative.size() < wanted) {
        const size_t room = wanted - (m_temp.Path().size() + 1 + relative.size()) - (relative.empty() ? 0 : 1);
        relative += (relative.empty() ? L"" : L"\\") + std::wstring(std::max<size_t>(1, std::min<size_t>(20, room)), L'd');
    }
    const std::wstring deep = m_temp.MakeFolder(relative);
    ASSERT_FALSE(deep.empty());
    ASSERT_LT(deep.size(), 248u);
    const std::wstring path = m_temp.WriteFile(relative + L"\\f", 10, kOriginal);
    ASSERT_FALSE(path.empty());
    ASSERT_LT(path.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_GE(deep.size() + 30, static_cast<size_t>(MAX_PATH));

    outcome = Shred(path, method.get());
    EXPECT_EQ(outcome.m_result, 1);
    EXPECT_FALSE(TempDir::FileExists(path));
    EXPECT_TRUE(g_moves.empty());  // no target that fits: deleted under its own name
    EXPECT_EQ(g_sleeps, std::vector<DWORD>(7, 100));
}

// ---- small helpers ----

TEST_F(Shredding, RoundingGoesToWholeClustersOfTheFoldersVolume)
{
    // The expected sizes are counted in whole clusters by hand, not derived from the file's size; the
    // volume answers its real cluster size, then one sixteen times as large.
    for (const uint64_t factor : {1, 16}) {
        g_geometry = factor == 1 ? Geometry::Real : Geometry::SixteenfoldClusters;
        const uint64_t cluster = factor * m_cluster;
        const struct {
            uint64_t size;
            uint64_t clusters;
        } cases[] = {
            {0, 0}, {1, 1}, {cluster - 1, 1}, {cluster, 1}, {cluster + 1, 2}, {2 * cluster + 7, 3},
        };
        for (const auto& c : cases) {
            const std::wstring path = m_temp.WriteFile(L"sized.bin", c.size, kOriginal);
            std::wstring folder = m_temp.Path();
            uint64_t rounded = 12345;
            EXPECT_EQ(RoundUpToCluster(path.c_str(), &rounded, folder), 1);
            EXPECT_EQ(rounded, c.clusters * cluster) << c.size << " bytes, clusters of " << cluster;
        }
    }
    g_geometry = Geometry::Real;
    // Without a volume for the folder the size stays as it was.
    const std::wstring path = m_temp.WriteFile(L"sized.bin", 10, kOriginal);
    std::wstring missing = m_temp.Join(L"no-such-folder");
    uint64_t rounded = 10;
    EXPECT_EQ(RoundUpToCluster(path.c_str(), &rounded, missing), 1);
    EXPECT_EQ(rounded, 10u);
}

TEST_F(Shredding, RandomNamesAreDigitsAndLowerCaseLetters)
{
    std::wstring all;
    for (int i = 0; i < 40; ++i) {
        const std::wstring name = MakeRandomName(25);
        ASSERT_EQ(name.size(), 25u);
        all += name;
    }
    EXPECT_TRUE(std::all_of(all.begin(), all.end(),
                            [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z'); }));
    EXPECT_NE(all.find_first_of(L"0123456789"), std::wstring::npos);
    EXPECT_NE(all.find(L'z'), std::wstring::npos);
    EXPECT_EQ(MakeRandomName(18).size(), 18u);
    EXPECT_TRUE(MakeRandomName(0).empty());
}
