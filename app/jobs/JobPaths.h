#pragma once
// Path building shared by the counting and shredding threads.
#include <windows.h>

#include "engine/ShredFile.h"
#include "framework/CString.h"

// Paths are handed to the file API in their plain form, which takes at most MAX_PATH characters with the
// terminator. A path of MAX_PATH characters or more cannot be handled: the counting thread skips it and
// the shredding thread fails it with ERROR_FILENAME_EXCED_RANGE.
inline bool IsPathTooLong(const CString& path)
{
    return path.GetLength() >= MAX_PATH;
}

// folder + "\" + name; no second backslash after a folder that ends in one (a drive root such as C:\).
inline CString JoinPath(const CString& folder, const wchar_t* name)
{
    CString path(folder);
    if (path.IsEmpty() || path[path.GetLength() - 1] != L'\\')
        path += L'\\';
    path += name;
    return path;
}

// The search pattern of a folder's entries.
inline CString SearchPattern(const CString& folder)
{
    return JoinPath(folder, L"*");
}

// A junction, a symbolic link to a folder or a mounted folder: a walk removes or skips the link itself and
// never goes through it, so nothing outside the user's selection is counted or touched. Reparse points
// that are not links (cloud placeholders, deduplicated folders) are folders like any other.
inline bool IsFolderLink(const WIN32_FIND_DATAW& entry)
{
    const DWORD linkBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((entry.dwFileAttributes & linkBits) != linkBits)
        return false;
    return IsLinkReparseTag(entry.dwReserved0);
}

// Whether a listed folder is itself such a link (a drive root or a path the search cannot take is not).
inline bool IsFolderLinkPath(const CString& folder)
{
    if (folder.FindOneOf(L"*?") >= 0 || IsPathTooLong(folder))
        return false;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(folder, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return IsFolderLink(entry);
}

inline bool IsExistingFolder(const CString& path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

inline bool IsDotEntry(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}
