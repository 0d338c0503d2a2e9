#pragma once
// Volumes: finding the volume that holds a folder, describing it, listing its mount paths, listing every
// volume of the machine, opening a volume for control requests and reading its NTFS file-record size.
// No window code here; failures come back as NULL, 0, an invalid record or an empty list.
#include <windows.h>
#include <winnetwk.h>

#include <cstdint>
#include <string>
#include <vector>

// One volume, described once when it is built. Created on the heap by GetVolumeForPath and CollectVolumes
// (or with the constructor); whoever obtained it deletes it.
class CVolume {
public:
    // Takes a copy of the root and describes the volume at once (drive type, then QueryFileSystem).
    explicit CVolume(const std::wstring& root);
    ~CVolume();

    // Reads label, device, file-system name and the FAT12/FAT16 flag. 1 described, 0 not. Only roots that
    // begin with two backslashes (a volume GUID path or a UNC path) and end with "\" are described.
    int QueryFileSystem();

    // Appends the volume's mount paths (drive letters and mounted folders of a local volume, local names
    // of a network volume) to the list; never clears it.
    void GetMountPaths(std::vector<std::wstring>& paths);

    std::wstring m_root;        // the root the record was built from, ending in "\"; never empty
    std::wstring m_label;       // volume label; empty when there is none or it could not be read
    std::wstring m_device;      // device path of the volume name (QueryDosDeviceW); empty when not queried
    std::wstring m_fileSystem;  // "NTFS", "FAT32", ..., and "FAT" refined to "FAT12" or "FAT16"
    int32_t m_isRemote = 0;     // GetDriveTypeW of the root gave DRIVE_REMOTE
    int32_t m_isValid = 0;      // QueryFileSystem succeeded at construction
    int32_t m_isFixed = 0;      // GetDriveTypeW of the root gave DRIVE_FIXED
    int32_t m_isFat = 0;        // FAT12 or FAT16 only (0 for FAT32, exFAT and every other file system)

    // Locks the volume through m_hVolume (FSCTL_LOCK_VOLUME), trying up to 102 times, 100 ms apart, while
    // the request fails. TRUE with m_isLocked = 1; FALSE with m_isLocked unchanged. An unset handle (NULL or
    // INVALID_HANDLE_VALUE) fails at once with ERROR_INVALID_HANDLE. In VolumeUtilities.cpp (the installer
    // library's part of the makers' library).
    BOOL Lock();
    // One FSCTL_UNLOCK_VOLUME request on m_hVolume: TRUE with m_isLocked = 0, FALSE with it unchanged; an
    // unset handle fails at once with ERROR_INVALID_HANDLE.
    BOOL Unlock();

    // Used only by Lock and Unlock. Whoever supplies the handle (OpenVolumeHandle with GENERIC_READ |
    // GENERIC_WRITE is what the lock requests need) also closes it; the record never does.
    int32_t m_isLocked = 0;
    HANDLE m_hVolume = INVALID_HANDLE_VALUE;
};

using VolumeList = std::vector<CVolume*>;

// Depth-first walk of the disk resources of the whole network from start (nullptr: the top level),
// appending the local name of every resource whose remote name, with a trailing "\", equals remoteName.
// 0 when the enumeration could not be opened, its buffer not taken or its handle not closed; else 1.
// Prints its diagnostics on standard output.
int EnumerateNetworkResources(const CVolume* volume, const std::wstring& remoteName, const NETRESOURCEW* start,
                              std::vector<std::wstring>& paths);

// Opens the volume (its root without the trailing "\") for control requests with the given access, sharing
// read, write and delete. INVALID_HANDLE_VALUE on failure; the caller closes the handle.
HANDLE OpenVolumeHandle(const CVolume* volume, DWORD desiredAccess);

// Size of the volume-name buffer that FindFirstVolumeW fills for CollectVolumes.
constexpr DWORD kVolumeNameLength = 260;

// Appends one record per volume: the first from the name in volumeName (kVolumeNameLength characters, as
// FindFirstVolumeW filled it), the rest from FindNextVolumeW on search. Closes search on return.
void CollectVolumes(VolumeList& volumes, wchar_t* volumeName, HANDLE search);

// Deletes every record of the list and empties it.
void DestroyVolumeList(VolumeList& volumes);

// The volume that holds an existing folder: a new record owned by the caller, or NULL. Walks up from the
// folder in place: on return path holds the folder at which the walk stopped (a drive root, a mounted
// folder, a share). A folder that is a junction, a mount point or a symbolic link is followed to the
// volume it leads to; path then holds where the walk went on.
CVolume* GetVolumeForPath(std::wstring& path);

// The NTFS file-record size of the volume. 1 with *size written; 0 when the volume cannot be opened or is
// not NTFS, with the failing call's last error left for the caller.
int GetFileRecordSize(const CVolume* volume, uint64_t* size);

// NTFS's usual file-record size: what an NTFS volume that does not answer the record-size query is taken
// to have.
constexpr uint64_t kUsualNtfsRecordSize = 1024;

// The file-record size to overwrite on the volume (the shred's pre-pass of small files, the free-space
// fill's record phase): the volume's own answer, else kUsualNtfsRecordSize on a volume whose file system
// is NTFS (its records exist whether or not it tells their size). 1 with *size written; 0 on every other
// file system, which keeps no such records, with the query's last error left.
int GetFileRecordSizeToFill(const CVolume* volume, uint64_t* size);
