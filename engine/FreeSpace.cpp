// The free-space fill: large fill files over the free clusters, then small files over the free NTFS file
// records. Everything is made inside the caller's folder; the caller deletes the folder afterwards.
#include "FreeSpace.h"

#include <winioctl.h>

#include <memory>
#include <new>

#include "ShredFile.h"
#include "libcommon/Volume.h"

namespace {


// The volume's free bytes: all of them, not only the caller's share, which leaves out what a disk quota
// or a reserve keeps from the caller (deleted data lies there too). *volumeBytes (when given) gets the
// volume's size. false (and 0) when the query fails.
bool ReadFreeBytes(const CVolume* volume, uint64_t* freeBytes, uint64_t* volumeBytes = nullptr)
{
    ULARGE_INTEGER available, total, totalFree;
    if (!GetDiskFreeSpaceExW(volume->m_root.c_str(), &available, &total, &totalFree)) {
        *freeBytes = 0;
        return false;
    }
    *freeBytes = totalFree.QuadPart;
    if (volumeBytes) {
        *volumeBytes = total.QuadPart;
    }
    return true;
}

// Bytes per cluster of the volume; 0 when it cannot be read.
DWORD ReadClusterSize(const CVolume* volume)
{
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, totalClusters;
    if (!GetDiskFreeSpaceW(volume->m_root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters)) {
        return 0;
    }
    return sectorsPerCluster * bytesPerSector;
}

// Sets the end of the file at size bytes (the file system may allocate them now or only when written).
bool ExtendTo(HANDLE file, uint64_t size)
{
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// The times go to the earliest instant, as a shredded file's do.
void ZeroTimesAndClose(HANDLE file)
{
    SetEarliestFileTimes(file);
    CloseHandle(file);
}

// The fill files' access: their data, and their attributes for the times and the storage check.
constexpr DWORD kFillFileAccess = FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES;

std::wstring InFolder(const std::wstring& folder, const std::wstring& name)
{
    if (!folder.empty() && folder.back() == L'\\') {
        return folder + name;
    }
    return folder + L"\\" + name;
}

// A refusal for lack of space: the drive is full, or the caller's disk quota is used up.
bool IsLackOfSpace(DWORD error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_QUOTA_EXCEEDED;
}

// Whether a failed overwrite ran into the end of the drive. A file system that allocates only when data
// is written (Wine extends every file sparsely) lets the extension succeed and fails the write instead.
// Wine reports the write that reaches the end as a successful short write, which the overwrite loop
// turns into ERROR_WRITE_FAULT; the drive is then out of free bytes.
bool RanIntoEndOfDrive(DWORD error, const CVolume* volume)
{
    if (IsLackOfSpace(error)) {
        return true;
    }
    uint64_t freeBytes;
    return error == ERROR_WRITE_FAULT && ReadFreeBytes(volume, &freeBytes) && freeBytes == 0;
}

// After an overwrite that ran into the end of the drive: cuts the fill file back to what the failing pass
// had written (the file position) and writes every pass over that part again. *size becomes the new size.
int CutBackAndRewrite(HWND hWnd, HANDLE file, const std::wstring& name, const CancelFlag* cancel,
                      CErasureMethod* method, uint64_t* size, const uint64_t* filesDone, const uint64_t* bytesDone)
{
    LARGE_INTEGER zero = {};
    LARGE_INTEGER written;
    if (!SetFilePointerEx(file, zero, &written, FILE_CURRENT) || written.QuadPart < 0) {
        return kPassesFailed;
    }
    if (static_cast<uint64_t>(written.QuadPart) > *size) {
        written.QuadPart = static_cast<LONGLONG>(*size);
    }
    if (!ExtendTo(file, static_cast<uint64_t>(written.QuadPart))) {
        return kPassesFailed;
    }
    *size = static_cast<uint64_t>(written.QuadPart);
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) {
        return kPassesFailed;
    }
    return method->WritePasses(hWnd, file, name.c_str(), cancel, size, filesDone, bytesDone,
                               &PostFreeSpaceProgress, -1);
}

// Whether the file system stores the fill file in fewer clusters than its size (compressed or sparse):
// then its writes do not reach the free clusters they are meant to cover. Unreadable counts as stored so.
bool IsStoredCompact(HANDLE file)
{
    FILE_BASIC_INFO info = {};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) {
        return true;
    }
    return (info.FileAttributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE)) != 0;
}

