#pragma once
// The Win32 codes that a failed shredding step (kind DeleteErrorFailed) reports when the engine itself
// found the failure, each chosen so that the progress dialog can give it a message of its own; no file
// call of a shredding job fails with them for another reason.
#include <windows.h>

// The name leads elsewhere than the entry that was listed there: a link, or something put in its place.
constexpr DWORD kLeadsElsewhereError = ERROR_CANT_RESOLVE_FILENAME;
// A folder that lies on another volume than the folder that holds it: a file system mounted there.
constexpr DWORD kOtherVolumeError = ERROR_NOT_SAME_DEVICE;
// A file whose data has other names as well (hard links): overwriting it would change them too.
constexpr DWORD kOtherNamesError = ERROR_TOO_MANY_LINKS;
// A file whose size changed while it was being overwritten: another program writes to it.
constexpr DWORD kSizeChangedError = ERROR_FILE_INVALID;
// An item that the system reported deleted but that is still there.
constexpr DWORD kStillThereError = ERROR_FILE_EXISTS;
