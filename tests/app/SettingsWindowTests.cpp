// The tray settings window for real under Xvfb: the tray record, the menus, the method list against
// the stored values, what is saved when, hiding without ending, the show and close requests from another
// thread, the about box, and the update check as the window runs it against a loopback HTTP server.
//
// Faked here, because it must not really happen in a test: ShellExecuteW (Wine would start the host's
// browser), TrackPopupMenu (a real menu would wait for a click) and port 80 (the
// feed is served from a port of the test's own). Shell_NotifyIconW is only watched: it goes on to the real
// tray, and ShellExecuteExW is watched too: the downloaded installers are real and really signed (the
// build signs them, with the key this test build pins and with another key under the makers' name), and
// the one the window accepts, a stand-in, is started for real.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DialogTestUtil.h"
#include "ImportPatch.h"
#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "UpdateTestUtil.h"
#include "app/CorvaneAboutDlg.h"
#include "app/PellumarDlg.h"
#include "app/RegisteredMessages.h"
#include "app/Settings.h"
#include "app/SettingsWindowMode.h"
#include "app/UpdateFile.h"
#include "app/VersionUpdaterDlg.h"
#include "app/res/resource.h"
#include "libcommon/ProductNames.h"

using namespace updtest;

namespace {

CWinApp g_app;   // the application whose main window the settings window becomes

// ---- the fakes and the watch ---------------------------------------------------------------------------

struct ShellCall {
    std::wstring verb, file;
    int show;
};
struct TrayCall {
    DWORD message;
    NOTIFYICONDATAW record;
};
struct MenuCall {
    HMENU menu;
    UINT flags;
    HWND owner;
};
std::mutex g_lock;
std::vector<ShellCall> g_shell;
std::vector<TrayCall> g_tray;
std::vector<MenuCall> g_menus;

HINSTANCE WINAPI FakeShellExecute(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT show)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_shell.push_back({ verb ? verb : L"(null)", file ? file : L"", show });
    return reinterpret_cast<HINSTANCE>(42);
}

ImportPatch<decltype(::ShellExecuteExW)>* g_shellEx = nullptr;
BOOL WINAPI WatchShellExecuteEx(SHELLEXECUTEINFOW* info)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_shell.push_back({ info->lpVerb ? info->lpVerb : L"(null)", info->lpFile ? info->lpFile : L"", info->nShow });
    }
    return g_shellEx->Original()(info);
}

ImportPatch<decltype(::Shell_NotifyIconW)>* g_notify = nullptr;
BOOL WINAPI WatchNotifyIcon(DWORD message, PNOTIFYICONDATAW data)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_tray.push_back({ message, *data });
    }
    return g_notify->Original()(message, data);
}

BOOL WINAPI FakeTrackPopupMenu(HMENU menu, UINT flags, int, int, int, HWND owner, const RECT*)
{
    g_menus.push_back({ menu, flags, owner });
    return TRUE;
}

// ---- registry: HKEY_CURRENT_USER of this process is a private key of the prefix's real registry -------

struct PrivateCurrentUser {
    HKEY root = nullptr;
    std::wstring path;
    PrivateCurrentUser()
    {
        path = L"Software\\PellumarTests\\SettingsWindow-" + std::to_wstring(::GetCurrentProcessId());
        ::RegCreateKeyExW(HKEY_USERS, L".DEFAULT", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &users, nullptr);
        ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr);
        ::RegOverridePredefKey(HKEY_CURRENT_USER, root);
    }
    ~PrivateCurrentUser()
    {
        ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        ::RegCloseKey(root);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
        if (users)
            ::RegCloseKey(users);
    }
    HKEY users = nullptr;
};

void StoreSettings(int versionNotify, int deleteMethod)
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKeyPath);
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (auto [name, value] : { std::pair<const wchar_t*, int>{ L"VersionNotify", versionNotify },
                                std::pair<const wchar_t*, int>{ L"DeleteMethod", deleteMethod } }) {
        if (value < 0)
            continue;
        DWORD v = static_cast<DWORD>(value);
        ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof(v));
    }
    ::RegCloseKey(key);
}

// The stored value, -1 when there is none.
int Stored(const wchar_t* name)
{
    DWORD value = 0, size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kSettingsKeyPath, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(value);
}

// ---- the window under test ---------------------------------------------------------------------------

class SettingsUnderTest : public CPellumarDlg {
public:
    using CPellumarDlg::CPellumarDlg;
    HWND Item(int id) const { return ::GetDlgItem(m_hWnd, id); }
    CBanner& Banner() { return m_banner; }
    HMENU TrayPopup() { return ::GetSubMenu(m_trayMenu.m_hMenu, 0); }
    HMENU HelpPopup() { return ::GetSubMenu(m_helpMenu.m_hMenu, 0); }
    void Command(UINT id) { ::SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    void Tray(UINT mouseMessage) { ::SendMessageW(m_hWnd, g_uMsgTrayNotify, kTrayIconId, mouseMessage); }
};

constexpr UINT kMethodNameIds[] = { 121, 120, 119, 118, 117, 116, 115, 114, 113, 112, 111, 109 };

std::vector<std::wstring> MenuItems(HMENU menu)
{
    std::vector<std::wstring> items;
    for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
        UINT id = ::GetMenuItemID(menu, i);
        wchar_t text[64] = {};
        ::GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
        items.push_back(id == 0 ? L"-" : std::to_wstring(id) + L" " + text);
    }
    return items;
}

