#pragma once
// The Unix side of the Wine prefix, for tests that need what only Linux makes: symbolic links, FIFOs and
// names that Windows cannot hold ("..\x.txt", "report.", "trail "). Everything is made by Unix programs
// (ln, cp, mkfifo, rm) that Wine starts; paths are Windows paths in the prefix, inside the test's own
// folders.
#include <windows.h>

#include <string>

// true when the test runs under Wine (a Unix side exists).
bool UnderWine();
// Makes link a Unix symbolic link to target (both Windows paths in the prefix). false on failure.
bool MakeUnixLink(const std::wstring& link, const std::wstring& target);
// Removes the Unix link itself (never what it points at).
bool RemoveUnixLink(const std::wstring& link);
// Copies the file or folder tree from (a Windows path) on the Unix side into folder under name. false on
// failure.
bool CopyToUnixName(const std::wstring& from, const std::wstring& folder, const std::wstring& name);
// Makes a FIFO named name in folder on the Unix side. false on failure.
bool MakeUnixFifo(const std::wstring& folder, const std::wstring& name);
// Removes the folder and everything in it on the Unix side (names Windows cannot address included), never
// following a link. false on failure.
bool RemoveUnixTree(const std::wstring& folder);
