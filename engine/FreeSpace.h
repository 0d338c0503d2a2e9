#pragma once
// Wiping a drive's free space: fill the free clusters with large fill files, then the free NTFS file
// records with small (resident) files, each overwritten with every pass of the erasure method. Both work
// inside a folder that the caller created on the volume and deletes afterwards with everything in it;
// nothing outside that folder is made or changed.
#include <windows.h>

#include <cstdint>
#include <string>

#include "ErasureMethod.h"

class CVolume;

// Largest fill file: 216 MiB.
constexpr uint64_t kFillFileMaxSize = 216ull * 1024 * 1024;
// Length of the random part of a fill file's name.
constexpr int kFillFileNameLength = 18;
// The small files' names: this prefix, kFillFileNameLength random characters and ".tmp".
constexpr wchar_t kResidentFilePrefix[] = L"CorvaneDel";

// Fills the volume's free space with fill files in folder (no trailing backslash needed), each overwritten
// with every pass of method. Posts WM_FREE_SPACE_TOTAL once, then WM_DELETE_PROGRESS after every chunk.
// Every pass of every fill file is flushed to the disk before the file is closed. A folder that the
// drive's compression reaches is made uncompressed first.
// 1: the fill ended normally: the free space is used up, a further fill file cannot be created for lack
//    of space, or *cancel was set (tested before every fill file and every chunk).
// 0: the fill failed: the free space cannot be read, the folder's compression cannot be cleared, a fill
//    file cannot be created for another reason or cannot be given even one cluster, a fill file ends up
//    compressed or sparse, the free bytes stop falling, or the overwrite of a fill file failed (other than
//    by running into the end of the drive, after which the file is cut back to the part that was written
//    and every pass is written over that part).
int FillFreeSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                  CErasureMethod* method);

// Fills the free file records of an NTFS volume with small files in folder, each as large as a file
// record or as much smaller as still fits, overwritten with every pass of method (each pass flushed).
// Posts WM_RESIDENT_PHASE 1 when the phase begins and 0 when it ends by itself (not after a cancel); on
// FAT12 and FAT16 volumes posts nothing. On a volume without NTFS file records the phase ends at once; an
// NTFS volume that does not tell its record size is filled with records of the usual 1,024 bytes.
// 1: the records are used up (a small file cannot be created, extended or written for lack of space),
// the volume has none, or *cancel was set. 0: the phase ended otherwise (a failed create, extension or
// write of another kind, a small file stored compressed or sparse).
int FillResidentSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                      CErasureMethod* method);
