#pragma once
// Path building shared by the counting and shredding threads.
#include <windows.h>

#include "engine/FoundNames.h"
#include "engine/ShredFile.h"
#include "framework/CString.h"

// Paths are handled in buffers of MAX_PATH characters with the terminator, measured in their plain form
// (the "\\?\" of an entry addressed literally not counted). A path of MAX_PATH characters or more cannot be
// handled: the counting thread skips it and the shredding thread fails it with ERROR_FILENAME_EXCED_RANGE.
inline bool IsPathTooLong(const CString& path)
{
    return ShownPath(path.Str()).size() >= MAX_PATH;
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

inline bool IsPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Whether the path names its place by itself: "X:\..." (or "X:/..."), "\\server\share\..." or a long or
// device form ("\\?\...", "\\.\..."). "X:" and "X:name" name places below that drive's current folder,
// "\name" one below the current drive's root, and "name" one below the current folder: what they name
// depends on the process's state, so a job refuses them before it touches anything.
inline bool IsFullyQualifiedPath(const wchar_t* path)
{
    if (!path)
        return false;
    if (((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) && path[1] == L':')
        return IsPathSeparator(path[2]);
    return IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && path[2] != L'\0' && !IsPathSeparator(path[2]);
}

// A drive root, by its form: "X:\" (or "X:/").
inline bool IsDriveRoot(const wchar_t* path)
{
    return path && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && IsPathSeparator(path[2]) && path[3] == L'\0';
}

enum class FolderKind {
    Folder,   // a folder of its own (a drive root included)
    Link,     // a junction, symbolic link or mounted folder
    Unknown,  // it cannot be told: the search of its path failed (the thread's last error says why)
};

// What a listed folder is. Decided on the path less its trailing separators ("link\" and "link/" name the
// link itself) and with the long-form prefix ("\\?\", whose "?" is no wildcard) left as it is; that path
// goes to *normalised when given (the name a link is removed by).
inline FolderKind KindOfFolder(const CString& folder, CString* normalised = nullptr)
{
    if (normalised)
        *normalised = folder;
    if (IsDriveRoot(folder))
        return FolderKind::Folder;
    CString path(folder);
    while (path.GetLength() > 1 && IsPathSeparator(path[path.GetLength() - 1]) && !IsDriveRoot(path))
        path = path.Left(path.GetLength() - 1);
    if (normalised)
        *normalised = path;
    const bool longForm = path.GetLength() >= 4 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) &&
                          path[2] == L'?' && IsPathSeparator(path[3]);
    const CString name = longForm ? path.Mid(4) : path;
    if (name.FindOneOf(L"*?") >= 0) {
        SetLastError(ERROR_INVALID_NAME);
        return FolderKind::Unknown;
    }
    if (IsPathTooLong(path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FolderKind::Unknown;
    }
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        // A folder that is not there is a path not found, as a walk of it would say.
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            SetLastError(ERROR_PATH_NOT_FOUND);
        return FolderKind::Unknown;
    }
    FindClose(search);
    return IsFolderLink(entry) ? FolderKind::Link : FolderKind::Folder;
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
