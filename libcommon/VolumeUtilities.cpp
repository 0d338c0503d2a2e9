#include "VolumeUtilities.h"

#include <winioctl.h>

#include <cwchar>
#include <memory>
#include <new>

namespace {

constexpr DWORD kMountPathsFirstTry = MAX_PATH + 1;  // characters
constexpr int kMountPathsRegrowths = 4;              // further tries when the list keeps growing
constexpr DWORD kMountPathsMost = 1u << 20;          // characters; a larger answer is no list of paths
constexpr DWORD kVolumeNameChars = 260;
constexpr DWORD kDeviceChars = 260;
constexpr int kLockRetries = 101;  // after the first request: 102 requests, 101 waits
constexpr DWORD kLockRetryWaitMs = 100;

bool IsUnset(HANDLE handle)
{
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

// Appends the names of a multi-string of size characters up to its first empty name. A name that reaches
// the end without its NUL is no name.
void AppendNames(const wchar_t* list, size_t size, std::vector<std::wstring>& paths)
{
    size_t at = 0;
    while (at < size && list[at] != L'\0') {
        const wchar_t* nul = std::wmemchr(list + at, L'\0', size - at);
        if (!nul)
            return;
        const size_t stop = static_cast<size_t>(nul - list);
        paths.emplace_back(list + at, stop - at);
        at = stop + 1;
    }
}

}  // namespace

uint32_t GetClusterSize(const CVolume* volume)
{
    if (!volume)
        return 0;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(volume->m_root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters))
        return 0;
    return sectorsPerCluster * bytesPerSector;
}

uint64_t GetFreeBytes(const CVolume* volume)
{
    if (!volume)
        return 0;
    ULARGE_INTEGER available = {}, total = {}, totalFree = {};
    if (!GetDiskFreeSpaceExW(volume->m_root.c_str(), &available, &total, &totalFree))
        return 0;
    return available.QuadPart;
}

BOOL CloseVolumeHandle(const CVolume* /*volume*/, HANDLE handle)
{
    if (IsUnset(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(handle);
}

BOOL DirectoryExists(const wchar_t* path)
{
    if (!path)
        return FALSE;
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? TRUE : FALSE;
}

void AppendMountPaths(const wchar_t* volumeName, std::vector<std::wstring>& paths)
{
    if (!volumeName)
        return;
    DWORD size = kMountPathsFirstTry;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[size]());
    for (int regrowths = 0; buffer; ++regrowths) {
        DWORD reported = 0;
        if (GetVolumePathNamesForVolumeNameW(volumeName, buffer.get(), size, &reported)) {
            // reported counts the characters written, the closing NULs included; never read past either end.
            AppendNames(buffer.get(), reported > 0 && reported < size ? reported : size, paths);
            return;
        }
        // Only a larger answer is worth another try, and only a few times (the list may grow between calls).
        if (GetLastError() != ERROR_MORE_DATA || reported <= size || reported > kMountPathsMost ||
            regrowths == kMountPathsRegrowths)
            return;
        size = reported;
        buffer.reset(new (std::nothrow) wchar_t[size]());
    }
}

void EnumerateVolumeMountPaths(std::vector<std::wstring>& paths)
{
    wchar_t name[kVolumeNameChars] = {};
    wchar_t device[kDeviceChars] = {};
    HANDLE search = FindFirstVolumeW(name, kVolumeNameChars);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        name[kVolumeNameChars - 1] = L'\0';
        const std::wstring volume = name;
        // "\\?\Volume{...}\": the device query takes the name between "\\?\" and the trailing "\", and only
        // proves that the name is a volume.
        if (volume.size() <= 5 || volume.compare(0, 4, L"\\\\?\\") != 0 || volume.back() != L'\\')
            continue;
        const std::wstring bare = volume.substr(4, volume.size() - 5);
        if (QueryDosDeviceW(bare.c_str(), device, kDeviceChars) == 0)
            continue;
        AppendMountPaths(volume.c_str(), paths);
    } while (FindNextVolumeW(search, name, kVolumeNameChars));
    FindVolumeClose(search);
}

void DeleteVolume(CVolume* volume)
{
    delete volume;
}

BOOL CVolume::Lock()
{
    if (IsUnset(m_hVolume)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (int retries = 0;; ++retries) {
        DWORD returned = 0;
        if (DeviceIoControl(m_hVolume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
            m_isLocked = 1;
            return TRUE;
        }
        if (retries == kLockRetries)
            return FALSE;
        Sleep(kLockRetryWaitMs);
    }
}

BOOL CVolume::Unlock()
{
    if (IsUnset(m_hVolume)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(m_hVolume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr))
        return FALSE;
    m_isLocked = 0;
    return TRUE;
}
