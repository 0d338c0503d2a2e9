#pragma once
// Restarting Windows Explorer around an installation, through one Restart Manager session per action.
#include <windows.h>
#include <restartmanager.h>

// The session handle that names no session.
constexpr DWORD kNoRmSession = 0xFFFFFFFF;

// The session of the running action, and its key; back to kNoRmSession and empty after every action. One
// pair for the library, constant-initialised (nothing runs when the library is loaded).
extern DWORD g_rmSessionHandle;
extern WCHAR g_rmSessionKey[CCH_RM_SESSION_KEY + 1];

// The oldest process whose image file name is exactly "explorer.exe" (case-sensitive). Process id 0 and a
// start time with all bits set when there is none.
RM_UNIQUE_PROCESS FindShellProcess();

// Starts the session, registers the shell process and shuts it down (forced) when the Restart Manager
// reports that this needs no reboot. Nothing is registered when the session cannot be started.
void RestartExplorerBegin();

// Restarts what the session shut down, printing "\n RmRestart error: <code>\n\n" on standard output when
// that fails, ends the session and resets the session state.
void RestartExplorerEnd();
