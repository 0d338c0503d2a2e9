// The free-space fill: large fill files over the free clusters, then small files over the free NTFS file
// records. Everything is made inside the caller's folder; the caller deletes the folder afterwards.
#include "FreeSpace.h"

#include <memory>
#include <new>

#include "ShredFile.h"
#include "libcommon/Volume.h"

namespace {


// Free bytes available to the caller on the volume. false (and 0) when the query fails.
bool ReadFreeBytes(const CVolume* volume, uint64_t* freeBytes)
{
    ULARGE_INTEGER available, total, totalFree;
    if (!GetDiskFreeSpaceExW(volume->m_root.c_str(), &available, &total, &totalFree)) {
        *freeBytes = 0;
        return false;
    }
    *freeBytes = available.QuadPart;
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

void ZeroTimesAndClose(HANDLE file)
{
    FILETIME zero = {};
    SetFileTime(file, &zero, &zero, &zero);
    CloseHandle(file);
}

std::wstring InFolder(const std::wstring& folder, const std::wstring& name)
{
    if (!folder.empty() && folder.back() == L'\\') {
        return folder + name;
    }
    return folder + L"\\" + name;
}

// Whether a failed overwrite ran into the end of the drive. A file system that allocates only when data
// is written (Wine extends every file sparsely) lets the extension succeed and fails the write instead.
// Wine reports the write that reaches the end as a successful short write, which the overwrite loop
// turns into ERROR_WRITE_FAULT; the drive is then out of free bytes.
bool RanIntoEndOfDrive(DWORD error, const CVolume* volume)
{
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
        return true;
    }
    uint64_t freeBytes;
    return error == ERROR_WRITE_FAULT && ReadFreeBytes(volume, &freeBytes) && freeBytes == 0;
}

// After an overwrite that ran into the end of the drive: cuts the fill file back to what the failing pass
// had written (the file position) and writes every pass over that part again. *size becomes the new size.
// true when every pass now covers the whole (possibly empty) file, or the job was cancelled meanwhile.
bool CutBackAndRewrite(HWND hWnd, HANDLE file, const std::wstring& name, const CancelFlag* cancel,
                       CErasureMethod* method, uint64_t* size, const uint64_t* filesDone,
                       const uint64_t* bytesDone)
{
    LARGE_INTEGER zero = {};
    LARGE_INTEGER written;
    if (!SetFilePointerEx(file, zero, &written, FILE_CURRENT) || written.QuadPart < 0) {
        return false;
    }
    if (static_cast<uint64_t>(written.QuadPart) > *size) {
        written.QuadPart = static_cast<LONGLONG>(*size);
    }
    if (!ExtendTo(file, static_cast<uint64_t>(written.QuadPart))) {
        return false;
    }
    *size = static_cast<uint64_t>(written.QuadPart);
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) {
        return false;
    }
    if (method->WritePasses(hWnd, file, name.c_str(), cancel, size, filesDone, bytesDone,
                            &PostFreeSpaceProgress, -1)) {
        return true;
    }
    return StopRequested(cancel);
}

enum class Overwrite { Done, Cancelled, Failed };

// Every pass over one small file from its start, without progress and without a minimum length.
Overwrite WriteSmallFile(HANDLE file, const CancelFlag* cancel, CErasureMethod* method)
{
    if (method->m_shuffle) {
        method->ShufflePasses();
    }
    LARGE_INTEGER zero = {};
    LARGE_INTEGER start;
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) || !SetFilePointerEx(file, zero, &start, FILE_CURRENT)) {
        return Overwrite::Failed;
    }
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file, &fileSize)) {
        return Overwrite::Failed;
    }
    const int64_t length = fileSize.QuadPart - start.QuadPart;
    if (length <= 0 || method->m_passes.empty()) {
        return length < 0 ? Overwrite::Failed : Overwrite::Done;
    }
    const int64_t bufferSize = length < kOverwriteBufferSize ? length : kOverwriteBufferSize;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(bufferSize)]);
    if (!buffer) {
        return Overwrite::Failed;
    }
    for (CErasureMethodPass* pass : method->m_passes) {
        if (!pass) {
            continue;  // as in WritePasses: an empty entry writes nothing (the buffer holds no pass's data yet)
        }
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
            return Overwrite::Failed;
        }
        int64_t remaining = length;
        int64_t chunk = bufferSize;
        while (remaining > 0) {
            if (StopRequested(cancel)) {
                return Overwrite::Cancelled;
            }
            pass->Fill(buffer.get(), bufferSize);
            if (remaining < chunk) {
                chunk = remaining;
            }
            DWORD done = 0;
            if (!WriteFile(file, buffer.get(), static_cast<DWORD>(chunk), &done, nullptr) ||
                done != static_cast<DWORD>(chunk)) {
                return Overwrite::Failed;
            }
            remaining -= chunk;
        }
    }
    return Overwrite::Done;
}

}  // namespace

int FillFreeSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                  CErasureMethod* method)
{
    // Without a folder the fill files would land outside the caller's folder.
    if (!volume || !method || folder.empty()) {
        return 0;
    }

    uint64_t freeBytes = 0;
    const bool known = ReadFreeBytes(volume, &freeBytes);
    PostFreeSpaceTotal(hWnd, freeBytes);
    if (!known) {
        // Nothing was written: the wipe must not count as done.
        return 0;
    }
    if (freeBytes == 0) {
        return 1;
    }

    uint64_t filesDone = 0;
    uint64_t bytesDone = 0;
    const uint64_t passCount = method->m_passes.size();
    for (;;) {
        if (StopRequested(cancel)) {
            return 1;
        }

        const std::wstring name = InFolder(folder, MakeRandomName(kFillFileNameLength));
        HANDLE file = CreateFileW(name.c_str(), FILE_WRITE_DATA, 0, nullptr, CREATE_ALWAYS,
                                  FILE_FLAG_WRITE_THROUGH, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            // On a nearly full volume this is the normal end.
            return 1;
        }

        // Shrink one cluster at a time until the file fits.
        uint64_t size = freeBytes < kFillFileMaxSize ? freeBytes : kFillFileMaxSize;
        while (!ExtendTo(file, size)) {
            const DWORD cluster = ReadClusterSize(volume);
            if (cluster == 0 || size <= cluster) {
                CloseHandle(file);
                return 0;
            }
            size -= cluster;
        }

        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        LARGE_INTEGER actual;
        if (GetFileSizeEx(file, &actual)) {
            size = static_cast<uint64_t>(actual.QuadPart);
        }

        bool endOfDrive = false;
        if (!method->WritePasses(hWnd, file, name.c_str(), cancel, &size, &filesDone, &bytesDone,
                                 &PostFreeSpaceProgress, -1) &&
            !StopRequested(cancel)) {
            // Only a file whose passes were all written counts as wiped.
            if (!RanIntoEndOfDrive(GetLastError(), volume) ||
                !CutBackAndRewrite(hWnd, file, name, cancel, method, &size, &filesDone, &bytesDone)) {
                ZeroTimesAndClose(file);
                return 0;
            }
            endOfDrive = true;
        }

        filesDone += 1;
        bytesDone += size * passCount;
        ZeroTimesAndClose(file);

        if (endOfDrive || !ReadFreeBytes(volume, &freeBytes) || freeBytes == 0) {
            return 1;
        }
    }
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

    // Other file systems without NTFS records (FAT32, exFAT, ...): nothing to fill.
    uint64_t recordSize = 0;
    if (!GetFileRecordSize(volume, &recordSize)) {
        PostResidentPhase(hWnd, 0);
        return 1;
    }
    if (StopRequested(cancel)) {
        return 1;
    }

    // The size shrinks one byte per file that cannot be extended and stays at the size that fits.
    int64_t size = static_cast<int64_t>(recordSize);
    for (;;) {
        if (size <= 0) {
            break;
        }
        wchar_t name[MAX_PATH];
        if (!GetTempFileNameW(folder.c_str(), kResidentFilePrefix, 0, name)) {
            break;
        }
        HANDLE file = CreateFileW(name, FILE_WRITE_DATA, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            break;
        }
        if (!ExtendTo(file, static_cast<uint64_t>(size))) {
            // The empty file stays in the folder; the next one is one byte smaller.
            size -= 1;
            ZeroTimesAndClose(file);
            if (StopRequested(cancel)) {
                return 1;
            }
            continue;
        }
        const Overwrite result = WriteSmallFile(file, cancel, method);
        ZeroTimesAndClose(file);
        if (StopRequested(cancel)) {
            return 1;
        }
        // A write that fails means the records are used up (or the drive is failing): the phase ends.
        // Going on would make empty files without end where names never run out (Wine).
        if (result == Overwrite::Failed) {
            break;
        }
    }
    PostResidentPhase(hWnd, 0);
    return 1;
}
