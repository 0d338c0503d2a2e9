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
// Copies the file or folder tree from (a Windows path) on the Unix side into folder under name, which is
// listed only once the whole copy is there. false on failure.
bool CopyToUnixName(const std::wstring& from, const std::wstring& folder, const std::wstring& name);
// Makes a FIFO named name in folder on the Unix side. false on failure.
bool MakeUnixFifo(const std::wstring& folder, const std::wstring& name);
// Removes the folder and everything in it on the Unix side (names Windows cannot address included), never
// following a link. false on failure.
bool RemoveUnixTree(const std::wstring& folder);
// Exchanges the two names atomically on the Unix side (renameat2 with RENAME_EXCHANGE, through perl): each
// then names what the other named. Waits until first's reparse attribute (a link or not) has flipped. false
// on failure.
bool ExchangeUnixNames(const std::wstring& first, const std::wstring& second);
// Mounts a small tmpfs on the folder (needs root). Waits until marker, a file in the folder, is hidden by
// the mount. false when the mount does not happen.
bool MountUnixTmpfs(const std::wstring& folder, const std::wstring& marker);
// Unmounts it again; waits until marker shows again.
bool UnmountUnix(const std::wstring& folder, const std::wstring& marker);
// Sets or clears the folder's immutable attribute (chattr, needs root and a file system that keeps it).
// Waits until chattr has ended, then checks that a file can no longer, or again, be made in it. false
// when that does not hold (the marker folder + ".chattr-done" is made and removed beside it).
bool SetUnixImmutable(const std::wstring& folder, bool immutable);
// Writes out the journal of the ext4 file system that holds folder (the EXT4_IOC_CHECKPOINT request, through
// perl; needs root): every metadata block that ext4 has so far written to its journal only is then in its
// place on the disk. Waits until the request is done. false when it fails.
bool CheckpointUnixJournal(const std::wstring& folder);
