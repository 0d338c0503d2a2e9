// The update check and the update dialog against a real HTTP server on 127.0.0.1: the feed's answers
// (good, error status, stalled, dripping, oversized, cut short, refused), and the dialog's roads (remind
// later, the download, cancel in the middle, refused addresses, stray dialog-manager messages).
#include <winsock2.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <fstream>
#include <iterator>
#include <memory>

#include "DialogTestUtil.h"
#include "LoopbackHttpServer.h"
#include "UpdateTestUtil.h"
#include "app/VersionChecker.h"
#include "app/VersionUpdaterDlg.h"
#include "app/res/resource.h"

using namespace updtest;
using Send = LoopbackHttpServer::Send;

namespace {

const ProductVersion kRunning{ 1, 0, 1 };

CVersionChecker::Limits ShortLimits()
{
    CVersionChecker::Limits limits;
    limits.stepTimeoutMs = 700;
    limits.connectRetries = 0;
    limits.deadlineMs = 1500;
    return limits;
}

struct FeedCheck {
    CUpdateInfo* info = nullptr;
    ULONGLONG ms = 0;
};

FeedCheck RunCheck(CVersionChecker& checker)
{
    checker.SetLimits(ShortLimits());
    HINTERNET session = ::InternetOpenW(L"MyUserAgent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    const ULONGLONG started = ::GetTickCount64();
    FeedCheck result;
    result.info = checker.Check(kRunning, session);
    result.ms = ::GetTickCount64() - started;
    return result;
}

}

TEST(UpdateCheck, AnswersOfTheServer)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.IsListening());
    RedirectPort80 redirect(server.Port());
    ASSERT_TRUE(redirect.IsActive());

    const std::string newer = FeedText("1.2.3", "http://127.0.0.1/setup.exe", { "one", "two" });
    std::string deep;   // what follows the NUL: refused as too deep if it were read
    for (int i = 0; i < 40; ++i)
        deep += "<a>";
    std::string padded = newer;
    padded.insert(padded.find("<Win32>"), "<!--" + std::string(70 * 1024, 'p') + "-->");
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
        bool record;
        bool upToDate;
    };
    const Case cases[] = {
        { "newer version", { 200, newer }, true, false },
        { "same version", { 200, FeedText("1.0.1", "http://127.0.0.1/setup.exe") }, true, true },
        { "older version with larger fields", { 200, FeedText("0.9.9", "http://127.0.0.1/setup.exe") }, true, true },
        { "error status with a feed body", { 404, newer }, false, false },
        { "server error", { 500, newer }, false, false },
        { "stalls", { 200, newer, Send::Stall }, false, false },
        { "drips past the deadline", { 200, newer, Send::Drip, 15 }, false, false },
        { "over 64 KiB", { 200, padded }, false, false },
        { "without end", { 200, "", Send::Unlimited }, false, false },
        { "cut short", { 200, newer, Send::CutShort }, false, false },
        { "not a feed", { 200, "<html>hello</html>" }, false, false },
        { "a NUL ends the feed", { 200, newer + std::string(1, '\0') + deep }, true, false },
        // The deadline bounds the whole exchange, not only the body.
        { "status line a byte at a time", { 200, newer, Send::DripStatus, 400 }, false, false },
        { "header lines half a second apart", { 200, newer, Send::EndlessHeaders, 500 }, false, false },
        { "header lines as fast as possible", { 200, newer, Send::EndlessHeaders, 0 }, false, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The previous case's exchange may outlast its check by moments; a check made while it lives would
        // start none.
        ASSERT_TRUE(redirect.ThreadsEnded());
        server.Set("/feed.xml", c.answer);
        const int before = server.Requests("/feed.xml");
        CVersionChecker checker(L"http://www.corvane.example/feed.xml");
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        const ULONGLONG started = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) - 10000000;
        FeedCheck check = RunCheck(checker);
        EXPECT_EQ(server.Requests("/feed.xml"), before + 1);
        EXPECT_EQ(redirect.RequestedPort(), 80);
        // The answer is not kept in the Internet cache: the relay's address is the check's own, never asked
        // for again, and under Wine nothing ever takes such entries out again.
        ASSERT_TRUE(redirect.ThreadsEnded());
        EXPECT_FALSE(CacheEntryMadeSince(L"http://127.0.0.1:" + std::to_wstring(redirect.RelayPort()) + L"/feed.xml", started));
        ASSERT_EQ(check.info != nullptr, c.record);
        if (check.info) {
            EXPECT_EQ(check.info->m_upToDate, c.upToDate ? TRUE : FALSE);
            EXPECT_EQ(check.info->m_feedHost, L"www.corvane.example");
        }
        // Bounded by the step time-out and the read deadline, not by the server.
        EXPECT_LT(check.ms, 4000u);
    }
    EXPECT_GT(redirect.Opened(), 0);
    // An exchange the server still holds at the deadline closes its handles when WinINet lets go of it
    // (under Wine that can take long after the server has ended): none is closed twice.
    EXPECT_TRUE(redirect.NoneClosedTwice());
    EXPECT_TRUE(redirect.ThreadsEnded()) << "no exchange is left to the next test";
}

