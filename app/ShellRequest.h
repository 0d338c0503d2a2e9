#pragma once
// The shredding request that a caller leaves in named shared memory, and the start-up decisions made on
// the command line and the request: which mode runs, how many drive roots a request names, its single
// item. Everything here is checked before anything is shown or shredded.
//
// Wire format (little-endian, unaligned, offsets in bytes from the start of the mapping):
//   0  1 byte   acknowledge: the program writes 1 once it has taken the request
//   1  1 byte   recycle-bin flag: non-zero, nothing further is read
//   2  1 byte   free-space flag
//   3  4 bytes  file count N, then N path records
//      4 bytes  folder count M, then M path records
// A path record: a 32-bit advance L, then a UTF-16LE path ended by a NUL; the next record begins L bytes
// after the path's first byte (L covers the path, its NUL and any padding).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/PathList.h"

// A request as the program holds it once read: its own copies of the paths, in request order.
struct ShellRequest {
    static constexpr size_t kAcknowledgeOffset = 0;
    static constexpr size_t kRecycleBinOffset = 1;
    static constexpr size_t kFreeSpaceOffset = 2;
    static constexpr size_t kFileCountOffset = 3;
    static constexpr size_t kFirstRecordOffset = 7;

    struct PathRecord {
        static constexpr size_t kAdvanceOffset = 0;   // 32-bit advance, counted from the path's first byte
        static constexpr size_t kPathOffset = 4;      // NUL-terminated UTF-16LE path
    };

    bool m_recycleBin = false;
    bool m_freeSpace = false;
    PathList m_files;
    PathList m_folders;
};

// Why a request is refused.
enum class RequestFault {
    None,
    Truncated,        // a flag, count, record or path (its NUL) runs past the end of the request
    ShortAdvance,     // a record's advance is shorter than its path and NUL
    BadPath,          // a path that is not a plain, fully qualified local or network path
    NoFreeSpaceDrive, // a free-space request whose first folder is not a drive root
};

// Reads a request from its bytes. Fills request only on success (RequestFault::None); a recycle-bin
// request holds no paths (the enumeration fills them later).
RequestFault ParseShellRequest(const uint8_t* bytes, size_t size, ShellRequest& request);

// Leaves each item of the request once, in request order: a path given again (in another case, or with
// or without a trailing backslash) is dropped, and so is a file or folder that lies inside a listed folder
// (the folder's shredding takes it). A folder that holds folders listed before it takes the place of the
// first of them.
void MakeRequestPathsUnique(PathList& files, PathList& folders);

// Whether a path may be shredded as given: non-empty; "X:\..." or "\\server\share..." (not "\\?\" or
// "\\.\"); no wildcard, forward slash, control character or colon but the drive's; and already in the
// system's full form (no relative part, "..", trailing blanks or dots, doubled backslashes, device names).
bool IsAcceptedRequestPath(const std::wstring& path);

// A drive root: exactly three code units, such as "C:\" (every accepted path of that length is one).
bool IsDriveRoot(const std::wstring& path);

// Bytes of a mapped view that can be read from its start: the committed pages of the mapping.
size_t CommittedViewSize(const void* view);

enum class RequestReadResult {
    Read,        // request holds the request
    OpenFailed,  // no mapping of that name can be opened
    MapFailed,   // the mapping cannot be mapped
    Refused,     // the request is malformed or names a path that cannot be taken as given
};

// Opens and maps the named request, copies it out once, acknowledges it (byte 0 = 1, also when it is then
// refused), unmaps and closes it, and reads the copy.
RequestReadResult ReadShellRequest(const wchar_t* name, ShellRequest& request);

// The start-up mode chosen by the command line (the text after the program's name).
enum class StartMode {
    SettingsWindow,        // empty
    SettingsWindowHidden,  // "-minimized", or "/restart" (a restart after a crash), in any case
    Request,               // anything else: the name of the request's mapping
};
StartMode ChooseStartMode(const wchar_t* commandLine);

// Folder paths that are drive roots (file paths never count).
size_t CountDriveRoots(const PathList& folders);

// The one item of a request of exactly one file and no folder, or one folder and no file; otherwise an
// empty path.
struct SingleItem {
    std::wstring m_path;
    bool m_isFolder = false;
};
SingleItem GetSingleItem(const PathList& files, const PathList& folders);
