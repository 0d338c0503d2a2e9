#pragma once
// Further drive and volume operations of the makers' library, beside Volume.h: cluster size and free bytes
// of a volume, closing a volume handle, whether a directory exists, the mount paths of one volume or of
// every volume, destroying a record. CVolume::Lock and CVolume::Unlock (declared in Volume.h) are defined
// with them. Carried by the installer library; the program does not link them.
// Failures come back as 0, FALSE or an unchanged list; nothing shows a message or throws.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libcommon/Volume.h"

// Bytes per cluster of the volume at volume->m_root (sectors per cluster times bytes per sector), or 0.
uint32_t GetClusterSize(const CVolume* volume);

// Free bytes available to the calling user on the volume at volume->m_root, or 0 when the query fails.
uint64_t GetFreeBytes(const CVolume* volume);

// Closes handle (the counterpart of OpenVolumeHandle; the record is not used). FALSE with
// ERROR_INVALID_HANDLE for NULL and INVALID_HANDLE_VALUE, else the result of CloseHandle.
BOOL CloseVolumeHandle(const CVolume* volume, HANDLE handle);

// TRUE when path names an existing directory.
BOOL DirectoryExists(const wchar_t* path);

// Appends the mount paths (drive letters, mounted folders) of the volume named by a volume GUID path with
// its trailing "\" to paths; never clears the list. Appends nothing when the query fails.
void AppendMountPaths(const wchar_t* volumeName, std::vector<std::wstring>& paths);

// Appends the mount paths of every volume of the machine. A volume whose name is malformed or whose device
// cannot be queried is skipped.
void EnumerateVolumeMountPaths(std::vector<std::wstring>& paths);

// Destroys a record made with new (its strings go with it). NULL is ignored.
void DeleteVolume(CVolume* volume);