// A folder on a compressed drive inherits the compression, and so would every fill file made in it.
bool ClearCompression(const std::wstring& folder)
{
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_COMPRESSED)) {
        return true;
    }
    HANDLE handle = CreateFileW(folder.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned,
                                    nullptr);
    CloseHandle(handle);
    return ok && !(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_COMPRESSED);
}

// Fill files in a row after which the free bytes had not fallen before the fill counts as one that makes
// no headway (the drive does not take the space, or something frees as much as the fill takes).
constexpr int kStalledFiles = 3;

// The size of a fill file once the free bytes read 0: the file system may still take more than its
// figure shows (a reserve that the caller may write), and only a refusal ends the fill.
constexpr uint64_t kFillFileBeyondFigure = 1024 * 1024;

// Free bytes that may stay when the fill has ended, in clusters (the file system's own bookkeeping).
// More is free space that the fill could not reach: the wipe has failed.
constexpr uint64_t kUnreachableClusters = 8;
// The cluster size assumed for that when the volume does not tell its own.
constexpr uint64_t kUsualClusterSize = 4096;
// The smallest fill file written after the end of the drive was met: a sector.
constexpr uint64_t kSmallestTailFile = 512;

// Names tried for one small file before the phase gives up on naming.
constexpr int kNameAttempts = 16;

// The small files lie in a chain of nested folders below this folder of the fill folder. A folder's index
// starts inside the folder's own record; once that is full it needs a cluster, which a full drive does not
// have, and ntfs-3g then refuses every further file until the volume is mounted again. So each folder of
// the chain takes only as many short names as fit in its record beside its attributes (with room to spare
// even in records of 1,024 bytes): first the next folder, then a few small files. The fill folder's own
// index is full of fill files by then, so the fill makes the chain's first folder before its first fill
// file. Every new folder takes a free record too.
constexpr wchar_t kRecordFolderName[] = L"r";
constexpr wchar_t kNextRecordFolderName[] = L"d";
constexpr int kSmallFilesPerFolder = 3;
// The chain goes no deeper than this path length: the deepest small file's path stays within MAX_PATH.
constexpr size_t kLongestRecordPath = MAX_PATH - 20;

// A small file's name: the first three characters of the prefix, a number (hexadecimal) and ".tmp".
std::wstring SmallFileName(unsigned number)
{
    wchar_t digits[16];
    wsprintfW(digits, L"%X", number);
    return std::wstring(kResidentFilePrefix, 3) + digits + L".tmp";
}

// Makes a folder of the record chain (an existing one is taken as it is). ERROR_SUCCESS, or the error that
// refused it.
DWORD MakeRecordFolder(const std::wstring& path)
{
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
    }
    return ERROR_SUCCESS;
}

// A folder of the chain gets the earliest times once its entries are made (each entry changes them).
void ZeroFolderTimes(const std::wstring& path)
{
    HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ZeroTimesAndClose(handle);
    }
}

}  // namespace

int FillFreeSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                  CErasureMethod* method, uint64_t* unwiped)
{
    if (unwiped) {
        *unwiped = 0;
    }
    // Without a folder the fill files would land outside the caller's folder.
    if (!volume || !method || folder.empty()) {
        return 0;
    }

    uint64_t freeBytes = 0;
    uint64_t volumeBytes = 0;
    const bool known = ReadFreeBytes(volume, &freeBytes, &volumeBytes);
    PostFreeSpaceTotal(hWnd, freeBytes);
    if (!known) {
        // Nothing was written: the wipe must not count as done.
        return 0;
    }
    if (!ClearCompression(folder)) {
        return 0;
    }
    // The record phase's folder, made while the fill folder's index still has room (see there). Where
    // the drive refuses it the record phase makes it, or ends.
    if (!volume->m_isFat) {
        MakeRecordFolder(InFolder(folder, kRecordFolderName));
    }

    uint64_t filesDone = 0;
    uint64_t bytesDone = 0;
    uint64_t filled = 0;  // bytes that the fill files hold
    const uint64_t passCount = method->m_passes.size();
    int stalled = 0;
    uint64_t tailSize = 0;  // once a fill file could take nothing at all: the size of the next one
    // The fill runs on until the file system refuses a fill file for lack of space: the free-bytes figure
    // may leave out space that the fill can still take.
    for (;;) {
        if (StopRequested(cancel)) {
            return 1;
        }

        const std::wstring name = InFolder(folder, MakeRandomName(kFillFileNameLength));
        HANDLE file = CreateFileW(name.c_str(), kFillFileAccess, 0, nullptr, CREATE_ALWAYS,
                                  FILE_FLAG_WRITE_THROUGH, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            // On a full volume this is the normal end; any other refusal leaves free space unwiped.
            const DWORD error = GetLastError();
            uint64_t left = 0;
            if (IsLackOfSpace(error) || (ReadFreeBytes(volume, &left) && left == 0)) {
                break;
            }
            return 0;
        }

        // Shrink one cluster at a time until the file fits.
        uint64_t size = freeBytes == 0 ? kFillFileBeyondFigure : freeBytes;
        if (size > kFillFileMaxSize) {
            size = kFillFileMaxSize;
        }
        if (tailSize != 0 && size > tailSize) {
            size = tailSize;
        }
        bool fits = true;
        DWORD extensionError = ERROR_SUCCESS;
        while (!ExtendTo(file, size)) {
            extensionError = GetLastError();
            const DWORD cluster = ReadClusterSize(volume);
            if (cluster == 0 || size <= cluster) {
                CloseHandle(file);
                fits = false;
                break;
            }
            size -= cluster;
        }
        if (!fits) {
            // Not even one cluster fits: the end of a fill that has taken space, or of one on a drive that
            // shows no free bytes. A fill that took nothing of the free bytes it was shown made no headway.
            // Some drivers refuse it otherwise on a full volume (the FUSE FAT driver with "not
            // permitted"): a volume that reads no free bytes is full, as for a refused create.
            uint64_t left = 0;
            const bool full = IsLackOfSpace(extensionError) || (ReadFreeBytes(volume, &left) && left == 0);
            if (full && (filled > 0 || freeBytes == 0)) {
                break;
            }
            return 0;
        }
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        LARGE_INTEGER actual;
        if (GetFileSizeEx(file, &actual)) {
            size = static_cast<uint64_t>(actual.QuadPart);
        }

        bool endOfDrive = false;
        int result = method->WritePasses(hWnd, file, name.c_str(), cancel, &size, &filesDone, &bytesDone,
                                         &PostFreeSpaceProgress, -1);
        if (result == kPassesFailed) {
            // Only a file whose passes were all written counts as wiped.
            if (RanIntoEndOfDrive(GetLastError(), volume)) {
                result = CutBackAndRewrite(hWnd, file, name, cancel, method, &size, &filesDone, &bytesDone);
                endOfDrive = true;
            }
            if (result == kPassesFailed) {
                ZeroTimesAndClose(file);
                return 0;
            }
        }
        if (IsStoredCompact(file)) {
            ZeroTimesAndClose(file);
            return 0;
        }

        filesDone += 1;
        bytesDone += size * passCount;
        filled += size;
        ZeroTimesAndClose(file);

        if (endOfDrive) {
            // The drive's end refused the rest of this file. Further files follow until the drive takes
            // nothing at all: a file system may refuse a write while a few clusters are still free (ext4
            // holds some back for the writes in flight and gives them back once the refused file is on
            // the disk), and deleted data lies in those clusters too.
            if (result == kPassesStopped) {
                return 1;
            }
            // A file that took nothing: the next ones are small, each written at once, one cluster and then
            // halved down to a sector. A file system that reserves space a page at a time refuses a large
            // write while single blocks are still free.
            if (size == 0) {
                if (tailSize == 0) {
                    const DWORD cluster = ReadClusterSize(volume);
                    tailSize = cluster != 0 ? cluster : kUsualClusterSize;
                } else {
                    tailSize /= 2;
                }
                if (tailSize < kSmallestTailFile) {
                    break;
                }
            }
        }
        const uint64_t before = freeBytes;
        if (!ReadFreeBytes(volume, &freeBytes)) {
            return 0;
        }
        // A stop inside the passes ends the fill here, on the loop's own word (the owner may have cleared
        // the flag since).
        if (result == kPassesStopped) {
            return 1;
        }
        // A fill that makes no headway would run for ever: free bytes that do not fall while the figure
        // still shows some, or fill files that hold more than the whole volume.
        stalled = freeBytes != 0 && freeBytes >= before ? stalled + 1 : 0;
        if (stalled >= kStalledFiles || filled > volumeBytes) {
            return 0;
        }
    }

    // The file system refuses further fill files. Free bytes that it still shows beyond a few clusters of
    // its own lie where the fill could not reach them (a disk quota, a reserve the caller may not write):
    // they were not wiped.
    uint64_t left = 0;
    if (!ReadFreeBytes(volume, &left)) {
        return 0;
    }
    if (left > 0) {
        const DWORD cluster = ReadClusterSize(volume);
        if (left > kUnreachableClusters * (cluster != 0 ? cluster : kUsualClusterSize)) {
            if (unwiped) {
                *unwiped = left;
            }
            return 0;
        }
    }
    return 1;
}

int FillResidentSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                      CErasureMethod* method)
{
    if (!volume || !method || folder.empty()) {
        return 0;
    }
    // FAT12 and FAT16 have no file records: the phase does not run.
    if (volume->m_isFat) {
        return 1;
    }
    PostResidentPhase(hWnd, 1);

    // Other file systems without NTFS records (FAT32, exFAT, ...): nothing to fill. An NTFS volume that
    // does not tell its record size (Wine never does) has records of the usual size.
    uint64_t recordSize = 0;
    if (!GetFileRecordSizeToFill(volume, &recordSize)) {
        PostResidentPhase(hWnd, 0);
        return 1;
    }
    if (StopRequested(cancel)) {
        return 1;
    }

    // The phase ends well only when the drive has no room left for another small file or folder: its
    // creation, its extension down to nothing, or its writes down to nothing fail for lack of space; or
    // when the chain is as deep as paths allow. Any other end is a failure. The size shrinks one byte per
    // file that cannot be extended and stays at the size that fits; a write refused for lack of space
    // halves it (the data no longer fits in the record beside the attributes: a drive that extends
    // sparsely refuses only there), so at most a few files are refused.
    std::wstring level = InFolder(folder, kRecordFolderName);
    DWORD error = MakeRecordFolder(level);
    if (error != ERROR_SUCCESS) {
        PostResidentPhase(hWnd, 0);
        return IsLackOfSpace(error) ? 1 : 0;
    }
    int64_t size = static_cast<int64_t>(recordSize);
    unsigned number = 0;
    bool done = false;
    bool ended = false;
    while (!ended && size > 0) {
        // The next folder first, while this one's index has room for it.
        const std::wstring next = InFolder(level, kNextRecordFolderName);
        const bool deepest = next.size() + 1 + SmallFileName(UINT_MAX).size() >= kLongestRecordPath;
        if (!deepest) {
            error = MakeRecordFolder(next);
            if (error != ERROR_SUCCESS) {
                done = IsLackOfSpace(error);
                ZeroFolderTimes(level);
                break;
            }
        }
        for (int inFolder = 0; inFolder < kSmallFilesPerFolder && size > 0; ++inFolder) {
            HANDLE file = INVALID_HANDLE_VALUE;
            error = ERROR_FILE_EXISTS;
            for (int attempt = 0; attempt < kNameAttempts && error == ERROR_FILE_EXISTS; ++attempt) {
                const std::wstring name = InFolder(level, SmallFileName(number++));
                file = CreateFileW(name.c_str(), kFillFileAccess, 0, nullptr, CREATE_NEW, FILE_FLAG_WRITE_THROUGH,
                                   nullptr);
                error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            }
            if (file == INVALID_HANDLE_VALUE) {
                done = IsLackOfSpace(error);
                ended = true;
                break;
            }
            if (!ExtendTo(file, static_cast<uint64_t>(size))) {
                error = GetLastError();
                ZeroTimesAndClose(file);
                if (!IsLackOfSpace(error)) {
                    ended = true;
                    break;
                }
                // The empty file stays in the folder; the next one is one byte smaller.
                size -= 1;
                done = size == 0;
                if (StopRequested(cancel)) {
                    ZeroFolderTimes(level);
                    return 1;
                }
                continue;
            }
            SetFilePointer(file, 0, nullptr, FILE_BEGIN);
            const int result = method->WritePasses(nullptr, file, nullptr, cancel, nullptr, nullptr, nullptr, nullptr,
                                                   -1);
            error = GetLastError();
            const bool compact = result == kPassesWritten && IsStoredCompact(file);
            ZeroTimesAndClose(file);
            if (result == kPassesStopped || StopRequested(cancel)) {
                ZeroFolderTimes(level);
                return 1;
            }
            if (result == kPassesFailed) {
                if (!IsLackOfSpace(error)) {
                    ended = true;
                    break;
                }
                // The file stays as the drive left it; the next one gets half the size.
                size /= 2;
                done = size == 0;
                continue;
            }
            if (compact) {
                ended = true;
                break;
            }
        }
        ZeroFolderTimes(level);
        if (deepest) {
            done = !ended || done;
            break;
        }
        level = next;
    }
    PostResidentPhase(hWnd, 0);
    return done ? 1 : 0;
}
