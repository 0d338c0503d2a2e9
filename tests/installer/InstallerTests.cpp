// The installer library: its exports, the close sequence against real stand-in processes, the process
// walks, the shell lookup, the Explorer restart, the survey page and the .NET check against a real package.
// Fakes, each only where Wine cannot show the behaviour: the Restart Manager (Wine's is a stub that always
// succeeds and restarts nothing), ShellExecuteW (Wine would start the host's browser), the account the
// action runs as (LocalSystem), a reused process id, a failed snapshot, and process lists longer than the
// first buffer.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <psapi.h>
#include <restartmanager.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CloseProgram.h"
#include "ImportPatch.h"
#include "RestartExplorer.h"
#include "StandIn.h"
#include "TempDir.h"
#include "libcommon/ProductNames.h"

namespace {

using Action = UINT(WINAPI*)(MSIHANDLE);
const char* const kActionNames[] = {"CloseConsoleAction", "DotNetInstalledCheckAction", "InstallAction",
                                    "UnInstallAction"};

// The installer library, loaded from the test folder (the build copies it there).
class Library {
public:
    Library() : m_module(LoadLibraryW((TestBinaryFolder() + L"\\PellumarInstall.dll").c_str())) {}
    ~Library()
    {
        if (m_module)
            FreeLibrary(m_module);
    }
    HMODULE Module() const { return m_module; }
    Action Get(const char* name) const { return reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(m_module, name))); }

private:
    HMODULE m_module;
};

std::wstring ExeName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full = path;
    return full.substr(full.find_last_of(L'\\') + 1);
}

uint64_t AsNumber(const FILETIME& time)
{
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

FILETIME CreationTime(DWORD processId)
{
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process) {
        GetProcessTimes(process, &created, &exited, &kernel, &user);
        CloseHandle(process);
    }
    return created;
}

// ---- process-list fakes -----------------------------------------------------------------------------