TEST(UpdateCheck, NoServerNoHostAndASessionThatIsClosedEitherWay)
{
    RedirectPort80 redirect(LoopbackHttpServer::ClosedPort());
    ASSERT_TRUE(redirect.IsActive());
    for (const wchar_t* url : { L"http://www.corvane.example/feed.xml", L"http://www.corvane.example" }) {
        SCOPED_TRACE(url);
        ASSERT_TRUE(redirect.ThreadsEnded());
        CVersionChecker checker(url);
        FeedCheck check = RunCheck(checker);
        EXPECT_EQ(check.info, nullptr);
        EXPECT_LT(check.ms, 4000u);
    }
    EXPECT_TRUE(redirect.EachClosedOnce());
}

// ---- the update dialog ---------------------------------------------------------------------------------

namespace {

// The dialog with a look at its download task.
class UpdaterUnderTest : public CVersionUpdaterDlg {
public:
    using CVersionUpdaterDlg::CVersionUpdaterDlg;
    std::weak_ptr<DownloadTask> Task() const { return m_task; }
    HWND Item(int id) const { return ::GetDlgItem(m_hWnd, id); }
    bool Visible(int id) const { return ::IsWindowVisible(Item(id)) != FALSE; }
};

CRect ClientRectOf(HWND dialog, HWND control)
{
    CRect r;
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

struct UpdaterTest : ::testing::Test {
    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{ sizeof(icc), ICC_WIN95_CLASSES };
        ::InitCommonControlsEx(&icc);
        ASSERT_TRUE(server.IsListening());
        info.m_version = { 1, 2, 3 };
        info.m_feedHost = (L"127.0.0.1:" + std::to_wstring(server.Port())).c_str();
        info.m_features = { L"first", L"second", L"third" };
        info.m_downloadUrl = Url(setup).c_str();
    }
    void TearDown() override { CancelScheduledActions(); }

    // A path of this run's own: the Internet cache names its files after the address's file name, and the
    // prefix's cache is shared with the other test programs and outlives them (a failed download takes out
    // of it files of its own name only).
    static std::string Path(const std::string& name)
    {
        return "/" + name + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64()) + ".exe";
    }
    std::wstring Url(const std::string& path) const { return server.Url(std::wstring(path.begin(), path.end())); }

    LoopbackHttpServer server;
    const std::string setup = Path("setup");
    CUpdateInfo info;
};

std::string InstallerBytes(size_t size)
{
    std::string bytes = "MZ";
    while (bytes.size() < size)
        bytes += static_cast<char>('a' + bytes.size() % 26);
    return bytes;
}

}

TEST_F(UpdaterTest, OfferShowsTheLinesLastFirstAndRemindLaterEndsWithCancel)
{
    for (bool tick : { false, true }) {
        UpdaterUnderTest dlg(&info);
        bool checked = false;
        RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
            checked = true;
            HWND list = dlg.Item(IDC_UPDATE_FEATURES);
            ASSERT_EQ(::SendMessageW(list, LB_GETCOUNT, 0, 0), 3);
            const wchar_t* expected[] = { L"third", L"second", L"first" };
            for (int i = 0; i < 3; ++i) {
                wchar_t text[32] = {};
                ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
                EXPECT_STREQ(text, expected[i]);
            }
            for (int id : { IDC_UPDATE_DETECTED, IDC_UPDATE_FEATURES_LABEL, IDC_UPDATE_FEATURES, IDC_UPDATE_DONT_SHOW, IDOK,
                            IDC_UPDATE_REMIND_LATER, IDCANCEL })
                EXPECT_TRUE(dlg.Visible(id)) << id;
            EXPECT_FALSE(dlg.Visible(IDC_UPDATE_PROGRESS));
            HMENU system = ::GetSystemMenu(dlg.m_hWnd, FALSE);
            EXPECT_TRUE(::GetMenuState(system, SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
            // Stray dialog-manager messages (DM_SETDEFID, DM_REPOSITION share the numbers) end nothing.
            ::SendMessageW(dlg.m_hWnd, WM_USER + 1, IDOK, 0);
            ::SendMessageW(dlg.m_hWnd, WM_USER + 2, 0, 0x12345678);
            if (tick)
                ::SendMessageW(dlg.Item(IDC_UPDATE_DONT_SHOW), BM_CLICK, 0, 0);
            RunSoon(50, [&] {
                EXPECT_TRUE(dlg.IsWindowVisible());
                ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_REMIND_LATER, BN_CLICKED),
                               reinterpret_cast<LPARAM>(dlg.Item(IDC_UPDATE_REMIND_LATER)));
            });
        }, 5000, [&] { dlg.EndDialog(-5); });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(checked);
        EXPECT_EQ(server.Requests(), 0);
    }
}

