#pragma once
// Closing the running main program from the installer: first politely, by the registered close message
// that its settings window answers like its Exit command, then by terminating every process of its name.
#include <windows.h>

#include <string>
#include <vector>

using ProcessNameList = std::vector<std::wstring>;

// How long the close message is given before the processes are terminated.
constexpr DWORD kCloseMessageWaitMs = 2000;

// The close action: PostCloseMessage, then TerminateProcessesByName with {"Pellumar.exe"}. Returns 0.
UINT CloseMainProgram();

// Posts the registered close message (no parameters: nothing is owned across the programs) to every
// top-level window and once more to the window titled "Corvane Pellumar", then waits kCloseMessageWaitMs.
// Posts nothing, and does not wait, when the message cannot be registered; posts nothing to a window that
// is not there.
void PostCloseMessage();

// Terminates (exit code 0xFFFFFFFF) every running process whose executable base name is in the list,
// compared as ListContainsNoCase does; the calling process never. Walks a process snapshot, or the process
// list when no snapshot can be had. A process found by name in the snapshot is terminated only when the
// image name of the process behind the opened handle is in the list as well (an id may have been reused).
// A process that cannot be opened is skipped.
void TerminateProcessesByName(const ProcessNameList& names);

// True when an entry equals name, with only the letters A to Z folded to a to z.
bool ListContainsNoCase(const ProcessNameList& names, const wchar_t* name);

// The ids of the running processes, starting from room for firstBytes / 4 ids and growing as needed.
// false when the list cannot be had (the call fails, or memory runs out).
bool ListProcessIds(std::vector<DWORD>& ids, DWORD firstBytes);
