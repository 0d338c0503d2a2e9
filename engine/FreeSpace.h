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
// Prefix handed to GetTempFileNameW for the small files (the system keeps its first three characters).
constexpr wchar_t kResidentFilePrefix[] = L"CorvaneDel";

// Fills the volume's free space with fill files in folder (no trailing backslash needed), each overwritten
// with every pass of method. Posts WM_FREE_SPACE_TOTAL once, then WM_DELETE_PROGRESS after every chunk.
// 1: the fill ended normally: the free space is used up, a further fill file cannot be created, or *cancel
//    was set (tested before every fill file and every chunk).
// 0: the fill failed: the free space cannot be read, a fill file cannot be given even one cluster, or the
//    overwrite of a fill file failed (other than by running into the end of the drive, after which the
//    file is cut back to the part that was written and every pass is written over that part).
int FillFreeSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                  CErasureMethod* method);

// Fills the free file records of an NTFS volume with small files in folder, each as large as a file
// record or as much smaller as still fits, overwritten with every pass of method. Posts WM_RESIDENT_PHASE
// 1 when the phase begins and 0 when it ends by itself (not after a cancel); on FAT12 and FAT16 volumes
// posts nothing. On a volume without NTFS file records the phase ends at once. Always 1.
int FillResidentSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                      CErasureMethod* method);
