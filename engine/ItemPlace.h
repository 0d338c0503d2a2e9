#pragma once
// Where an item must lie for a job to touch it, told from an open handle: the entry that a walk listed
// inside its folder (or the item the user named inside its folder), not what a name leads to now. A name
// may have been exchanged for a link, or another file system may be mounted on it, between the listing
// and the open: Wine shows a Unix link as what it points at and a Linux mount as a plain folder, so the
// name's attributes do not tell. The handle's final path does: Wine resolves every link in it when the
// item is opened (measured: a handle opened through a Unix link to a file or a folder, or through a path
// below such a link, reports the target's path). The volume serial of a folder's handle tells a mount:
// Wine derives it from the drive the file system belongs to (0 where it belongs to none, such as a tmpfs
// mounted inside a folder of Z:); a bind mount of the same file system shows the same serial.
#include <windows.h>

#include <string>

#include "FailureCodes.h"

// Where an item lies: its folder's final path and its name there. A drive root or share root has no
// folder of its own (m_isRoot): any handle of it is taken for it.
struct ItemPlace {
    std::wstring m_folder;  // the final path of the folder that holds it ("\\?\C:\Users\x"; "\\?\C:\" at a root)
    std::wstring m_name;    // its name in that folder
    bool m_isRoot = false;
};

// A folder as a walk opened and checked it before listing it: its entries lie in m_finalPath.
struct FolderPlace {
    std::wstring m_finalPath;
    DWORD m_volumeSerial = 0;  // the volume the folder lies on, which every folder below must share
};

// The final path of an open handle, with the volume as its drive letter ("\\?\C:\..."), in *path.
// false with the thread's last error when the system cannot tell it.
bool FinalPathOf(HANDLE handle, std::wstring* path);

// The place of the item that path names (a full path, plain or in the literal "\\?\" form, trailing
// separators ignored): its folder is opened and asked for its final path. Links in the folder's own path
// are followed as the user named them; only the item itself must be what its name says. false with the
// thread's last error when the folder cannot be opened or told.
bool PlaceOfNamedItem(const wchar_t* path, ItemPlace* place);

// The place of the entry name inside a folder that was opened and checked.
ItemPlace PlaceInFolder(const FolderPlace& folder, const std::wstring& name);

// The same place under another name in the same folder (the random names of the renames).
ItemPlace PlaceRenamed(const ItemPlace& place, const std::wstring& name);

// ERROR_SUCCESS when the open handle is the item at place; kLeadsElsewhereError when it is something
// else (a link's target, what was put in its place); the query's error when its final path cannot be told.
DWORD CheckPlace(HANDLE handle, const ItemPlace& place);

// ERROR_SUCCESS when the open file's data has no other name; kOtherNamesError when it has (hard links);
// the query's error when the count cannot be read.
DWORD CheckSingleName(HANDLE file);

// Opens the folder at path, which must lie at place and, below parent (when given), on parent's volume,
// and fills *opened with what its entries are checked against. ERROR_SUCCESS, or kLeadsElsewhereError,
// kOtherVolumeError, or the error of the failed open or query. Nothing is changed.
DWORD CheckFolder(const wchar_t* path, const ItemPlace& place, const FolderPlace* parent, FolderPlace* opened);

// Opens the item at path for its attributes only and checks that it lies at place (CheckPlace).
DWORD CheckItemAt(const wchar_t* path, const ItemPlace& place);
