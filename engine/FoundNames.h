#pragma once
// How every walk (counting, shredding, the recycle-bin listing) names an entry that a directory search
// found: the folder's path joined with the entry's name, so that the path addresses that entry and no
// other. Names come from the file system as they stand; Linux, seen through Wine, allows names that no
// Windows file system holds (a backslash, a wildcard), and joining such a name plainly would address
// something else, even outside the folder ("..\victim.txt").
#include <windows.h>

#include <string>

// ERROR_SUCCESS when name can be joined to its folder as one entry of it; ERROR_INVALID_NAME when it cannot:
// empty, "." or "..", or holding a path separator ("\" or "/"), a stream colon, a wildcard ("*", "?", and
// the search's own "<", ">", '"'), "|" or a control character.
DWORD CheckFoundName(const wchar_t* name);

// Joins name, as a search of folder gave it, to folder, so that the path addresses exactly that entry,
// directly inside the folder: folder + "\" + name (no second backslash after a folder that ends in one)
// when the plain path rules take that as it stands; otherwise the literal form of the full path
// ("\\?\" + the folder's full path + "\" + name), which the file API takes without normalising it: a
// name ending in a dot or a space ("report." beside "report"), or a device name ("nul.txt", "CON"), is
// then taken as it stands. Below a folder in the literal form every entry is joined in it.
// true when *path addresses the entry. false, with *error set, when the name cannot be joined
// (CheckFoundName): *path then holds the plain joined text for messages only, and must never be opened.
bool JoinFoundName(const std::wstring& folder, const wchar_t* name, std::wstring* path, DWORD* error);

// The full path that the plain path rules make of path (separators as backslashes); empty when they make
// none.
std::wstring FullPathOf(const std::wstring& path);

// Whether path is in the literal form ("\\?\...").
bool IsLiteralPath(const std::wstring& path);

// The path as a user reads it: without the "\\?\" of the literal form ("\\?\UNC\s\x" as "\\s\x").
std::wstring ShownPath(const std::wstring& path);

// The nearest folder at or above folder that the plain path rules name as it stands, in the plain form:
// what the volume functions, which take plain paths, are asked about. A folder below a name that those
// rules would change lies on the same volume, since a walk never enters a link or mount point.
std::wstring PlainAncestor(const std::wstring& folder);
