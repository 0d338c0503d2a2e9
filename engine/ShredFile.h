#pragma once
// Shredding one item: overwrite a file in place with every pass of an erasure method, zero its times,
// rename it seven times to random names in its own folder and delete it; remove an emptied folder the
// same way.
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "ErasureMethod.h"
#include "FailureCodes.h"
#include "ItemPlace.h"

// Why a shredding step failed. The progress dialog turns each kind into its message.
enum DeleteErrorKind : int32_t {
    DeleteErrorNone = 0,        // no failure
    DeleteErrorFailed = 1,      // a step failed; the Win32 error code says why
    DeleteErrorNotFound = 2,    // the item's attributes cannot be read (set by the shredding thread)
    DeleteErrorCompressed = 3,  // FILE_ATTRIBUTE_COMPRESSED
    DeleteErrorEncrypted = 4,   // FILE_ATTRIBUTE_ENCRYPTED
    DeleteErrorSparse = 5,      // FILE_ATTRIBUTE_SPARSE_FILE
};

// What shredding a file needs to know about the volume its folder lies on.
struct FolderFacts {
    bool m_hasVolume = false;      // the folder's volume was found
    DWORD m_volumeError = 0;       // why not, when it was not
    int32_t m_isFat = 0;           // FAT12 or FAT16: no NTFS file records
    bool m_hasRecordSize = false;  // NTFS: its file-record size, or the usual one where it does not tell
    uint64_t m_recordSize = 0;
    bool m_hasCluster = false;     // the cluster size was read (and is not 0)
    DWORD m_clusterError = 0;      // why not, when it was not
    uint32_t m_cluster = 0;
};

// The facts of each folder a job meets, looked up once per folder (the volume walk) and once per volume
// (record and cluster sizes) and reused for every file there. Only complete lookups are kept: a folder
// whose lookup failed is looked up again for its next file, and fails the same way. One job, one cache.
class CFolderFactsCache {
public:
    // The facts of folder (the folder part of a file's path).
    FolderFacts For(const std::wstring& folder);

private:
    static constexpr size_t kMostFolders = 1024;  // beyond this the cache starts afresh: memory stays flat
    std::map<std::wstring, std::wstring> m_volumeOfFolder;  // folder -> volume root
    std::map<std::wstring, FolderFacts> m_factsOfVolume;    // volume root -> facts
};

// Looks the facts of folder up now, as the shredding of one file does without a cache.
FolderFacts LookUpFolderFacts(const std::wstring& folder, std::wstring* volumeRoot = nullptr);

// Shreds one file. attributes: as the caller has just read them. *size receives the file's size before
// shredding. itemsDone and bytesDone are only read, for the progress messages posted to hWnd.
// 1: shredded (the file is gone; *kind is left as the caller set it).
// 0 with *kind 1..5 and *code: failed; the file keeps its name (its read-only attribute may be gone).
// 0 with *kind 0: stopped because *cancel was set during an overwrite; the file is kept, nothing to record.
// A symbolic link or junction is not overwritten or renamed: only the link itself is deleted (RemoveLink).
// A reparse point that keeps its data elsewhere (WOF-compressed, deduplicated, cloud file) fails with kind 3,
// untouched. Every pass reaches the disk (flushed) before the next, and the file's named streams are
// overwritten too, before it is renamed and deleted.
// facts: the job's cache of what it knows about folders (nullptr: looked up for this file alone).
// place: where the file must lie (nullptr: anywhere). Every handle is checked to be the file at place before
// anything is written, renamed or removed through it (kLeadsElsewhereError otherwise); a file whose data has
// other names is not written (kOtherNamesError); a file whose length changes but for this overwrite's own
// growth, from its first open to its deletion, fails kept under its name (kSizeChangedError).
int ShredFile(HWND hWnd, const wchar_t* path, CErasureMethod* method, int32_t* kind, DWORD* code, uint64_t* size,
              const CancelFlag* cancel, const uint64_t* itemsDone, const uint64_t* bytesDone, DWORD attributes,
              CFolderFactsCache* facts = nullptr, const ItemPlace* place = nullptr);

// Overwrites every named data stream of the file or folder at path with every pass of method, each pass
// flushed. 1: done (also when the item has none, or the file system keeps no streams). 0 with *kind 1 and
// *code: a stream could not be listed, opened or written. 0 with *kind 0: stopped by *cancel.
int ShredNamedStreams(const wchar_t* path, CErasureMethod* method, int32_t* kind, DWORD* code,
                      const CancelFlag* cancel);

// Whether path names something that is no file on a disk (a pipe, a FIFO, a device): nothing to overwrite.
bool IsSpecialFile(const wchar_t* path);

// Deletes the link (symbolic link, junction, mount point) at path itself, through a handle that is the link:
// never renamed, never written through, what it points at untouched. A read-only link loses that attribute
// first. 1 when it is gone; 0 otherwise, with the thread's last error: ERROR_NOT_SUPPORTED when the system
// opens what the link points at instead of the link (Wine, for its Unix links), which is then left alone;
// kLeadsElsewhereError when the handle is not the link at place (when given); kStillThereError when the
// system reported it deleted but its name is still there.
int RemoveLink(const wchar_t* path, const ItemPlace* place = nullptr);

// Sets the item's three times to the earliest instant, renames it seven times to random names in its own
// folder and deletes it (isFolder: removes the folder, which must be empty). Never for a link, which
// RemoveLink deletes. 1 when the item is gone; 0 otherwise, with the thread's last error from the failed step.
// The renames and the deletion go through one handle, opened first and checked to be the item at place (when
// given; kLeadsElsewhereError otherwise, nothing changed). A file whose length is not expectedSize (when not
// -1) when it is opened or before it is deleted has been written to by another program: kSizeChangedError.
// An item the system reports deleted whose name is still there fails with kStillThereError. An item that
// stays is renamed back to path; *leftAt (when given) receives where the item is after a failure: path, or
// its last random name when the way back failed too.
int RenameAndDelete(const wchar_t* path, int isFolder, std::wstring* leftAt = nullptr,
                    const ItemPlace* place = nullptr, int64_t expectedSize = -1);

// *size = the file's size rounded up to whole clusters of the volume that holds folder (which may be
// shortened in place). 1 on success; 1 with *size unchanged when no volume is found for the folder;
// 0 when the file cannot be opened, its size not read, or the cluster size not read.
int RoundUpToCluster(const wchar_t* path, uint64_t* size, std::wstring& folder);

// Whether a reparse point with this tag is a link (symbolic link, junction, mount point) whose data lies
// elsewhere, rather than a file or folder of its own that a filter stores differently (deduplicated, cloud
// placeholder). Wine fills in no tag (0, which Windows never gives) for the Unix links it shows.
inline bool IsLinkReparseTag(DWORD tag)
{
    return tag == 0 || IsReparseTagNameSurrogate(tag);
}

// Sets the three times of the open item to the earliest instant that SetFileTime keeps. A FILETIME of 0
// means "leave unchanged" to it, so the times go to 1, the first instant after 1601-01-01 (Wine keeps
// 1901-12-13 for it). The handle needs FILE_WRITE_ATTRIBUTES. The result is SetFileTime's.
BOOL SetEarliestFileTimes(HANDLE item);

// length random characters of 0-9 and a-z, from the calling thread's rand() sequence.
std::wstring MakeRandomName(int length);