std::wstring WindowText(HWND wnd)
{
    wchar_t text[256] = {};
    ::GetWindowTextW(wnd, text, 256);
    return text;
}

// The visible top-level windows of this thread titled title, other than exclude.
HWND FindOtherWindow(const wchar_t* title, HWND exclude)
{
    struct Search {
        const wchar_t* title;
        HWND exclude, found;
    } search{ title, exclude, nullptr };
    ::EnumThreadWindows(::GetCurrentThreadId(), [](HWND wnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (wnd != s->exclude && ::IsWindowVisible(wnd) && WindowText(wnd) == s->title) {
            s->found = wnd;
            return FALSE;
        }
        return TRUE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Ends the window and whatever it has open (a step that never came).
void GiveUp(CPellumarDlg& dlg)
{
    if (CVersionUpdaterDlg* offer = dlg.GetUpdateDialog())
        offer->EndDialog(IDCANCEL);
    for (const ThreadMessageBox& box : FindThreadMessageBoxes(dlg.m_hWnd))
        PressMessageBoxButton(box.hWnd, IDOK);
    dlg.EndDialog(-7);
}

struct SettingsWindowTest : ::testing::Test {
    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES };
        ::InitCommonControlsEx(&icc);
        ASSERT_TRUE(shell.IsActive());
        ASSERT_TRUE(menus.IsActive());
        ASSERT_TRUE(notify.IsActive());
        ASSERT_TRUE(shellEx.IsActive());
        g_notify = &notify;
        g_shellEx = &shellEx;
        std::lock_guard<std::mutex> hold(g_lock);
        g_shell.clear();
        g_tray.clear();
        g_menus.clear();
    }
    void TearDown() override { CancelScheduledActions(); }

    // Runs the window with the script; the script's give-up ends the window. The result of DoModal.
    INT_PTR Run(CPellumarDlg& dlg, StepScript& script)
    {
        script.Start([&dlg] { GiveUp(dlg); });
        g_app.m_pMainWnd = &dlg;
        INT_PTR result = dlg.DoModal();
        EXPECT_EQ(script.Failed(), "");
        EXPECT_TRUE(script.Finished()) << "the window ended before its script did";
        return result;
    }
    std::vector<ShellCall> Shell()
    {
        std::lock_guard<std::mutex> hold(g_lock);
        return g_shell;
    }
    std::vector<TrayCall> TrayCalls()
    {
        std::lock_guard<std::mutex> hold(g_lock);
        return g_tray;
    }

    PrivateCurrentUser currentUser;
    LoopbackHttpServer server;
    RedirectPort80 redirect{ server.Port() };
    ImportPatch<decltype(::ShellExecuteW)> shell{ "ShellExecuteW", &FakeShellExecute };
    ImportPatch<decltype(::TrackPopupMenu)> menus{ "TrackPopupMenu", &FakeTrackPopupMenu };
    ImportPatch<decltype(::Shell_NotifyIconW)> notify{ "Shell_NotifyIconW", &WatchNotifyIcon };
    ImportPatch<decltype(::ShellExecuteExW)> shellEx{ "ShellExecuteExW", &WatchShellExecuteEx };
};

bool Visible(HWND wnd)
{
    return ::IsWindowVisible(wnd) != FALSE;
}

}

