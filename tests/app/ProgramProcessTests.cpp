// Real processes: the real Pellumar.exe in settings-window mode, a second start that hands over to it, and
// the installer library's close path ending it by the close message. Every process the test starts lies in
// a job that ends them all when the test ends, whatever happens; the settings the program reads are set
// for the test and put back as they were.
#include <windows.h>

#include <gtest/gtest.h>
#include <msi.h>

#include <string>
#include <vector>

#include "ImportPatch.h"
#include "TestText.h"
#include "app/Settings.h"
#include "app/res/resource.h"
#include "libcommon/ProductNames.h"

namespace {

const std::wstring kProgram = WinePath(PELLUMAR_EXE);
const std::wstring kInstallLibrary = WinePath(PELLUMAR_INSTALL_DLL);
constexpr DWORD kNotEnded = 0xFFFFFFF0;

// Ends every process put in it when the last handle closes (the test's end, even by a crash).
HANDLE TestJob()
{
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created)
            SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return created;
    }();
    return job;
}

// One started Pellumar.exe; terminated on destruction if it is still running.
struct Program {
    PROCESS_INFORMATION m_process{};

    explicit Program(const wchar_t* arguments)
    {
        std::wstring commandLine = L"\"" + kProgram + L"\"";
        if (*arguments)
            commandLine += std::wstring(L" ") + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(kProgram.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                            nullptr, &startup, &m_process)) {
            ADD_FAILURE() << "cannot start the program: " << GetLastError();
            return;
        }
        if (TestJob())
            AssignProcessToJobObject(TestJob(), m_process.hProcess);
        ResumeThread(m_process.hThread);
    }
    ~Program()
    {
        if (!m_process.hProcess)
            return;
        if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.hProcess, 99);
            WaitForSingleObject(m_process.hProcess, 5000);
        }
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
    }
    // The exit code, or kNotEnded when the process did not end within ms.
    DWORD Wait(DWORD ms) const
    {
        DWORD code = kNotEnded;
        if (m_process.hProcess && WaitForSingleObject(m_process.hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }
    // Waits until the program first waits for input. Its window's modal loop shows the window once, when
    // its queue first runs empty, before it waits for a message: once this returns, that show is behind
    // it (a hide before it would be undone, however long the program took to get there).
    bool WaitForIdle(DWORD ms = 20000) const
    {
        return m_process.hProcess && WaitForInputIdle(m_process.hProcess, ms) == 0;
    }
};

// Every top-level window bearing the product title, hidden ones included.
std::vector<HWND> TitledWindows()
{
    std::vector<HWND> found;
    EnumWindows([](HWND window, LPARAM context) -> BOOL {
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        if (wcscmp(title, kProductTitle) == 0)
            reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&found));
    return found;
}

// The settings window of one process, found by its title as the second start and the installer find it.
HWND WaitForSettingsWindow(const Program& program, DWORD ms = 20000)
{
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < ms) {
        HWND window = FindWindowW(nullptr, kProductTitle);
        DWORD owner = 0;
        if (window)
            GetWindowThreadProcessId(window, &owner);
        if (window && owner == program.m_process.dwProcessId)
            return window;
        Sleep(20);
    }
    return nullptr;
}

bool WaitForVisible(HWND window, bool visible, DWORD ms)
{
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < ms) {
        if ((IsWindowVisible(window) != FALSE) == visible)
            return true;
        Sleep(20);
    }
    return (IsWindowVisible(window) != FALSE) == visible;
}

// The settings the program reads: notification off for the test (no silent update check against the
// makers' host), the values there before put back afterwards.
class SettingsForTest {
public:
    SettingsForTest()
    {
        HKEY key = nullptr;
        m_keyExisted = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (m_keyExisted) {
            DWORD size = sizeof(m_notify);
            m_hadNotify = RegQueryValueExW(key, L"VersionNotify", nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&m_notify), &size) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
        const DWORD off = 0;
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKeyPath, L"VersionNotify", REG_DWORD, &off, sizeof(off));
    }
    ~SettingsForTest()
    {
        if (!m_keyExisted) {
            RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKeyPath);
            RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKeyPath);
        } else if (m_hadNotify) {
            RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKeyPath, L"VersionNotify", REG_DWORD, &m_notify,
                            sizeof(m_notify));
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKeyPath, L"VersionNotify");
        }
    }

private:
    bool m_keyExisted = false;
    bool m_hadNotify = false;
    DWORD m_notify = 0;
};

class ProgramProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TitledWindows().empty()) << "a window of the product's title is already open"; }
    SettingsForTest m_settings;
};

// The exit code the settings window's Exit command gives the process.
DWORD ExitCodeOfExitCommand()
{
    Program program(L"");
    HWND window = WaitForSettingsWindow(program);
    if (!window)
        return kNotEnded;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(ID_TRAY_EXIT, 0), 0);
    return program.Wait(10000);
}