// EnumProcesses: the chosen ids behind a padding of ids no process has, so that the list is longer than
// the first buffer of either walk; or the system's ids behind that padding.
ImportPatch<decltype(::K32EnumProcesses)>* g_enumProcesses;
std::vector<DWORD> g_listedIds;  // empty: the system's own list
bool g_systemIdsToo;
DWORD g_paddingIds;
bool g_enumFails;
std::vector<DWORD> g_enumAsked;
BOOL WINAPI FakeEnumProcesses(DWORD* ids, DWORD bytes, DWORD* returned)
{
    g_enumAsked.push_back(bytes);
    if (g_enumFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::vector<DWORD> all;
    for (DWORD i = 0; i < g_paddingIds; ++i)
        all.push_back(0x7FF00000u + 4 * i);
    all.insert(all.end(), g_listedIds.begin(), g_listedIds.end());
    if (g_systemIdsToo) {
        std::vector<DWORD> system(4096);
        DWORD got = 0;
        g_enumProcesses->Original()(system.data(), static_cast<DWORD>(system.size() * sizeof(DWORD)), &got);
        all.insert(all.end(), system.begin(), system.begin() + got / sizeof(DWORD));
    }
    const size_t fit = std::min<size_t>(all.size(), bytes / sizeof(DWORD));
    std::copy(all.begin(), all.begin() + fit, ids);
    *returned = static_cast<DWORD>(fit * sizeof(DWORD));
    return TRUE;
}

HANDLE WINAPI FakeNoSnapshot(DWORD, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

// A snapshot that lists chosen (id, name) pairs, as a snapshot taken before the ids were reused would.
std::vector<std::pair<DWORD, std::wstring>> g_snapshotEntries;
size_t g_snapshotNext;
BOOL WINAPI FakeProcess32NextW(HANDLE, LPPROCESSENTRY32W entry)
{
    if (g_snapshotNext >= g_snapshotEntries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    entry->th32ProcessID = g_snapshotEntries[g_snapshotNext].first;
    lstrcpynW(entry->szExeFile, g_snapshotEntries[g_snapshotNext].second.c_str(), MAX_PATH);
    ++g_snapshotNext;
    return TRUE;
}
BOOL WINAPI FakeProcess32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    g_snapshotNext = 0;
    return FakeProcess32NextW(snapshot, entry);
}

// ---- close-message fakes ----------------------------------------------------------------------------

UINT WINAPI FakeRegisterFails(LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}
std::vector<HWND> g_postedTo;
BOOL WINAPI FakePostMessageW(HWND window, UINT, WPARAM, LPARAM)
{
    g_postedTo.push_back(window);
    return TRUE;
}
std::vector<DWORD> g_sleeps;
VOID WINAPI FakeSleep(DWORD ms)
{
    g_sleeps.push_back(ms);
}

// ---- Restart Manager fakes (Wine's is a stub) --------------------------------------------------------

struct RmLog {
    std::vector<std::string> calls;
    DWORD startHandleBefore = 0;   // *pSessionHandle as RmStartSession found it
    std::wstring startKeyBefore;   // the key buffer as RmStartSession found it
    std::vector<RM_UNIQUE_PROCESS> registered;
    std::vector<DWORD> sessions;   // the handle of every call after the start
    DWORD shutdownFlags = 0;
};
RmLog g_rm;
DWORD g_rmStartResult = ERROR_SUCCESS;
DWORD g_rmNextSession = 7;
DWORD g_rmRebootReasons = RmRebootReasonNone;
bool g_rmLeavesReasonsUnwritten;
DWORD g_rmRestartResult = ERROR_SUCCESS;

DWORD WINAPI FakeRmStartSession(DWORD* session, DWORD, WCHAR key[])
{
    g_rm.calls.push_back("start");
    g_rm.startHandleBefore = *session;
    g_rm.startKeyBefore = key;
    if (g_rmStartResult != ERROR_SUCCESS) {
        *session = 0x5A5A;  // what a failing call may leave behind
        return g_rmStartResult;
    }
    *session = g_rmNextSession++;
    lstrcpynW(key, L"0123456789abcdef0123456789abcdef", CCH_RM_SESSION_KEY + 1);
    return ERROR_SUCCESS;
}
DWORD WINAPI FakeRmRegisterResources(DWORD session, UINT files, LPCWSTR[], UINT processes,
                                     RM_UNIQUE_PROCESS list[], UINT services, LPCWSTR[])
{
    g_rm.calls.push_back("register");
    g_rm.sessions.push_back(session);
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(services, 0u);
    g_rm.registered.assign(list, list + processes);
    return ERROR_SUCCESS;
}
DWORD WINAPI FakeRmGetList(DWORD session, UINT* needed, UINT* count, RM_PROCESS_INFO[], LPDWORD reasons)
{
    g_rm.calls.push_back("getlist");
    g_rm.sessions.push_back(session);
    EXPECT_EQ(*count, 16u);
    *needed = 1;
    *count = 0;
    if (!g_rmLeavesReasonsUnwritten)
        *reasons = g_rmRebootReasons;
    return ERROR_SUCCESS;
}
DWORD WINAPI FakeRmShutdown(DWORD session, ULONG flags, RM_WRITE_STATUS_CALLBACK)
{
    g_rm.calls.push_back("shutdown");
    g_rm.sessions.push_back(session);
    g_rm.shutdownFlags = flags;
    return ERROR_SUCCESS;
}
DWORD WINAPI FakeRmRestart(DWORD session, DWORD, RM_WRITE_STATUS_CALLBACK)
{
    g_rm.calls.push_back("restart");
    g_rm.sessions.push_back(session);
    return session == kNoRmSession ? ERROR_INVALID_HANDLE : g_rmRestartResult;
}
DWORD WINAPI FakeRmEndSession(DWORD session)
{
    g_rm.calls.push_back("end");
    g_rm.sessions.push_back(session);
    return ERROR_SUCCESS;
}

// The six Restart Manager calls of the library, faked for the lifetime of the object.
class FakeRestartManager {
public:
    explicit FakeRestartManager(HMODULE module)
        : m_start("RmStartSession", &FakeRmStartSession, nullptr, module),
          m_register("RmRegisterResources", &FakeRmRegisterResources, nullptr, module),
          m_list("RmGetList", &FakeRmGetList, nullptr, module),
          m_shutdown("RmShutdown", &FakeRmShutdown, nullptr, module),
          m_restart("RmRestart", &FakeRmRestart, nullptr, module),
          m_end("RmEndSession", &FakeRmEndSession, nullptr, module)
    {
        g_rm = RmLog();
        g_rmStartResult = ERROR_SUCCESS;
        g_rmRebootReasons = RmRebootReasonNone;
        g_rmLeavesReasonsUnwritten = false;
        g_rmRestartResult = ERROR_SUCCESS;
    }
    bool IsActive() const
    {
        return m_start.IsActive() && m_register.IsActive() && m_list.IsActive() && m_shutdown.IsActive() &&
               m_restart.IsActive() && m_end.IsActive();
    }

private:
    ImportPatch<decltype(::RmStartSession)> m_start;
    ImportPatch<decltype(::RmRegisterResources)> m_register;
    ImportPatch<decltype(::RmGetList)> m_list;
    ImportPatch<decltype(::RmShutdown)> m_shutdown;
    ImportPatch<decltype(::RmRestart)> m_restart;
    ImportPatch<decltype(::RmEndSession)> m_end;
};

// ---- survey fakes ------------------------------------------------------------------------------------

struct ShellCall {
    HWND owner;
    std::wstring verb, file;
    bool parameters, directory;
    INT show;
};
std::vector<ShellCall> g_shellCalls;
HINSTANCE WINAPI FakeShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                                   INT show)
{
    g_shellCalls.push_back({owner, verb ? verb : L"", file ? file : L"", parameters != nullptr,
                            directory != nullptr, show});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

ImportPatch<decltype(::GetTokenInformation)>* g_tokenInformation;
BOOL WINAPI FakeTokenOfLocalSystem(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID out, DWORD size, PDWORD needed)
{
    if (kind != TokenUser)
        return g_tokenInformation->Original()(token, kind, out, size, needed);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &sidSize);
    *needed = sizeof(TOKEN_USER) + sidSize;
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* user = static_cast<TOKEN_USER*>(out);
    user->User.Attributes = 0;
    user->User.Sid = reinterpret_cast<BYTE*>(out) + sizeof(TOKEN_USER);
    CopySid(sidSize, user->User.Sid, sid);
    return TRUE;
}

// ---- standard output, as the library's printf sees it (the same msvcrt) -------------------------------

class CapturedOutput {
public:
    CapturedOutput() : m_file(m_dir.Join(L"stdout.txt"))
    {
        std::fflush(stdout);
        m_saved = _dup(1);
        const int file = _wopen(m_file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(file, 1);
        _close(file);
    }
    // Ends the capture and gives what was written.
    std::string Take()
    {
        std::fflush(stdout);
        _dup2(m_saved, 1);
        _close(m_saved);
        const std::vector<uint8_t> bytes = TempDir::ReadFile(m_file);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    TempDir m_dir{L"stdout"};
    std::wstring m_file;
    int m_saved = -1;
};

bool HasQueuedMessage(UINT message)
{
    MSG msg;
    return PeekMessageW(&msg, reinterpret_cast<HWND>(-1), message, message, PM_REMOVE) != FALSE ||
           PeekMessageW(&msg, nullptr, message, message, PM_REMOVE) != FALSE;
}

}  // namespace

TEST(InstallerLibrary, ExportsTheFourActionsByNameAndOrdinalAndNothingElse)
{
    Library library;
    ASSERT_NE(library.Module(), nullptr);
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
        const FARPROC byOrdinal = GetProcAddress(library.Module(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(byOrdinal, nullptr) << ordinal;
        EXPECT_EQ(byOrdinal, GetProcAddress(library.Module(), kActionNames[ordinal - 1])) << ordinal;
    }
    const auto* base = reinterpret_cast<const BYTE*>(library.Module());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& exports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exports.VirtualAddress);
    EXPECT_EQ(directory->NumberOfFunctions, 4u);
    EXPECT_EQ(directory->NumberOfNames, 4u);
    EXPECT_EQ(directory->Base, 1u);

    // The property call is imported by name, so that it can be found (and faked) by name.
    ImportPatch<decltype(::MsiSetPropertyW)> byName("MsiSetPropertyW", &::MsiSetPropertyW, "msi.dll",
                                                    library.Module());
    EXPECT_TRUE(byName.IsActive());
}

TEST(InstallerLibrary, ListContainsNoCaseFoldsOnlyTheLettersAToZ)
{
    const ProcessNameList names = {L"Pellumar.exe", L"a[b", L"\u00E4x"};
    struct Case { const wchar_t* name; bool found; };
    const Case cases[] = {
        {L"Pellumar.exe", true}, {L"PELLUMAR.EXE", true}, {L"pellumar.EXE", true},
        {L"Pellumar.exe2", false}, {L"Pellumar.ex", false}, {L"xPellumar.exe", false}, {L"", false},
        {L"A[B", true}, {L"a{b", false},         // '[' and '{' lie 32 apart but are no letters
        {L"\u00C4X", false}, {L"\u00E4X", true},  // only A to Z are folded
    };
    for (const Case& c : cases)
        EXPECT_EQ(ListContainsNoCase(names, c.name), c.found) << testing::PrintToString(std::wstring(c.name));
    EXPECT_FALSE(ListContainsNoCase(names, nullptr));
    EXPECT_FALSE(ListContainsNoCase({}, L"Pellumar.exe"));
}

TEST(InstallerLibrary, TheCloseActionEndsEveryProgramOfTheNameAndSparesTheRest)
{
    StandIn answering(L"Pellumar.exe", StandIn::kWindow);  // the settings window: answers the message
    StandIn busy(L"PELLUMAR.EXE", StandIn::kDeaf);         // busy with a request: terminated
    StandIn other(L"Pellumar.exe2", StandIn::kDeaf);       // another program: left alone
    ASSERT_TRUE(answering.IsStarted() && busy.IsStarted() && other.IsStarted());
    ASSERT_NE(FindWindowW(nullptr, kProductTitle), nullptr);

    Library library;
    const Action close = library.Get("CloseConsoleAction");
    ASSERT_NE(close, nullptr);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(close(0), 0u);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(kCloseMessageWaitMs - 100));  // the message gets its time

    ASSERT_TRUE(answering.WaitForEnd(5000));
    EXPECT_EQ(answering.ExitCode(), 0u);  // ended by the message, not terminated
    ASSERT_TRUE(busy.WaitForEnd(5000));
    EXPECT_EQ(busy.ExitCode(), 0xFFFFFFFFu);
    EXPECT_FALSE(other.WaitForEnd(200));
}

TEST(InstallerLibrary, TheCloseMessageGoesToNoMissingWindowAndNowhereWhenUnregistered)
{
    // No stand-in runs: FindWindowW finds nothing, and a post to a NULL window would land in this thread's
    // own queue.
    const UINT message = RegisterWindowMessageW(kCloseAppMessageName);
    ASSERT_NE(message, 0u);
    if (FindWindowW(nullptr, kProductTitle))
        GTEST_SKIP() << "a window titled like the program runs beside the test";
    while (HasQueuedMessage(message)) {
    }
    PostCloseMessage();
    EXPECT_FALSE(HasQueuedMessage(message));

    // A message that cannot be registered is posted nowhere, and not waited for.
    ImportPatch<decltype(::RegisterWindowMessageW)> registerFails("RegisterWindowMessageW", &FakeRegisterFails);
    ImportPatch<decltype(::PostMessageW)> post("PostMessageW", &FakePostMessageW);
    ImportPatch<decltype(::Sleep)> sleep("Sleep", &FakeSleep);
    ASSERT_TRUE(registerFails.IsActive() && post.IsActive() && sleep.IsActive());
    g_postedTo.clear();
    g_sleeps.clear();
    PostCloseMessage();
    EXPECT_TRUE(g_postedTo.empty());
    EXPECT_TRUE(g_sleeps.empty());
}

TEST(InstallerLibrary, BothProcessWalksEndMatchingProgramsButNeverTheInstallersOwnProcess)
{
    for (bool snapshot : {true, false}) {
        SCOPED_TRACE(snapshot ? "snapshot walk" : "process-list walk");
        StandIn first(L"Pellumar.exe", StandIn::kDeaf);
        StandIn second(L"PELLUMAR.EXE", StandIn::kDeaf);
        StandIn other(L"Pellumar.exe2", StandIn::kDeaf);
        ASSERT_TRUE(first.IsStarted() && second.IsStarted() && other.IsStarted());

        // The fallback runs when no snapshot can be had (Wine always gives one), and its process list is
        // made longer than its first buffer of 2048 bytes by ids that no process has (which are skipped).
        std::unique_ptr<ImportPatch<decltype(::CreateToolhelp32Snapshot)>> noSnapshot;
        std::unique_ptr<ImportPatch<decltype(::K32EnumProcesses)>> longList;
        g_enumAsked.clear();
        if (!snapshot) {
            noSnapshot = std::make_unique<ImportPatch<decltype(::CreateToolhelp32Snapshot)>>(
                "CreateToolhelp32Snapshot", &FakeNoSnapshot);
            longList = std::make_unique<ImportPatch<decltype(::K32EnumProcesses)>>("K32EnumProcesses",
                                                                                  &FakeEnumProcesses);
            g_enumProcesses = longList.get();
            g_listedIds.clear();
            g_systemIdsToo = true;
            g_paddingIds = 1500;
            g_enumFails = false;
            ASSERT_TRUE(noSnapshot->IsActive() && longList->IsActive());
        }
        TerminateProcessesByName({L"pellumar.exe", ExeName()});  // this test program is on the list too
        ASSERT_TRUE(first.WaitForEnd(5000));
        ASSERT_TRUE(second.WaitForEnd(5000));
        EXPECT_EQ(first.ExitCode(), 0xFFFFFFFFu);
        EXPECT_EQ(second.ExitCode(), 0xFFFFFFFFu);
        EXPECT_FALSE(other.WaitForEnd(100));
        if (!snapshot) {
            EXPECT_EQ(g_enumAsked, (std::vector<DWORD>{2048, 4096, 8192}));
        }
    }
}

TEST(InstallerLibrary, AProcessWhoseIdWasReusedIsNotTerminated)
{
    // A snapshot entry names "Pellumar.exe", but by the time it is opened, the id belongs to another
    // program. Wine cannot reuse an id on demand: the snapshot is the fake's, the processes are real.
    StandIn stranger(L"Stranger.exe", StandIn::kDeaf);
    StandIn real(L"Pellumar.exe", StandIn::kDeaf);
    ASSERT_TRUE(stranger.IsStarted() && real.IsStarted());
    ImportPatch<decltype(::Process32FirstW)> first("Process32FirstW", &FakeProcess32FirstW);
    ImportPatch<decltype(::Process32NextW)> next("Process32NextW", &FakeProcess32NextW);
    ASSERT_TRUE(first.IsActive() && next.IsActive());
    g_snapshotEntries = {{stranger.ProcessId(), L"Pellumar.exe"},
                         {0x7FF00000u, L"Pellumar.exe"},  // gone already: cannot be opened
                         {GetCurrentProcessId(), L"Pellumar.exe"},
                         {real.ProcessId(), L"Pellumar.exe"}};
    TerminateProcessesByName({L"Pellumar.exe"});
    EXPECT_EQ(g_snapshotNext, g_snapshotEntries.size());
    ASSERT_TRUE(real.WaitForEnd(5000));
    EXPECT_EQ(real.ExitCode(), 0xFFFFFFFFu);
    EXPECT_FALSE(stranger.WaitForEnd(100));
}

TEST(InstallerLibrary, TheShellIsTheOldestProcessNamedExactlyExplorerExe)
{
    // The real list first: whatever is found is an explorer.exe of the snapshot, or nothing.
    const RM_UNIQUE_PROCESS real = FindShellProcess();
    if (real.dwProcessId != 0) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        std::wstring name;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (entry.th32ProcessID == real.dwProcessId)
                name = entry.szExeFile;
        }
        CloseHandle(snapshot);
        EXPECT_EQ(name, L"explorer.exe");
    }

    // Then chosen processes: the list is narrowed to them (behind ids of no process, so that it is longer
    // than the first buffer of 2048 ids). They are started one after the other, oldest first.
    StandIn wrongCase(L"Explorer.exe", StandIn::kDeaf);
    StandIn older(L"explorer.exe", StandIn::kDeaf);
    Sleep(50);
    StandIn newer(L"explorer.exe", StandIn::kDeaf);
    ASSERT_TRUE(wrongCase.IsStarted() && older.IsStarted() && newer.IsStarted());
    ASSERT_LT(AsNumber(CreationTime(older.ProcessId())), AsNumber(CreationTime(newer.ProcessId())));

    ImportPatch<decltype(::K32EnumProcesses)> list("K32EnumProcesses", &FakeEnumProcesses);
    g_enumProcesses = &list;
    ASSERT_TRUE(list.IsActive());
    g_systemIdsToo = false;
    g_paddingIds = 3000;
    g_enumFails = false;
    struct Case { const char* what; std::vector<DWORD> ids; DWORD expected; };
    const Case cases[] = {
        {"the oldest wins wherever it is listed", {newer.ProcessId(), wrongCase.ProcessId(), older.ProcessId()},
         older.ProcessId()},
        {"a name that differs in case is no shell", {wrongCase.ProcessId()}, 0},
        {"no explorer.exe at all", {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_listedIds = c.ids;
        const RM_UNIQUE_PROCESS shell = FindShellProcess();
        EXPECT_EQ(shell.dwProcessId, c.expected);
        const FILETIME expectedTime = c.expected ? CreationTime(c.expected) : FILETIME{0xFFFFFFFF, 0xFFFFFFFF};
        EXPECT_EQ(AsNumber(shell.ProcessStartTime), AsNumber(expectedTime));
    }
    g_enumFails = true;
    EXPECT_EQ(FindShellProcess().dwProcessId, 0u);
    g_enumFails = false;
}

TEST(InstallerLibrary, EachInstallActionRunsOneFreshRestartManagerSession)
{
    Library library;
    FakeRestartManager rm(library.Module());
    ASSERT_TRUE(rm.IsActive());
    const Action install = library.Get("InstallAction");
    const RM_UNIQUE_PROCESS shell = FindShellProcess();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        g_rm = RmLog();
        EXPECT_EQ(install(0), 0u);
        EXPECT_EQ(g_rm.calls,
                  (std::vector<std::string>{"start", "register", "getlist", "shutdown", "restart", "end"}));
        // Every action starts from the reset state and works on the session it started.
        EXPECT_EQ(g_rm.startHandleBefore, kNoRmSession);
        EXPECT_EQ(g_rm.startKeyBefore, L"");
        EXPECT_EQ(g_rm.sessions, std::vector<DWORD>(5, g_rmNextSession - 1));
        ASSERT_EQ(g_rm.registered.size(), 1u);
        EXPECT_EQ(g_rm.registered[0].dwProcessId, shell.dwProcessId);
        EXPECT_EQ(AsNumber(g_rm.registered[0].ProcessStartTime), AsNumber(shell.ProcessStartTime));
        EXPECT_EQ(g_rm.shutdownFlags, static_cast<DWORD>(RmForceShutdown));
    }
}

