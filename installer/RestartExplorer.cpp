#include "RestartExplorer.h"

#include <psapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "CloseProgram.h"

constinit DWORD g_rmSessionHandle = kNoRmSession;
constinit WCHAR g_rmSessionKey[CCH_RM_SESSION_KEY + 1] = {};

namespace {

constexpr DWORD kShellListFirstBytes = 2048 * sizeof(DWORD);
constexpr DWORD kImagePathChars = 260;
constexpr UINT kAffectedAppsRoom = 16;
// What the reboot reason holds until RmGetList writes it (Wine's leaves it unwritten): not known, so no
// shutdown.
constexpr DWORD kRebootReasonUnknown = 0xFFFFFFFF;

uint64_t AsNumber(const FILETIME& time)
{
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

}  // namespace

RM_UNIQUE_PROCESS FindShellProcess()
{
    RM_UNIQUE_PROCESS shell = {};
    shell.dwProcessId = 0;
    shell.ProcessStartTime.dwLowDateTime = 0xFFFFFFFF;
    shell.ProcessStartTime.dwHighDateTime = 0xFFFFFFFF;

    std::vector<DWORD> ids;
    if (!ListProcessIds(ids, kShellListFirstBytes))
        return shell;
    for (DWORD id : ids) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
        if (!process)
            continue;
        wchar_t image[kImagePathChars] = {};
        if (GetProcessImageFileNameW(process, image, kImagePathChars) != 0) {
            image[kImagePathChars - 1] = L'\0';
            FILETIME created = {}, exited = {}, kernel = {}, user = {};
            if (std::wcscmp(PathFindFileNameW(image), L"explorer.exe") == 0 &&
                GetProcessTimes(process, &created, &exited, &kernel, &user) &&
                AsNumber(created) < AsNumber(shell.ProcessStartTime)) {
                shell.dwProcessId = id;
                shell.ProcessStartTime = created;
            }
        }
        CloseHandle(process);
    }
    return shell;
}

void RestartExplorerBegin()
{
    if (RmStartSession(&g_rmSessionHandle, 0, g_rmSessionKey) != ERROR_SUCCESS) {
        g_rmSessionHandle = kNoRmSession;
        return;
    }
    RM_UNIQUE_PROCESS shell = FindShellProcess();
    RmRegisterResources(g_rmSessionHandle, 0, nullptr, 1, &shell, 0, nullptr);

    RM_PROCESS_INFO affected[kAffectedAppsRoom] = {};
    UINT needed = 0;
    UINT count = kAffectedAppsRoom;
    DWORD rebootReasons = kRebootReasonUnknown;
    if (RmGetList(g_rmSessionHandle, &needed, &count, affected, &rebootReasons) == ERROR_SUCCESS &&
        rebootReasons == RmRebootReasonNone)
        RmShutdown(g_rmSessionHandle, RmForceShutdown, nullptr);
}

void RestartExplorerEnd()
{
    const DWORD result = RmRestart(g_rmSessionHandle, 0, nullptr);
    if (result != ERROR_SUCCESS) {
        std::printf("\n RmRestart error: %d\n\n", static_cast<int>(result));
        std::fflush(stdout);
    }
    RmEndSession(g_rmSessionHandle);
    g_rmSessionHandle = kNoRmSession;
    std::memset(g_rmSessionKey, 0, sizeof g_rmSessionKey);
}