TEST_F(ProgramProcessTest, NoArgumentsShowsTheSettingsWindowAndMinimizedKeepsItHidden)
{
    struct Case {
        const wchar_t* m_arguments;
        bool m_visible;
    } const cases[] = {{L"", true}, {L"-minimized", false}, {L"-MINIMIZED", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "arguments \"" << std::string(c.m_arguments, c.m_arguments + wcslen(c.m_arguments)) << "\"");
        Program program(c.m_arguments);
        HWND window = WaitForSettingsWindow(program);
        ASSERT_NE(window, nullptr);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        EXPECT_STREQ(className, L"#32770");
        if (c.m_visible) {
            EXPECT_TRUE(WaitForVisible(window, true, 5000));
        } else {
            // After the modal loop's own show the window must still be hidden.
            ASSERT_TRUE(program.WaitForIdle());
            EXPECT_FALSE(IsWindowVisible(window));
        }
        EXPECT_EQ(program.Wait(0), kNotEnded) << "the settings window ended by itself";
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(ID_TRAY_EXIT, 0), 0);
        EXPECT_NE(program.Wait(10000), kNotEnded) << "Exit did not end the program";
    }
}

TEST_F(ProgramProcessTest, SecondStartHandsOverToTheRunningWindowAndEnds)
{
    struct Case {
        const wchar_t* m_first;
        const wchar_t* m_second;
    } const cases[] = {{L"", L""}, {L"", L"-minimized"}, {L"-minimized", L""}, {L"-minimized", L"-minimized"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "first \"" << (*c.m_first ? "-minimized" : "") << "\", second \""
                                        << (*c.m_second ? "-minimized" : "") << "\"");
        Program first(c.m_first);
        HWND window = WaitForSettingsWindow(first);
        ASSERT_NE(window, nullptr);
        // A shown window is first sent to the tray by its close box, so that the hand-over must show it.
        // The modal loop shows the window once more when its queue first runs empty; a close before that
        // would be undone by it, and a hand-over before it would not be what shows the window.
        ASSERT_TRUE(first.WaitForIdle());
        if (!*c.m_first) {
            ASSERT_TRUE(WaitForVisible(window, true, 5000));
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        ASSERT_TRUE(WaitForVisible(window, false, 5000));

        Program second(c.m_second);
        const ULONGLONG start = GetTickCount64();
        EXPECT_NE(second.Wait(10000), kNotEnded) << "the second start did not end";
        EXPECT_LT(GetTickCount64() - start, 10000u);
        EXPECT_TRUE(WaitForVisible(window, true, 5000)) << "the running window was not shown";
        EXPECT_EQ(TitledWindows().size(), 1u);
        EXPECT_EQ(first.Wait(0), kNotEnded) << "the first program ended";

        PostMessageW(window, WM_COMMAND, MAKEWPARAM(ID_TRAY_EXIT, 0), 0);
        EXPECT_NE(first.Wait(10000), kNotEnded);
    }
}

// The close action posts its message, sleeps a fixed while and then terminates whatever program is left:
// a loaded machine may take longer than that to end the program by the message, which would then be
// terminated. The action's sleep (a seam of the library's own imports) lasts instead until the program
// has ended, half a minute at most, so that a termination can only meet a program the message did not end.
HANDLE g_endingProgram = nullptr;
ImportPatch<decltype(::Sleep)>* g_actionSleep = nullptr;
VOID WINAPI SleepUntilTheProgramHasEnded(DWORD ms)
{
    if (g_endingProgram)
        WaitForSingleObject(g_endingProgram, 30000);
    else
        g_actionSleep->Original()(ms);
}

TEST_F(ProgramProcessTest, InstallerCloseActionEndsTheSettingsWindowByItsMessage)
{
    const DWORD exitCode = ExitCodeOfExitCommand();
    ASSERT_NE(exitCode, kNotEnded) << "Exit did not end the program";
    ASSERT_NE(exitCode, 0xFFFFFFFFu) << "the code a termination gives";

    HMODULE library = LoadLibraryW(kInstallLibrary.c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    using Action = UINT(WINAPI*)(MSIHANDLE);
    const auto close = reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(library, "CloseConsoleAction")));
    ASSERT_NE(close, nullptr);

    {
        ImportPatch<decltype(::Sleep)> sleep("Sleep", &SleepUntilTheProgramHasEnded, "KERNEL32.dll", library);
        ASSERT_TRUE(sleep.IsActive());
        g_actionSleep = &sleep;
        for (const wchar_t* arguments : {L"", L"-minimized"}) {
            SCOPED_TRACE(testing::Message() << "arguments \"" << (*arguments ? "-minimized" : "") << "\"");
            Program program(arguments);
            ASSERT_NE(WaitForSettingsWindow(program), nullptr);
            g_endingProgram = program.m_process.hProcess;
            EXPECT_EQ(close(0), 0u);
            g_endingProgram = nullptr;
            // The action terminates only after its wait: by then the program has ended itself.
            EXPECT_EQ(program.Wait(5000), exitCode) << "ended by termination, not by the close message";
            EXPECT_TRUE(TitledWindows().empty());
        }
        g_actionSleep = nullptr;
    }
    FreeLibrary(library);
}

}  // namespace