TEST(InstallerLibrary, ExplorerIsShutDownOnlyWhenNoRebootIsNeededAndFailuresArePrinted)
{
    Library library;
    FakeRestartManager rm(library.Module());
    ASSERT_TRUE(rm.IsActive());
    const Action install = library.Get("InstallAction");

    struct Case {
        const char* what;
        DWORD startResult;
        DWORD reasons;
        bool reasonsUnwritten;
        DWORD restartResult;
        std::vector<std::string> calls;
        DWORD restartSession;  // 0: the started one
        std::string printed;
    };
    const std::vector<std::string> noShutdown = {"start", "register", "getlist", "restart", "end"};
    const Case cases[] = {
        {"a reboot reason prevents the shutdown", ERROR_SUCCESS, RmRebootReasonSessionMismatch, false,
         ERROR_SUCCESS, noShutdown, 0, ""},
        {"a reason left unwritten (Wine's stub) is no leave to shut down", ERROR_SUCCESS, 0, true, ERROR_SUCCESS,
         noShutdown, 0, ""},
        {"a failed restart is printed", ERROR_SUCCESS, RmRebootReasonNone, false, ERROR_ACCESS_DENIED,
         {"start", "register", "getlist", "shutdown", "restart", "end"}, 0, "\n RmRestart error: 5\n\n"},
        {"no session: nothing registered; the restart fails on no session", ERROR_SEM_TIMEOUT, 0, false,
         ERROR_SUCCESS, {"start", "restart", "end"}, kNoRmSession, "\n RmRestart error: 6\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_rm = RmLog();
        g_rmStartResult = c.startResult;
        g_rmRebootReasons = c.reasons;
        g_rmLeavesReasonsUnwritten = c.reasonsUnwritten;
        g_rmRestartResult = c.restartResult;
        CapturedOutput output;
        EXPECT_EQ(install(0), 0u);
        EXPECT_EQ(output.Take(), c.printed);
        EXPECT_EQ(g_rm.calls, c.calls);
        EXPECT_EQ(g_rm.startHandleBefore, kNoRmSession);
        ASSERT_GE(g_rm.sessions.size(), 2u);
        const DWORD restartSession = g_rm.sessions[g_rm.sessions.size() - 2];
        EXPECT_EQ(restartSession, c.restartSession ? c.restartSession : g_rmNextSession - 1);
    }
    // The next action starts from the reset state again.
    g_rm = RmLog();
    g_rmStartResult = ERROR_SUCCESS;
    EXPECT_EQ(install(0), 0u);
    EXPECT_EQ(g_rm.startHandleBefore, kNoRmSession);
    EXPECT_EQ(g_rm.startKeyBefore, L"");
}

TEST(InstallerLibrary, TheUninstallActionRestartsExplorerAndShowsTheSurveyToUsersOnly)
{
    Library library;
    FakeRestartManager rm(library.Module());
    ImportPatch<decltype(::ShellExecuteW)> shell("ShellExecuteW", &FakeShellExecuteW, nullptr, library.Module());
    ASSERT_TRUE(rm.IsActive() && shell.IsActive());
    const Action uninstall = library.Get("UnInstallAction");

    g_shellCalls.clear();
    EXPECT_EQ(uninstall(0), 0u);
    EXPECT_EQ(g_rm.calls, (std::vector<std::string>{"start", "register", "getlist", "shutdown", "restart", "end"}));
    ASSERT_EQ(g_shellCalls.size(), 1u);
    const ShellCall& call = g_shellCalls[0];
    EXPECT_EQ(call.owner, nullptr);
    EXPECT_EQ(call.verb, L"open");
    EXPECT_EQ(call.file, std::wstring(L"https://") + kMakersHost + L"/a-little-survey/");
    EXPECT_FALSE(call.parameters || call.directory);
    EXPECT_EQ(call.show, SW_SHOWNORMAL);

    // Run as LocalSystem (a deferred action without impersonation): no browser for the system account.
    ImportPatch<decltype(::GetTokenInformation)> token("GetTokenInformation", &FakeTokenOfLocalSystem, nullptr,
                                                       library.Module());
    g_tokenInformation = &token;
    ASSERT_TRUE(token.IsActive());
    g_shellCalls.clear();
    g_rm = RmLog();
    EXPECT_EQ(uninstall(0), 0u);
    EXPECT_EQ(g_rm.calls.size(), 6u);
    EXPECT_TRUE(g_shellCalls.empty());
}

namespace {

constexpr wchar_t kDotNetKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";

std::wstring PackageProperty(MSIHANDLE package, const wchar_t* name)
{
    wchar_t value[64] = {};
    DWORD size = 64;
    if (MsiGetPropertyW(package, name, value, &size) != ERROR_SUCCESS)
        return L"<error>";
    return value;
}

}  // namespace

TEST(InstallerLibrary, TheDotNetCheckSetsThePropertyOfARealPackageWhenTheKeyOpens)
{
    HKEY key = nullptr;
    const bool hadKey = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDotNetKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (hadKey)
        RegCloseKey(key);
    Library library;
    const Action check = library.Get("DotNetInstalledCheckAction");
    ASSERT_NE(check, nullptr);
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);

    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "key present (and empty)" : "no key");
        MSIHANDLE package = 0;
        ASSERT_EQ(MsiOpenPackageW((TestBinaryFolder() + L"\\PellumarPeer.msi").c_str(), &package), ERROR_SUCCESS);
        // Wine's package set-up may make the key itself: the state to test is made after the package is open.
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDotNetKey);
        if (present) {
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDotNetKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                      nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(key);
        }
        EXPECT_EQ(PackageProperty(package, L"NETFRAMEWORKPRESENT"), L"");
        EXPECT_EQ(check(package), 0u);
        EXPECT_EQ(PackageProperty(package, L"NETFRAMEWORKPRESENT"), present ? L"1" : L"");
        MsiCloseHandle(package);
    }
    if (!hadKey)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDotNetKey);
}
