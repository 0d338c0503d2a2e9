// The installer library in a real installation: a package built with wixl (PeerPackage.wxs.in) installed
// and removed by Wine's msiexec, whose custom actions check for .NET 2.0, close a running stand-in of the
// program, restart Explorer and open the survey page. Wine's browser setting points at a script that
// records the address instead of starting the host's browser.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StandIn.h"
#include "TempDir.h"
#include "libcommon/ProductNames.h"

namespace {

constexpr wchar_t kDotNetKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
constexpr wchar_t kPeerKey[] = L"Software\\Corvane\\PellumarPeerTest";
constexpr wchar_t kBrowserKey[] = L"Software\\Wine\\WineBrowser";
constexpr DWORD kMsiexecLimitMs = 90000;

// Runs msiexec with the arguments; its exit code, or a code of our own when it could not be run or timed out.
DWORD RunMsiexec(const std::wstring& arguments)
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\msiexec.exe";
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return 0xC0DE0001;
    CloseHandle(info.hThread);
    DWORD code = 0xC0DE0002;
    if (WaitForSingleObject(info.hProcess, kMsiexecLimitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &code);
    else
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return code;
}

// A string value of HKCU, or "<none>".
std::wstring UserValue(const wchar_t* key, const wchar_t* name)
{
    wchar_t value[512] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<none>";
    return value;
}

std::wstring ProgramFilesFolder()
{
    wchar_t folder[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramW6432", folder, MAX_PATH);
    if (folder[0] == L'\0')
        GetEnvironmentVariableW(L"ProgramFiles", folder, MAX_PATH);
    return folder;
}

// Points Wine's browser at the recording script for the lifetime of the object, then restores the setting.
class RecordingBrowser {
public:
    RecordingBrowser()
    {
        m_hadSetting = UserValue(kBrowserKey, L"Browsers");
        const std::wstring script = PELLUMAR_TEST_UNIX_DIR L"/record-url.sh";
        RegSetKeyValueW(HKEY_CURRENT_USER, kBrowserKey, L"Browsers", REG_SZ, script.c_str(),
                        static_cast<DWORD>((script.size() + 1) * sizeof(wchar_t)));
        m_record = TestBinaryFolder() + L"\\survey-urls.txt";
        DeleteFileW(m_record.c_str());
    }
    ~RecordingBrowser()
    {
        if (m_hadSetting == L"<none>") {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kBrowserKey, L"Browsers");
        } else {
            RegSetKeyValueW(HKEY_CURRENT_USER, kBrowserKey, L"Browsers", REG_SZ, m_hadSetting.c_str(),
                            static_cast<DWORD>((m_hadSetting.size() + 1) * sizeof(wchar_t)));
        }
        DeleteFileW(m_record.c_str());
    }
    // The addresses recorded so far, waiting up to ms for the first (the browser starts asynchronously).
    std::string Recorded(DWORD ms) const
    {
        for (DWORD waited = 0;; waited += 100) {
            const std::vector<uint8_t> bytes = TempDir::ReadFile(m_record);
            if (!bytes.empty() || waited >= ms)
                return std::string(bytes.begin(), bytes.end());
            Sleep(100);
        }
    }

private:
    std::wstring m_hadSetting;
    std::wstring m_record;
};

}  // namespace

TEST(InstallerPeer, WinesMsiexecRunsTheActionsOnInstallAndRemoval)
{
    HKEY existing = nullptr;
    const bool hadDotNet = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDotNetKey, 0, KEY_READ, &existing) == ERROR_SUCCESS;
    if (hadDotNet)
        RegCloseKey(existing);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDotNetKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    RecordingBrowser browser;
    const std::wstring package = L"\"" + TestBinaryFolder() + L"\\PellumarPeer.msi\"";
    const std::wstring installed = ProgramFilesFolder() + L"\\PellumarPeerTest\\readme.txt";

    // Install while a stand-in of the program runs: the close action ends it by the message.
    {
        StandIn running(L"Pellumar.exe", StandIn::kWindow);
        ASSERT_TRUE(running.IsStarted());
        EXPECT_EQ(RunMsiexec(L"/i " + package + L" /qn"), 0u);
        EXPECT_TRUE(running.WaitForEnd(1000));
        EXPECT_EQ(running.ExitCode(), 0u);
    }
    EXPECT_TRUE(TempDir::FileExists(installed));
    EXPECT_EQ(UserValue(kPeerKey, L"NetFx"), L"1");  // the property as the .NET check left it
    EXPECT_EQ(browser.Recorded(0), "");              // installing opens no page

    // Remove: the removal action opens the survey page.
    {
        StandIn busy(L"Pellumar.exe", StandIn::kDeaf);
        ASSERT_TRUE(busy.IsStarted());
        EXPECT_EQ(RunMsiexec(L"/x " + package + L" /qn"), 0u);
        EXPECT_TRUE(busy.WaitForEnd(1000));
        EXPECT_EQ(busy.ExitCode(), 0xFFFFFFFFu);  // it did not answer and was terminated
    }
    EXPECT_FALSE(TempDir::FileExists(installed));
    EXPECT_EQ(UserValue(kPeerKey, L"NetFx"), L"<none>");
    const std::wstring survey = std::wstring(L"https://") + kMakersHost + L"/a-little-survey/";
    const std::string recorded = browser.Recorded(60000);
    EXPECT_NE(recorded.find(std::string(survey.begin(), survey.end())), std::string::npos) << recorded;

    if (!hadDotNet)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDotNetKey);
}
