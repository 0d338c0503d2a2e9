#pragma once
// The recycle-bin enumeration: turns a recycle-bin request into ordinary lists of paths. It finds the
// current user's recycle folders on every local volume (and under the shell's recycle-bin known folder)
// and lists what they hold directly: plain files into the file list, deleted folders into the folder
// list, so that the shredding job shreds everything the shell would destroy when the bin is emptied.
#include <windows.h>

#include <string>

#include "engine/PathList.h"

// Appends the full paths of what the user's recycle folders hold directly: files to files, folders to
// folders (entries already in the lists stay). Never follows a link: a recycle folder, or the user's
// sub-folder of one, that is a reparse point is passed over. The shell's own desktop.ini and the other
// users' sub-folders are left out.
// 1 when every recycle folder found was listed to its end; 0 when one was passed over, its listing
// broke off or it held a name that cannot be joined as one entry of it (one holding a backslash, which
// Linux allows): the lists then lack part of the bin, which must not be emptied afterwards.
int CollectRecycleBinFiles(PathList& files, PathList& folders);

// The SID of the token's user as text ("S-1-5-21-..."), or empty when it cannot be read. Closes token.
void GetUserSidString(std::wstring& sid, HANDLE token);

// folder + "\" + name, without a second backslash after a folder that ends in one; empty when the folder
// is empty.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
