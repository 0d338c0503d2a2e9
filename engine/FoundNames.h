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

// Joins name, as a search of folder gave it, to folder: *path = folder + "\" + name (no second backslash
// after a folder that ends in one). true when *path addresses exactly that entry, directly inside the
// folder. false, with *error set, when the name cannot be joined (CheckFoundName): *path then holds the
// joined text for messages only, and must never be opened.
bool JoinFoundName(const std::wstring& folder, const wchar_t* name, std::wstring* path, DWORD* error);
