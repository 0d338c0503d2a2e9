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

// The refusal of a write or an extension when the user's disk quota is used up (mingw's headers lack it).
#ifndef ERROR_DISK_QUOTA_EXCEEDED
#define ERROR_DISK_QUOTA_EXCEEDED 1295L
#endif

// Largest fill file: 216 MiB.
constexpr uint64_t kFillFileMaxSize = 216ull * 1024 * 1024;
// Length of the random part of a fill file's name.
constexpr int kFillFileNameLength = 18;
// The small files' names: this prefix, kFillFileNameLength random characters and ".tmp".
constexpr wchar_t kResidentFilePrefix[] = L"CorvaneDel";

// Fills the volume's free space with fill files in folder (no trailing backslash needed), each overwritten
// with every pass of method. The fill runs on until the file system refuses a fill file for lack of space
// (disk full or quota), whatever the free-bytes figure says; the fill files' sizes and the progress go by
// the volume's total free bytes (not only the caller's share). Posts WM_FREE_SPACE_TOTAL once, then
// WM_DELETE_PROGRESS after every chunk. Every pass of every fill file is flushed to the disk before the
// file is closed. A folder that the drive's compression reaches is made uncompressed first. Except on
// FAT12 and FAT16, the empty folder where FillResidentSpace's chain starts is made before the fill files.
// 1: the fill ended normally: a further fill file cannot be created, given one cluster or written at all
//    for lack of space (a file whose write ran into the end of the drive is followed by further ones;
//    once one takes nothing, by smaller ones, one cluster and then halved down to 512 bytes, until the
//    smallest takes nothing) and at most a few clusters still read free, or
//    *cancel was set (tested before every fill file and every chunk).
// 0: the fill failed: the free space cannot be read, the folder's compression cannot be cleared, a fill
//    file cannot be created for another reason or cannot be given even one cluster before the fill took
//    any of the free bytes it was shown, a fill file ends up compressed or sparse, the fill makes no
//    headway (the free bytes stop falling, or the fill files outgrow the volume), or the overwrite of a
//    fill file failed (other than by running into the end of the drive, after which the file is cut back
//    to the part that was written and every pass is written over that part). When the fill has ended
//    and more than a few clusters still read free, the fill could not reach them: 0 with *unwiped (when
//    given) set to those free bytes; every other result leaves *unwiped 0.
int FillFreeSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                  CErasureMethod* method, uint64_t* unwiped = nullptr);

// Fills the free file records of an NTFS volume with small files below folder, each as large as a file
// record or as much smaller as still fits, overwritten with every pass of method (each pass flushed). The
// small files lie in a chain of nested folders (the first made by FillFreeSpace before its fill files),
// each holding no more entries than fit in its own record, so that no folder index needs a cluster; the
// chain goes no deeper than MAX_PATH allows. Files and folders are left with the earliest times.
// Posts WM_RESIDENT_PHASE 1 when the phase begins and 0 when it ends by itself (not after a cancel); on
// FAT12 and FAT16 volumes posts nothing. On a volume without NTFS file records the phase ends at once; an
// NTFS volume that does not tell its record size is filled with records of the usual 1,024 bytes.
// 1: the records are used up (a small file or folder cannot be created, or a small file extended or
// written down to nothing, for lack of space; each write refused for lack of space halves the size), the
// chain is as deep as paths allow, the volume has none, or *cancel was set. 0: the phase ended otherwise
// (a failed create, extension or write of another kind, a small file stored compressed or sparse).
int FillResidentSpace(HWND hWnd, const CVolume* volume, const CancelFlag* cancel, const std::wstring& folder,
                      CErasureMethod* method);
