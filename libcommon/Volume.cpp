#include "Volume.h"

#include <shlwapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <memory>

namespace {

constexpr DWORD kNameLength = 260;           // label, file-system name, device copy, remote name
constexpr DWORD kDeviceAnnounced = 259;      // characters announced to QueryDosDeviceW
constexpr DWORD kVolumeGuidLength = 50;      // "\\?\Volume{...}\" (49) and its terminator
constexpr DWORD kMountPathsFirstTry = 1024;  // characters of the first GetVolumePathNamesForVolumeNameW
constexpr SIZE_T kNetworkBufferBytes = 16384;
constexpr DWORD kRecordQueryAccess = 0x20;
constexpr DWORD kFatTwelveMaxClusters = 0xFF0;
constexpr int kMaxLinkResolutions = 32;  // links followed in one walk, against loops of links

bool EndsWithBackslash(const std::wstring& text)
{
    return !text.empty() && text.back() == L'\\';
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The reparse data of a junction, mount point or symbolic link (the system's REPARSE_DATA_BUFFER, which
// the user-mode headers do not declare).
struct ReparseData {
    DWORD m_tag;
    WORD m_dataLength;
    WORD m_reserved;
    WORD m_substituteOffset;
    WORD m_substituteLength;
    WORD m_printOffset;
    WORD m_printLength;
    // IO_REPARSE_TAG_SYMLINK only: a 32-bit flags field comes first.
    BYTE m_rest[1];
};
constexpr ULONG kSymlinkRelative = 1;

// Where the folder link "candidate" (ending in "\") leads. Returns true with either volumeRoot set (a volume
// mount point: the volume GUID path) or target set (a folder path to go on from); false when the link
// cannot be read or is of a kind that names no folder.
bool ReadFolderLink(const std::wstring& candidate, std::wstring& volumeRoot, std::wstring& target)
{
    HANDLE handle = CreateFileW(candidate.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::vector<BYTE> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &returned, nullptr);
    CloseHandle(handle);
    if (!ok || returned < offsetof(ReparseData, m_rest))
        return false;

    const auto* data = reinterpret_cast<const ReparseData*>(buffer.data());
    const BYTE* names = nullptr;
    ULONG flags = 0;
    if (data->m_tag == IO_REPARSE_TAG_MOUNT_POINT) {
        names = data->m_rest;
    } else if (data->m_tag == IO_REPARSE_TAG_SYMLINK) {
        if (returned < offsetof(ReparseData, m_rest) + sizeof(ULONG))
            return false;
        std::memcpy(&flags, data->m_rest, sizeof flags);
        names = data->m_rest + sizeof(ULONG);
    } else {
        return false;
    }
    const size_t begin = static_cast<size_t>(names - buffer.data()) + data->m_substituteOffset;
    if (begin + data->m_substituteLength > returned)
        return false;
    std::wstring substitute(data->m_substituteLength / sizeof(wchar_t), L'\0');
    std::memcpy(substitute.data(), buffer.data() + begin, substitute.size() * sizeof(wchar_t));

    // A volume mount point: "\??\Volume{" + 36 characters of the GUID + "}\".
    if (substitute.size() == 49 && StartsWith(substitute, L"\\??\\Volume{") && substitute[47] == L'}' &&
        substitute[48] == L'\\') {
        volumeRoot = L"\\\\?\\" + substitute.substr(4);
        return true;
    }
    if (data->m_tag == IO_REPARSE_TAG_SYMLINK && (flags & kSymlinkRelative)) {
        // Relative to the folder that holds the link.
        std::wstring link = candidate;
        link.pop_back();
        const size_t slash = link.find_last_of(L'\\');
        if (slash == std::wstring::npos)
            return false;
        const std::wstring joined = link.substr(0, slash + 1) + substitute;
        const DWORD needed = GetFullPathNameW(joined.c_str(), 0, nullptr, nullptr);
        if (needed == 0)
            return false;
        std::wstring full(needed, L'\0');
        const DWORD written = GetFullPathNameW(joined.c_str(), needed, full.data(), nullptr);
        if (written == 0 || written >= needed)
            return false;
        full.resize(written);
        target = full;
        return true;
    }
    if (StartsWith(substitute, L"\\??\\UNC\\")) {
        target = L"\\\\" + substitute.substr(8);
        return true;
    }
    if (StartsWith(substitute, L"\\??\\")) {
        // "\??\C:\..." is the drive path; any other device ("\??\Volume{...}\folder") keeps its
        // device prefix in the Win32 form "\\?\".
        const std::wstring rest = substitute.substr(4);
        const bool drivePath = rest.size() >= 2 && rest[1] == L':' && std::iswalpha(rest[0]);
        target = drivePath ? rest : L"\\\\?\\" + rest;
        return !rest.empty();
    }
    return false;
}

// The path less its last element, as PathRemoveFileSpecW gives it. false when nothing could be removed.
bool RemoveLastElement(std::wstring& path)
{
    std::vector<wchar_t> buffer(path.begin(), path.end());
    buffer.push_back(L'\0');
    if (!PathRemoveFileSpecW(buffer.data()))
        return false;
    std::wstring shorter(buffer.data());
    if (shorter == path)
        return false;
    path = shorter;
    return true;
}

}  // namespace

CVolume::CVolume(const std::wstring& root)
    : m_root(root)
{
    const UINT type = GetDriveTypeW(m_root.c_str());
    m_isRemote = type == DRIVE_REMOTE ? 1 : 0;
    m_isFixed = type == DRIVE_FIXED ? 1 : 0;
    m_isValid = QueryFileSystem();
}

CVolume::~CVolume() = default;

int CVolume::QueryFileSystem()
{
    // Only a volume GUID path or a UNC path, ending in "\", that fits the system's path buffers.
    if (!StartsWith(m_root, L"\\\\") || !EndsWithBackslash(m_root) || m_root.size() >= kNameLength)
        return 0;

    wchar_t label[kNameLength] = {};
    wchar_t fileSystem[kNameLength] = {};
    if (!GetVolumeInformationW(m_root.c_str(), label, kNameLength, nullptr, nullptr, nullptr, fileSystem,
                               kNameLength))
        return 0;

    // The device of the volume name: the root less its "\\?\" and its trailing "\".
    std::wstring name = m_root.substr(0, m_root.size() - 1);
    name = name.size() > 4 ? name.substr(4) : std::wstring();
    wchar_t device[kNameLength] = {};
    if (!name.empty() && QueryDosDeviceW(name.c_str(), device, kDeviceAnnounced) != 0) {
        device[kNameLength - 1] = L'\0';
        m_device = device;
    }

    label[kNameLength - 1] = L'\0';
    fileSystem[kNameLength - 1] = L'\0';
    m_label = label;
    m_fileSystem = fileSystem;

    if (m_fileSystem == L"FAT") {
        DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
        if (GetDiskFreeSpaceW(m_root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
            m_fileSystem += totalClusters <= kFatTwelveMaxClusters ? L"12" : L"16";
        m_isFat = 1;
    }
    return 1;
}

void CVolume::GetMountPaths(std::vector<std::wstring>& paths)
{
    if (m_isRemote) {
        EnumerateNetworkResources(this, m_root, nullptr, paths);
        return;
    }

    std::vector<wchar_t> buffer(kMountPathsFirstTry, L'\0');
    DWORD count = 0;
    BOOL ok = GetVolumePathNamesForVolumeNameW(m_root.c_str(), buffer.data(), kMountPathsFirstTry, &count);
    if (!ok && GetLastError() == ERROR_MORE_DATA && count > 0) {
        buffer.assign(count, L'\0');
        ok = GetVolumePathNamesForVolumeNameW(m_root.c_str(), buffer.data(), count, &count);
    }
    if (!ok)
        return;

    // Names up to the closing double NUL, never past the reported count or the buffer.
    const size_t end = count > 0 && count < buffer.size() ? count : buffer.size();
    size_t at = 0;
    while (at < end && buffer[at] != L'\0') {
        size_t stop = at;
        while (stop < end && buffer[stop] != L'\0')
            ++stop;
        paths.emplace_back(buffer.data() + at, stop - at);
        at = stop + 1;
    }
}

int EnumerateNetworkResources(const CVolume* volume, const std::wstring& remoteName, const NETRESOURCEW* start,
                              std::vector<std::wstring>& paths)
{
    HANDLE enumeration = nullptr;
    DWORD result = WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_DISK, 0, const_cast<NETRESOURCEW*>(start),
                                 &enumeration);
    if (result != NO_ERROR) {
        std::printf("WnetOpenEnum failed with error %d\n", static_cast<int>(result));
        return 0;
    }

    auto* entries = static_cast<NETRESOURCEW*>(GlobalAlloc(GPTR, kNetworkBufferBytes));
    if (!entries) {
        WNetCloseEnum(enumeration);
        std::printf("WnetOpenEnum failed with error %d\n", 0);
        return 0;
    }

    DWORD count = 0xFFFFFFFF;
    for (;;) {
        ZeroMemory(entries, kNetworkBufferBytes);
        DWORD bytes = static_cast<DWORD>(kNetworkBufferBytes);
        result = WNetEnumResourceW(enumeration, &count, entries, &bytes);
        if (result != NO_ERROR)
            break;
        for (DWORD i = 0; i < count; ++i) {
            const NETRESOURCEW& entry = entries[i];
            if (entry.lpRemoteName && entry.lpRemoteName[0] != L'\0') {
                std::wstring name = entry.lpRemoteName;
                if (!EndsWithBackslash(name))
                    name += L'\\';
                if (name == remoteName && entry.lpLocalName && entry.lpLocalName[0] != L'\0')
                    paths.emplace_back(entry.lpLocalName);
            }
            if (entry.dwUsage & RESOURCEUSAGE_CONTAINER) {
                if (!EnumerateNetworkResources(volume, remoteName, &entry, paths))
                    std::printf("EnumerateFunc returned FALSE\n");
            }
        }
        if (count == 0)  // asking for no entries again would never end
            break;
    }
    if (result != ERROR_NO_MORE_ITEMS && result != NO_ERROR)
        std::printf("WNetEnumResource failed with error %d\n", static_cast<int>(result));

    GlobalFree(entries);
    result = WNetCloseEnum(enumeration);
    if (result != NO_ERROR) {
        std::printf("WNetCloseEnum failed with error %d\n", static_cast<int>(result));
        return 0;
    }
    return 1;
}

HANDLE OpenVolumeHandle(const CVolume* volume, DWORD desiredAccess)
{
    if (!volume || volume->m_root.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring name = volume->m_root;
    if (EndsWithBackslash(name))
        name.pop_back();
    return CreateFileW(name.c_str(), desiredAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

void CollectVolumes(VolumeList& volumes, wchar_t* volumeName, HANDLE search)
{
    if (search == INVALID_HANDLE_VALUE || search == nullptr)
        return;
    if (!volumeName) {
        FindVolumeClose(search);
        return;
    }
    do {
        volumeName[kVolumeNameLength - 1] = L'\0';
        volumes.push_back(new CVolume(volumeName));
    } while (FindNextVolumeW(search, volumeName, kVolumeNameLength));
    FindVolumeClose(search);
}

void DestroyVolumeList(VolumeList& volumes)
{
    for (CVolume* volume : volumes)
        delete volume;
    volumes.clear();
}

CVolume* GetVolumeForPath(std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;

    int linksFollowed = 0;
    for (;;) {
        std::wstring candidate = path;
        if (candidate.empty())
            return nullptr;
        if (!EndsWithBackslash(candidate))
            candidate += L'\\';

        bool walkUp = false;
        if (GetDriveTypeW(candidate.c_str()) == DRIVE_REMOTE) {
            if (StartsWith(candidate, L"\\\\") && candidate.size() > 2 &&
                candidate.find(L'\\', 2) != std::wstring::npos)
                return new CVolume(candidate);  // a UNC path: the whole path, not only its share

            // A folder of a mapped drive: the connection of the drive (or of the folder) names the share.
            std::wstring local = candidate.substr(0, candidate.size() - 1);
            wchar_t remote[kNameLength] = {};
            DWORD length = kNameLength;
            const DWORD result = WNetGetConnectionW(local.c_str(), remote, &length);
            if (result == NO_ERROR) {
                remote[kNameLength - 1] = L'\0';
                std::wstring root = remote;
                if (!EndsWithBackslash(root))
                    root += L'\\';
                return new CVolume(root);
            }
            if (result != ERROR_BAD_DEVICE)
                return nullptr;
            walkUp = true;
        } else {
            // A folder that is a junction, a mount point or a link lives on the volume it leads to.
            const DWORD here = GetFileAttributesW(candidate.c_str());
            if (linksFollowed < kMaxLinkResolutions && here != INVALID_FILE_ATTRIBUTES &&
                (here & FILE_ATTRIBUTE_REPARSE_POINT) && (here & FILE_ATTRIBUTE_DIRECTORY)) {
                std::wstring volumeRoot, target;
                if (ReadFolderLink(candidate, volumeRoot, target)) {
                    ++linksFollowed;
                    if (!volumeRoot.empty())
                        return new CVolume(volumeRoot);
                    path = target;
                    continue;
                }
            }

            wchar_t volumeName[kVolumeGuidLength] = {};
            if (GetVolumeNameForVolumeMountPointW(candidate.c_str(), volumeName, kVolumeGuidLength)) {
                volumeName[kVolumeGuidLength - 1] = L'\0';
                return new CVolume(volumeName);
            }
            switch (GetLastError()) {
            case ERROR_INVALID_FUNCTION:
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_NOT_A_REPARSE_POINT:
            // Wine answers ERROR_MORE_DATA for a folder that is no mount point; a volume GUID path always
            // fits the buffer, so this is the same answer as ERROR_NOT_A_REPARSE_POINT.
            case ERROR_MORE_DATA:
                walkUp = true;
                break;
            case ERROR_INVALID_PARAMETER:
                return new CVolume(candidate);
            default:
                return nullptr;
            }
        }

        if (walkUp && (!RemoveLastElement(path) || path.empty()))
            return nullptr;
    }
}

int GetFileRecordSize(const CVolume* volume, uint64_t* size)
{
    HANDLE handle = OpenVolumeHandle(volume, kRecordQueryAccess);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    NTFS_VOLUME_DATA_BUFFER data = {};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data, &returned,
                                    nullptr);
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (!ok) {
        SetLastError(error);
        return 0;
    }
    *size = data.BytesPerFileRecordSegment;
    return 1;
}

int GetFileRecordSizeToFill(const CVolume* volume, uint64_t* size)
{
    if (GetFileRecordSize(volume, size))
        return 1;
    if (!volume || _wcsicmp(volume->m_fileSystem.c_str(), L"NTFS") != 0)
        return 0;
    *size = kUsualNtfsRecordSize;
    return 1;
}