TEST_F(UpdaterTest, UpgradeDownloadsIntoTheCacheWithTheDownloadLayout)
{
    const std::string bytes = InstallerBytes(1500);
    server.Set(setup, { 200, bytes, Send::Drip, 1 });
    UpdaterUnderTest dlg(&info);
    CRect before, cancelBefore;
    bool layoutChecked = false;
    RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
        ::GetWindowRect(dlg.m_hWnd, &before);
        cancelBefore = ClientRectOf(dlg.m_hWnd, dlg.Item(IDCANCEL));
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(dlg.Item(IDOK)));
        layoutChecked = true;
        CRect after;
        ::GetWindowRect(dlg.m_hWnd, &after);
        EXPECT_EQ(after.TopLeft(), before.TopLeft());
        EXPECT_EQ(after.Width(), before.Width());
        EXPECT_EQ(after.Height(), 2 * before.Height() / 3);
        CRect cancel = ClientRectOf(dlg.m_hWnd, dlg.Item(IDCANCEL));
        EXPECT_EQ(cancel.left, cancelBefore.left);
        EXPECT_EQ(cancel.top, cancelBefore.top - 70);
        EXPECT_EQ(cancel.Size(), cancelBefore.Size());
        for (int id : { IDC_UPDATE_DETECTED, IDC_UPDATE_FEATURES_LABEL, IDC_UPDATE_FEATURES, IDC_UPDATE_DONT_SHOW, IDOK,
                        IDC_UPDATE_REMIND_LATER })
            EXPECT_FALSE(dlg.Visible(id)) << id;
        EXPECT_TRUE(dlg.Visible(IDC_UPDATE_PROGRESS));
        EXPECT_TRUE(dlg.IsDownloading());
        // Enter while downloading starts no second download.
        ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        // Progress comes by value; the dialog manager's DM_SETDEFID (WM_USER+1) before the thread has
        // finished ends nothing.
        ::SendMessageW(dlg.m_hWnd, WM_USER + 2, 30, 60);
        HWND bar = dlg.Item(IDC_UPDATE_PROGRESS);
        EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 30);
        EXPECT_EQ(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 60);
        ::SendMessageW(dlg.m_hWnd, WM_USER + 1, IDOK, 0);
        EXPECT_TRUE(dlg.IsWindowVisible());
    }, 5000, [&] { dlg.EndDialog(-5); });
    RunSoon(20000, [&] { dlg.EndDialog(-6); });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(layoutChecked);
    EXPECT_EQ(server.Requests(setup), 1);
    const CString path = dlg.GetLocalPath();
    ASSERT_FALSE(path.IsEmpty());
    std::ifstream file(path.GetString(), std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, bytes);
}

TEST_F(UpdaterTest, AnErrorPageOrNoServerEndsWithCancelAndNoFile)
{
    // The moniker reports success for a 404 page: the dialog looks at the status itself.
    const std::wstring closed = L"127.0.0.1:" + std::to_wstring(LoopbackHttpServer::ClosedPort());
    const std::wstring urls[] = { Url(Path("missing")), L"http://" + closed + std::wstring(setup.begin(), setup.end()) };
    for (const std::wstring& url : urls) {
        SCOPED_TRACE(testing::Message() << CStringA(url.c_str()).GetString());
        info.m_downloadUrl = url.c_str();
        if (url.find(closed) != std::wstring::npos)
            info.m_feedHost = closed.c_str();   // the feed's own port, where nothing listens
        UpdaterUnderTest dlg(&info);
        RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
            ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }, 5000, [&] { dlg.EndDialog(-5); });
        RunSoon(20000, [&] { dlg.EndDialog(-6); });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(dlg.GetLocalPath().IsEmpty());
        EXPECT_FALSE(dlg.WasAddressRefused());
    }
}