TEST_F(SettingsWindowTest, ShownStartShowsTheStoredSettingsTheTrayIconAndTheMenus)
{
    struct Case {
        int versionNotify, deleteMethod;   // -1: not stored
        int selection;
        bool checked;
    };
    const Case cases[] = { { 0, 0, 0, false }, { 0, 5, 5, false }, { 0, 11, 11, false }, { 0, 12, -1, false },
                           { -1, -1, 0, true } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.versionNotify << " " << c.deleteMethod);
        StoreSettings(c.versionNotify, c.deleteMethod);
        SettingsUnderTest dlg(FALSE);
        StepScript script;
        script.Step("shown", [&] { return dlg.m_hWnd && Visible(dlg.m_hWnd); }, [&] {
            EXPECT_EQ(WindowText(dlg.m_hWnd), L"Corvane Pellumar");
            HWND combo = dlg.Item(IDC_METHOD);
            ASSERT_EQ(::SendMessageW(combo, CB_GETCOUNT, 0, 0), 12);
            for (int i = 0; i < 12; ++i) {
                wchar_t got[128] = {};
                ::SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(got));
                CString expected;
                expected.LoadString(kMethodNameIds[i]);
                EXPECT_EQ(expected, got) << i;
            }
            EXPECT_EQ(::SendMessageW(combo, CB_GETCURSEL, 0, 0), c.selection);
            EXPECT_EQ(::SendMessageW(dlg.Item(IDC_NOTIFY_UPDATES), BM_GETCHECK, 0, 0), c.checked ? BST_CHECKED : BST_UNCHECKED);
            EXPECT_NE(dlg.Banner().GetBannerBitmap(), nullptr);
            EXPECT_EQ(dlg.Banner().GetAddress(), CString(L"http://") + kMakersHost);
            HMENU system = ::GetSystemMenu(dlg.m_hWnd, FALSE);
            const int count = ::GetMenuItemCount(system);
            EXPECT_EQ(::GetMenuItemID(system, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
            EXPECT_EQ(MenuItems(system).back(), L"16 &About Corvane Pellumar...");
            EXPECT_EQ(::GetMenuItemID(system, count - 2), 0u) << "a separator before it";

            auto tray = TrayCalls();
            ASSERT_FALSE(tray.empty());
            const NOTIFYICONDATAW& r = tray.front().record;
            EXPECT_EQ(tray.front().message, static_cast<DWORD>(NIM_ADD));
            EXPECT_EQ(r.cbSize, 976u);
            EXPECT_EQ(r.hWnd, dlg.m_hWnd);
            EXPECT_EQ(r.uID, 104u);
            EXPECT_EQ(r.uFlags, 7u);
            EXPECT_EQ(r.uCallbackMessage, g_uMsgTrayNotify);
            EXPECT_NE(r.hIcon, nullptr);
            EXPECT_STREQ(r.szTip, L"Corvane Pellumar");

            EXPECT_EQ(MenuItems(dlg.TrayPopup()),
                      (std::vector<std::wstring>{ L"32774 Confi&gure", L"32773 Check &Version", L"32771 &Help", L"-", L"32772 E&xit" }));
            EXPECT_EQ(MenuItems(dlg.HelpPopup()),
                      (std::vector<std::wstring>{ L"32775 Visi&t Website", L"32776 Visit Foru&m", L"32777 View &Help", L"-",
                                                  L"32778 Check for &Updates", L"32779 &About ..." }));
            dlg.Command(ID_TRAY_EXIT);
        });
        EXPECT_EQ(Run(dlg, script), 0);
        auto tray = TrayCalls();
        ASSERT_GE(tray.size(), 2u);
        EXPECT_EQ(tray.back().message, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(tray.back().record.uID, 104u);
        g_tray.clear();
    }
}

TEST_F(SettingsWindowTest, MethodChangesSaveAtOnceTheCheckBoxWaitsForOkAndNothingEndsTheWindowButExit)
{
    StoreSettings(0, 3);
    SettingsUnderTest dlg(FALSE);
    HWND combo = nullptr;
    auto select = [&](int index) {
        ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_METHOD, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    };
    StepScript script;
    script.Step("shown", [&] { return dlg.m_hWnd && Visible(dlg.m_hWnd); }, [&] {
        combo = dlg.Item(IDC_METHOD);
        select(7);
        EXPECT_EQ(Stored(L"DeleteMethod"), 7);
        EXPECT_EQ(Stored(L"VersionNotify"), 0);
        // A change that leaves no selection stores nothing.
        select(-1);
        EXPECT_EQ(dlg.GetSettings().m_deleteMethod, 7u);
        EXPECT_EQ(Stored(L"DeleteMethod"), 7);

        ::SendMessageW(dlg.Item(IDC_NOTIFY_UPDATES), BM_CLICK, 0, 0);
        EXPECT_EQ(dlg.GetSettings().m_versionNotify, 1u);
        EXPECT_EQ(Stored(L"VersionNotify"), 0) << "kept in memory until the next save";
        // Escape: the dialog manager's IDCANCEL changes nothing.
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        ::PostMessageW(combo, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    script.Step("escape ignored", [&] { return true; }, [&] {
        EXPECT_TRUE(Visible(dlg.m_hWnd));
        EXPECT_TRUE(dlg.IsModalLoopRunning());
        // The title bar's close box (and Alt+F4, both WM_CLOSE) hides without saving.
        ::SendMessageW(dlg.m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_FALSE(Visible(dlg.m_hWnd));
        EXPECT_EQ(Stored(L"VersionNotify"), 0);
        EXPECT_TRUE(dlg.IsModalLoopRunning());
        // The show request from another thread (a second start sends it and waits).
        std::thread([hWnd = dlg.m_hWnd] { ::SendMessageW(hWnd, g_uMsgShowMainWindow, 0, 0); }).detach();
    });
    script.Step("shown again", [&] { return Visible(dlg.m_hWnd); }, [&] {
        // OK saves both values and hides.
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_FALSE(Visible(dlg.m_hWnd));
        EXPECT_EQ(Stored(L"VersionNotify"), 1);
        EXPECT_EQ(Stored(L"DeleteMethod"), 7);
        EXPECT_TRUE(dlg.IsModalLoopRunning());
        // The installer's close request, from another thread.
        std::thread([hWnd = dlg.m_hWnd] { ::SendMessageW(hWnd, g_uMsgCloseApp, 0, 0); }).detach();
    });
    EXPECT_EQ(Run(dlg, script), 0);
    EXPECT_EQ(TrayCalls().back().message, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(SettingsWindowTest, StoredMethodOutsideTheListIsSavedUnchanged)
{
    StoreSettings(0, 12);
    SettingsUnderTest dlg(FALSE);
    StepScript script;
    script.Step("shown", [&] { return dlg.m_hWnd && Visible(dlg.m_hWnd); }, [&] {
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_EQ(Stored(L"DeleteMethod"), 12);
        dlg.Command(ID_TRAY_EXIT);
    });
    EXPECT_EQ(Run(dlg, script), 0);
}

TEST_F(SettingsWindowTest, HiddenStartTheTrayMenuTheHelpMenuAndTheWebPages)
{
    StoreSettings(0, 0);
    SettingsUnderTest dlg(TRUE);
    StepScript script;
    script.Step("created", [&] { return dlg.m_hWnd != nullptr && !TrayCalls().empty(); }, [] {});
    script.Step("stays hidden", [&] {
        PumpMessagesFor(0);
        return true;
    }, [&] {
        EXPECT_FALSE(Visible(dlg.m_hWnd));
        EXPECT_TRUE(dlg.IsStartHidden());
        // The right button's press opens the "Manage" menu; the release does nothing.
        dlg.Tray(WM_RBUTTONUP);
        EXPECT_TRUE(g_menus.empty());
        dlg.Tray(WM_RBUTTONDOWN);
        ASSERT_EQ(g_menus.size(), 1u);
        EXPECT_EQ(g_menus[0].menu, dlg.TrayPopup());
        EXPECT_EQ(g_menus[0].flags, static_cast<UINT>(TPM_RIGHTALIGN));
        EXPECT_EQ(g_menus[0].owner, dlg.m_hWnd);
        EXPECT_FALSE(Visible(dlg.m_hWnd));
        // The help button's menu.
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDHELP, BN_CLICKED), 0);
        ASSERT_EQ(g_menus.size(), 2u);
        EXPECT_EQ(g_menus[1].menu, dlg.HelpPopup());
        EXPECT_EQ(g_menus[1].flags, static_cast<UINT>(TPM_RIGHTALIGN));

        // The web pages, and the banner.
        for (UINT id : { ID_HELP_VISIT_WEBSITE, ID_HELP_VISIT_FORUM, ID_HELP_VIEW_HELP, ID_TRAY_HELP })
            dlg.Command(id);
        ::SendMessageW(dlg.Banner().m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
        const CString site = CString(L"http://") + kMakersHost;
        const std::vector<std::wstring> expected = { site.Str(), (site + L"/forum/pellumar").Str(),
                                                     (site + L"/pellumar-help-guide/").Str(),
                                                     (site + L"/pellumar-help-guide/").Str(), site.Str() };
        auto calls = Shell();
        ASSERT_EQ(calls.size(), expected.size());
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].file, expected[i]);
            EXPECT_EQ(calls[i].verb, L"open");
            EXPECT_EQ(calls[i].show, SW_SHOWMAXIMIZED);
        }
        // The taskbar came back (Explorer restarted): the icon is added again.
        const size_t before = TrayCalls().size();
        ::SendMessageW(dlg.m_hWnd, ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        auto tray = TrayCalls();
        ASSERT_EQ(tray.size(), before + 1);
        EXPECT_EQ(tray.back().message, static_cast<DWORD>(NIM_ADD));
        EXPECT_EQ(tray.back().record.uID, 104u);
        // A double click on the icon shows the window, for good.
        dlg.Tray(WM_LBUTTONDBLCLK);
    });
    script.Step("shown by the tray", [&] { return Visible(dlg.m_hWnd); }, [&] {
        EXPECT_FALSE(dlg.IsStartHidden());
        ::SendMessageW(dlg.m_hWnd, WM_CLOSE, 0, 0);
        EXPECT_FALSE(Visible(dlg.m_hWnd));
        dlg.Command(ID_TRAY_EXIT);
    });
    EXPECT_EQ(Run(dlg, script), 0);
}

TEST_F(SettingsWindowTest, TheAboutBoxFromTheSystemMenuAndFromTheHelpMenu)
{
    StoreSettings(0, 0);
    SettingsUnderTest dlg(FALSE);
    int opened = 0;
    StepScript script;
    auto checkAbout = [&](const char* name) {
        script.Step(name, [&] { return FindOtherWindow(L"Corvane Pellumar", dlg.m_hWnd) != nullptr; }, [&] {
            HWND about = FindOtherWindow(L"Corvane Pellumar", dlg.m_hWnd);
            ++opened;
            wchar_t line[128] = {};
            ::GetDlgItemTextW(about, IDC_ABOUT_VERSION, line, 128);
            EXPECT_STREQ(line, L"Corvane Pellumar, Version 1.0.1");
            ::GetDlgItemTextW(about, IDC_ABOUT_YEAR, line, 128);
            EXPECT_EQ(std::wstring(line), std::to_wstring(CCorvaneAboutDlg::LocalYearOf(_time64(nullptr))));
            HWND banner = ::GetDlgItem(about, IDC_ABOUT_BANNER);
            auto* bannerObject = dynamic_cast<CBanner*>(CWnd::FromHandlePermanent(banner));
            ASSERT_NE(bannerObject, nullptr);
            EXPECT_NE(bannerObject->GetBannerBitmap(), nullptr);
            ::SendMessageW(banner, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
            ::PostMessageW(::GetDlgItem(about, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
        });
        script.Step("about closed", [&] { return FindOtherWindow(L"Corvane Pellumar", dlg.m_hWnd) == nullptr; }, [] {});
    };
    script.Step("shown", [&] { return dlg.m_hWnd && Visible(dlg.m_hWnd); }, [&] {
        ::PostMessageW(dlg.m_hWnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    });
    checkAbout("about from the system menu");
    script.Step("again", [&] { dlg.Command(ID_HELP_ABOUT); });
    checkAbout("about from the help menu");
    script.Step("end", [&] { dlg.Command(ID_TRAY_EXIT); });
    EXPECT_EQ(Run(dlg, script), 0);
    EXPECT_EQ(opened, 2);
    auto calls = Shell();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].file, (CString(L"http://") + kMakersHost).Str());
}

TEST(AboutBox, YearOfTheLocalTime)
{
    EXPECT_EQ(CCorvaneAboutDlg::LocalYearOf(86400 * 365), 1971);
    EXPECT_EQ(CCorvaneAboutDlg::LocalYearOf(1700000000), 2023);
    EXPECT_EQ(CCorvaneAboutDlg::LocalYearOf(-1), 0) << "a time that cannot be converted";
    EXPECT_EQ(CCorvaneAboutDlg::LocalYearOf(_time64(nullptr)), [] {
        std::time_t now = std::time(nullptr);
        return std::localtime(&now)->tm_year + 1900;
    }());
}

// ---- the update check as the window runs it -----------------------------------------------------------

namespace {

const char kFeedPath[] = "/wp-content/uploads/Software/pellumar/PellumarVersion.xml";

// An installer the build signed (tests/app/make-update-files.sh), by its name there.
std::wstring BuiltFile(const std::wstring& name)
{
    std::wstring path = L"Z:" + std::wstring(PELLUMAR_UPDATE_FILES_DIR) + L"/" + name;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string ReadBytes(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

struct UpdateRoadTest : SettingsWindowTest {
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        setup = InstallerBytes();
        server.Set("/setup.exe", { 200, setup });
    }
    static std::string InstallerBytes() { return "MZ" + std::string(500, 'i'); }
    void OfferVersion(const char* version, const std::wstring& url)
    {
        server.Set(kFeedPath, { 200, FeedText(version, CStringA(url.c_str()).GetString(), { "Faster", "Smaller" }) });
    }
    // The feed served on the test's port (the checker's port-80 connection goes there), named in the
    // feed's address: the download is allowed only from the feed's host and port. The checker keeps its
    // own limits: a loaded machine may take a while over the exchange, which these tests do not time (the
    // test of the deadline sets its own).
    void UseLoopbackFeed(CPellumarDlg& dlg)
    {
        dlg.SetFeedUrl(CString((L"http://127.0.0.1:" + std::to_wstring(server.Port())).c_str()) + CString(kFeedPath));
        dlg.SetCheckLimits(CVersionChecker::Limits());
    }
    CVersionUpdaterDlg* Offer(CPellumarDlg& dlg)
    {
        CVersionUpdaterDlg* offer = dlg.GetUpdateDialog();
        return offer && offer->m_hWnd && Visible(offer->m_hWnd) ? offer : nullptr;
    }
    static void Click(CWnd* dlg, int id)
    {
        ::SendMessageW(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dlg->m_hWnd, id)));
    }
    // A message box of this thread showing text; pressed with OK when found.
    static bool PressBoxWith(const wchar_t* text, HWND exclude)
    {
        for (const ThreadMessageBox& box : FindThreadMessageBoxes(exclude))
            if (box.text.find(text) != std::wstring::npos) {
                PressMessageBoxButton(box.hWnd, IDOK);
                return true;
            }
        return false;
    }
    static bool BoxWith(const wchar_t* text, HWND exclude)
    {
        for (const ThreadMessageBox& box : FindThreadMessageBoxes(exclude))
            if (box.text.find(text) != std::wstring::npos)
                return true;
        return false;
    }
    std::string setup;
};

}

TEST_F(UpdateRoadTest, AHiddenStartRunsOneSilentCheckAndTheShowRequestNeverWaitsOnTheOffer)
{
    StoreSettings(1, 0);
    OfferVersion("1.0.2", server.Url(L"/setup.exe"));
    SettingsUnderTest dlg(TRUE);
    UseLoopbackFeed(dlg);
    std::atomic<bool> showAnswered{ false };
    StepScript script;
    script.Step("offer", [&] { return Offer(dlg) != nullptr; }, [&] {
        EXPECT_FALSE(Visible(dlg.m_hWnd)) << "the window itself stays hidden";
        EXPECT_EQ(server.Requests(kFeedPath), 1);
        std::thread([&, hWnd = dlg.m_hWnd] {
            ::SendMessageW(hWnd, g_uMsgShowMainWindow, 0, 0);
            showAnswered = true;
        }).detach();
    });
    // Nothing closes the offer before this step's action: an answer that waited on the offer would never
    // come, and the step would fail.
    script.Step("shown while the offer is open", [&] { return showAnswered.load(); }, [&] {
        EXPECT_TRUE(Visible(dlg.m_hWnd));
        EXPECT_TRUE(Offer(dlg) != nullptr);
        // The tray's and the help menu's checks open no second offer and start no second check.
        dlg.Command(ID_TRAY_CHECK_VERSION);
        dlg.Command(ID_HELP_CHECK_UPDATES);
        PumpMessagesFor(300);
        EXPECT_EQ(server.Requests(kFeedPath), 1);
        Click(Offer(dlg), IDC_UPDATE_REMIND_LATER);
    });
    ULONGLONG closedAt = 0;
    script.Step("offer closed", [&] { return Offer(dlg) == nullptr && !dlg.IsCheckRunning(); },
                [&] { closedAt = ::GetTickCount64(); });
    script.Step("a while later", [&] { return ::GetTickCount64() > closedAt + 500; }, [&] {
        EXPECT_EQ(server.Requests(kFeedPath), 1);
        EXPECT_TRUE(Shell().empty());
        dlg.Command(ID_TRAY_EXIT);
    });
    EXPECT_EQ(Run(dlg, script), 0);
}

TEST_F(UpdateRoadTest, TheSettingsModeStartsHiddenAndChecksOnce)
{
    // The mode as start-up runs it: the makers' feed address (port 80 goes to the test server).
    StoreSettings(1, 0);
    OfferVersion("2.0.0", L"http://www.corvane.example/setup.exe");
    StepScript script;
    auto window = [] { return dynamic_cast<CPellumarDlg*>(AfxGetMainWnd()); };
    script.Step("offer", [&] { return window() && window()->GetUpdateDialog() && Visible(window()->GetUpdateDialog()->m_hWnd); },
                [&] {
                    EXPECT_FALSE(Visible(window()->m_hWnd));
                    EXPECT_EQ(server.Requests(kFeedPath), 1);
                    Click(window()->GetUpdateDialog(), IDCANCEL);
                });
    ULONGLONG closedAt = 0;
    script.Step("offer closed", [&] { return !window()->IsCheckRunning(); }, [&] { closedAt = ::GetTickCount64(); });
    // (A second check would start as soon as the first ended: this step would then never come.)
    // The modal loop's own show comes when it next goes idle, after the offer: it must not check again.
    script.Step("a while later", [&] { return ::GetTickCount64() > closedAt + 500; }, [&] {
        EXPECT_EQ(server.Requests(kFeedPath), 1);
        EXPECT_FALSE(Visible(window()->m_hWnd));
        ::SendMessageW(window()->m_hWnd, g_uMsgCloseApp, 0, 0);
    });
    script.Start([&] {
        if (CPellumarDlg* dlg = window())
            GiveUp(*dlg);
    });
    RunSettingsWindow(&g_app, true);
    EXPECT_EQ(script.Failed(), "");
    EXPECT_TRUE(script.Finished());
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
}

TEST_F(UpdateRoadTest, AnInteractiveCheckSaysUpToDateForTheSameVersionAnOlderOneOrNoAnswer)
{
    StoreSettings(0, 0);
    SettingsUnderTest dlg(FALSE);
    UseLoopbackFeed(dlg);
    StepScript script;
    for (const char* version : std::initializer_list<const char*>{ "1.0.1", "0.9.9", nullptr }) {
        script.Step("check", [&dlg, this, version] {
            if (version)
                OfferVersion(version, server.Url(L"/setup.exe"));
            else
                server.Set(kFeedPath, { 503, "busy" });
            ::PostMessageW(dlg.m_hWnd, WM_COMMAND, ID_TRAY_CHECK_VERSION, 0);
        });
        script.Step("up to date", [&] { return PressBoxWith(L"Application is up-to-date.", dlg.m_hWnd); }, [] {});
    }
    script.Step("end", [&] { return !dlg.IsCheckRunning(); }, [&] {
        EXPECT_EQ(dlg.GetUpdateDialog(), nullptr);
        dlg.Command(ID_TRAY_EXIT);
    });
    EXPECT_EQ(Run(dlg, script), 0);
}

TEST_F(UpdateRoadTest, ADownloadedUpdateThatIsNotTheMakersNewerOneIsNeverStarted)
{
    // Each is served and downloaded; the window shows "Failed to update application." and ShellExecuteW is
    // never called.
    struct Case {
        const wchar_t* file;   // the build's signed file
        const char* offered;
    };
    const Case cases[] = {
        { L"unsigned-update-1.2.3.exe", "1.2.3" },
        { L"wrong-update-1.2.3.exe", "1.2.3" },         // another key under the makers' name
        { L"makers-update-1.0.0.exe", "1.2.3" },        // the makers' old installer behind a newer offer
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << CStringA(c.file).GetString());
        const std::string path = "/setup-" + std::to_string(++n) + ".exe";
        server.Set(path, { 200, ReadBytes(BuiltFile(c.file)) });
        StoreSettings(0, 0);
        OfferVersion(c.offered, server.Url(std::wstring(path.begin(), path.end())));
        SettingsUnderTest dlg(FALSE);
        UseLoopbackFeed(dlg);
        StepScript script;
        script.Step("check", [&] { return Visible(dlg.m_hWnd); }, [&] { ::PostMessageW(dlg.m_hWnd, WM_COMMAND, ID_HELP_CHECK_UPDATES, 0); });
        script.Step("offer", [&] { return Offer(dlg) != nullptr; }, [&] { Click(Offer(dlg), IDOK); });
        script.Step("refused", [&] { return PressBoxWith(L"Failed to update application.", dlg.m_hWnd); }, [&] {});
        script.Step("goes on", [&] { return !dlg.IsCheckRunning(); }, [&] {
            EXPECT_EQ(server.Requests(path), 1);
            EXPECT_TRUE(Shell().empty()) << "nothing started";
            EXPECT_TRUE(dlg.IsModalLoopRunning());
            dlg.Command(ID_TRAY_EXIT);
        });
        EXPECT_EQ(Run(dlg, script), 0);
        EXPECT_TRUE(Shell().empty());
    }
}

TEST_F(UpdateRoadTest, TheMakersSignedUpdateIsStartedTheWindowHidesAndHoldsItsFileUntilTheInstallerEnds)
{
    // The stand-in reads its own file once started, then waits until told to end. The window's end comes
    // from the installer's end, or sooner from the installer's close request.
    const std::string bytes = ReadBytes(BuiltFile(L"makers-update-1.2.3.exe"));
    const std::string other = ReadBytes(BuiltFile(L"unsigned-update-1.2.3.exe"));
    ASSERT_FALSE(bytes.empty());
    server.Set("/setup.exe", { 200, bytes });
    StoreSettings(0, 0);
    OfferVersion("1.2.3", server.Url(L"/setup.exe"));
    for (const bool closeRequest : { false, true }) {
        SCOPED_TRACE(closeRequest ? "ended by the close request" : "ended by the installer's end");
        TempDir dir;
        const std::wstring swap = dir.WriteFile(L"swap.exe", std::vector<uint8_t>(other.begin(), other.end()));
        StandInRun standIn(dir.Path());
        {
            std::lock_guard<std::mutex> hold(g_lock);
            g_shell.clear();
        }
        SettingsUnderTest dlg(FALSE);
        UseLoopbackFeed(dlg);
        StepScript script;
        script.Step("check", [&] { return Visible(dlg.m_hWnd); }, [&] { ::PostMessageW(dlg.m_hWnd, WM_COMMAND, ID_TRAY_CHECK_VERSION, 0); });
        script.Step("offer", [&] { return Offer(dlg) != nullptr; }, [&] { Click(Offer(dlg), IDOK); });
        script.Step("installer running", [&] { return !standIn.Reported().empty(); }, [&] {
            // For the user the window has ended: hidden, without its tray icon.
            EXPECT_TRUE(dlg.IsEnding());
            EXPECT_FALSE(Visible(dlg.m_hWnd));
            EXPECT_EQ(TrayCalls().back().message, static_cast<DWORD>(NIM_DELETE));
            auto calls = Shell();
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].verb, L"open");
            EXPECT_EQ(calls[0].show, SW_SHOWMAXIMIZED);
            EXPECT_TRUE(IsRunnableUpdateFile(calls[0].file.c_str())) << CStringA(calls[0].file.c_str()).GetString();
            EXPECT_TRUE(standIn.Reported() == bytes) << "the installer read the checked bytes";
            // Held while the installer runs, against another program of the user.
            std::vector<std::string> swapped;
            std::thread([&] { swapped = TrySwaps(calls[0].file, swap, dir.Join(L"aside.exe"), other); }).join();
            EXPECT_EQ(swapped, std::vector<std::string>{});
            EXPECT_TRUE(dlg.GetStartedUpdate().IsHeld());
            // A second start's hand-over shows nothing now.
            ::SendMessageW(dlg.m_hWnd, g_uMsgShowMainWindow, 0, 0);
            ::ShowWindow(dlg.m_hWnd, SW_SHOWNORMAL);
            EXPECT_FALSE(Visible(dlg.m_hWnd));
            EXPECT_TRUE(dlg.IsModalLoopRunning());
            if (closeRequest)
                std::thread([hWnd = dlg.m_hWnd] { ::SendMessageW(hWnd, g_uMsgCloseApp, 0, 0); }).detach();
            else
                standIn.Go();
        });
        EXPECT_EQ(Run(dlg, script), 0);
        EXPECT_FALSE(dlg.GetStartedUpdate().IsHeld()) << "let go when the window ended";
        auto calls = Shell();
        ASSERT_EQ(calls.size(), 1u);
        // Opened for deletion (and let go unchanged): the hold refuses that, a running program's file does not.
        HANDLE removable = ::CreateFileW(calls[0].file.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(removable, INVALID_HANDLE_VALUE) << "the file is no longer held";
        if (removable != INVALID_HANDLE_VALUE)
            ::CloseHandle(removable);
        EXPECT_TRUE(ReadBytes(calls[0].file) == bytes);
    }
}

TEST_F(UpdateRoadTest, ARefusedAddressIsReportedAndTheCloseRequestDuringTheOfferStartsNothing)
{
    StoreSettings(0, 0);
    {
        OfferVersion("1.0.2", L"file:///C:/windows/notepad.exe");
        SettingsUnderTest dlg(FALSE);
        UseLoopbackFeed(dlg);
        StepScript script;
        script.Step("check", [&] { return Visible(dlg.m_hWnd); }, [&] { ::PostMessageW(dlg.m_hWnd, WM_COMMAND, ID_TRAY_CHECK_VERSION, 0); });
        script.Step("offer", [&] { return Offer(dlg) != nullptr; }, [&] { Click(Offer(dlg), IDOK); });
        script.Step("refused", [&] { return PressBoxWith(L"Failed to update application.", dlg.m_hWnd); }, [] {});
        script.Step("end", [&] { return !dlg.IsCheckRunning(); }, [&] { dlg.Command(ID_TRAY_EXIT); });
        EXPECT_EQ(Run(dlg, script), 0);
    }
    {
        // The installer's close request while the download runs: both windows end, nothing is started.
        server.Set("/setup.exe", { 200, setup, LoopbackHttpServer::Send::Drip, 20 });
        OfferVersion("1.0.2", server.Url(L"/setup.exe"));
        SettingsUnderTest dlg(FALSE);
        UseLoopbackFeed(dlg);
        StepScript script;
        script.Step("check", [&] { return Visible(dlg.m_hWnd); }, [&] { ::PostMessageW(dlg.m_hWnd, WM_COMMAND, ID_TRAY_CHECK_VERSION, 0); });
        script.Step("offer", [&] { return Offer(dlg) != nullptr; }, [&] { Click(Offer(dlg), IDOK); });
        script.Step("downloading", [&] { return server.Requests("/setup.exe") == 1; }, [&] {
            std::thread([hWnd = dlg.m_hWnd] { ::SendMessageW(hWnd, g_uMsgCloseApp, 0, 0); }).detach();
        });
        EXPECT_EQ(Run(dlg, script), 0);
        EXPECT_TRUE(dlg.IsEnding());
        PumpMessagesFor(500);
        EXPECT_TRUE(Shell().empty());
    }
}

TEST_F(UpdateRoadTest, AServerThatHoldsItsAnswerEndsTheCheckByTheDeadlineAndTheWindowAnswersMeanwhile)
{
    StoreSettings(0, 0);
    SettingsUnderTest dlg(FALSE);
    UseLoopbackFeed(dlg);
    CVersionChecker::Limits limits;
    limits.stepTimeoutMs = 700;
    limits.connectRetries = 0;
    limits.deadlineMs = 3000;
    dlg.SetCheckLimits(limits);
    using Send = LoopbackHttpServer::Send;
    struct Mode {
        const char* name;
        Send send;
        DWORD dripMs;
    };
    const Mode modes[] = { { "status line a byte at a time", Send::DripStatus, 400 },
                           { "header lines half a second apart", Send::EndlessHeaders, 500 },
                           { "header lines as fast as possible", Send::EndlessHeaders, 0 } };
    std::atomic<bool> answered{ false };
    int requests = 0;
    StepScript script;
    for (const Mode& mode : modes) {
        script.Step(mode.name, [&] { return Visible(dlg.m_hWnd) && !dlg.IsCheckRunning(); }, [&, mode] {
            server.Set(kFeedPath, { 200, FeedText("1.0.2", CStringA(server.Url(L"/setup.exe").c_str()).GetString()), mode.send,
                                    mode.dripMs });
            answered = false;
            ++requests;
            ::PostMessageW(dlg.m_hWnd, WM_COMMAND, ID_TRAY_CHECK_VERSION, 0);
        });
        // The server holds the check; a second start's show request (sent, so it waits) is answered.
        script.Step("held by the server", [&] { return server.Requests(kFeedPath) == requests; }, [&] {
            std::thread([&, hWnd = dlg.m_hWnd] {
                ::SendMessageW(hWnd, g_uMsgShowMainWindow, 0, 0);
                answered = true;
            }).detach();
        });
        script.Step("answered during the check", [&] { return answered.load(); }, [&] {
            EXPECT_TRUE(dlg.IsCheckRunning()) << mode.name;
            EXPECT_EQ(Offer(dlg), nullptr);
        });
        // Then the deadline: the same as no answer.
        script.Step("no answer", [&] { return PressBoxWith(L"Application is up-to-date.", dlg.m_hWnd); }, [] {});
    }
    script.Step("end", [&] { return !dlg.IsCheckRunning(); }, [&] { dlg.Command(ID_TRAY_EXIT); });
    EXPECT_EQ(Run(dlg, script), 0);
    EXPECT_TRUE(script.Finished());
    EXPECT_EQ(server.Requests(kFeedPath), 3);
    EXPECT_TRUE(Shell().empty());
    // The exchanges the server still holds close their handles when WinINet lets go of them.
    EXPECT_TRUE(redirect.NoneClosedTwice());
}