TEST_F(UpdaterTest, CancelDuringTheDownloadEndsAtOnceAndTheThreadLetsGoByItself)
{
    server.Set(setup, { 200, InstallerBytes(400), Send::Drip, 10 });
    std::weak_ptr<DownloadTask> task;
    ULONGLONG cancelledAt = 0, endedAt = 0;
    {
        UpdaterUnderTest dlg(&info);
        RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
            ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            task = dlg.Task();
            RunWhen([&] { return server.Requests(setup) == 1; }, [&] {
                cancelledAt = ::GetTickCount64();
                ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }, 5000, [&] { dlg.EndDialog(-5); });
        }, 5000, [&] { dlg.EndDialog(-5); });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        endedAt = ::GetTickCount64();
        EXPECT_TRUE(dlg.GetLocalPath().IsEmpty());
        EXPECT_FALSE(task.expired()) << "the thread still holds the task";
    }
    EXPECT_LT(endedAt - cancelledAt, 1000u) << "Cancel does not wait for the transfer";
    // The dialog is gone; the thread finishes on its own, posts nothing to the dead window and lets go.
    EXPECT_TRUE(PumpUntil([&] { return task.expired(); }, 15000));
}

TEST_F(UpdaterTest, RefusedAddressesAreNeverDownloaded)
{
    const std::wstring bad[] = {
        L"file:///C:/windows/notepad.exe",
        L"C:\\windows\\notepad.exe",
        L"\\\\127.0.0.1\\share\\setup.exe",
        L"http://localhost:" + std::to_wstring(server.Port()) + L"/setup.exe",   // another host name
        L"ftp://127.0.0.1/setup.exe",
    };
    server.Set(setup, { 200, InstallerBytes(100) });
    for (const std::wstring& url : bad) {
        SCOPED_TRACE(testing::Message() << CStringA(url.c_str()).GetString());
        info.m_downloadUrl = url.c_str();
        UpdaterUnderTest dlg(&info);
        RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
            ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }, 5000, [&] { dlg.EndDialog(-5); });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(dlg.WasAddressRefused());
        EXPECT_TRUE(dlg.Task().expired());
    }
    EXPECT_EQ(server.Requests(), 0);
}

TEST_F(UpdaterTest, ARedirectElsewhereABodyPastItsAnnouncedLengthOrPastTheCapFails)
{
    // Under Wine the moniker reports no redirect at all (BINDSTATUS_REDIRECTING never comes): the second
    // request that nothing announced gives it away.
    const std::string port = std::to_string(server.Port());
    const std::string other = Path("other");
    server.Set(other, { 200, InstallerBytes(100) });
    const ULONG cap = 64 * 1024;
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
        bool downloaded;
        ULONG limit = 64 * 1024;
    };
    auto answer = [](int status, std::string body, const std::string& location = "", long long announce = -1,
                     Send send = Send::Whole, size_t limit = 0) {
        LoopbackHttpServer::Answer a;
        a.status = status;
        a.body = std::move(body);
        a.send = send;
        a.location = location;
        a.announce = announce;
        a.limitBytes = limit;
        return a;
    };
    const Case cases[] = {
        { "exactly the cap", answer(200, InstallerBytes(cap)), true },
        { "a redirect to another host name", answer(302, "", "http://localhost:" + port + other), false },
        // (Wine's moniker reads what comes in the first packets past the announced length.)
        { "longer than announced", answer(200, InstallerBytes(5000000), "", 1000), false, 8 * 1024 * 1024 },
        { "announced past the cap", answer(200, InstallerBytes(cap + 1)), false },
        { "no length and past the cap", answer(200, "", "", -1, Send::Unlimited, 4 * cap), false },
        // The server would go on for 64 MiB: the download stops long before.
        { "without end", answer(200, "", "", -1, Send::Unlimited, 64 * 1024 * 1024), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Set(setup, c.answer);
        UpdaterUnderTest dlg(&info);
        dlg.SetDownloadLimit(c.limit);
        RunWhen([&] { return dlg.m_hWnd && dlg.IsWindowVisible(); }, [&] {
            ::SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }, 5000, [&] { dlg.EndDialog(-5); });
        RunSoon(60000, [&] { dlg.EndDialog(-6); });
        EXPECT_EQ(dlg.DoModal(), c.downloaded ? IDOK : IDCANCEL);
        CancelScheduledActions();
        EXPECT_EQ(dlg.GetLocalPath().IsEmpty(), !c.downloaded) << CStringA(dlg.GetLocalPath()).GetString();
        EXPECT_FALSE(dlg.WasAddressRefused());
    }
    EXPECT_LT(server.Sent(setup), 32u * 1024 * 1024) << "the endless body was left long before its end";
}
