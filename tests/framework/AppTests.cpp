// The application object and its entry, command routing to it, threads, the wait cursor, message-box
// ownership, menus and run-time class information.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "TempDir.h"
#include "framework/Framework.h"

namespace {

class TestApp : public CWinApp {
public:
    BOOL m_initResult = FALSE;
    bool m_ran = false;
    int m_help = 0;
    CString m_cmdLine;
    BOOL InitInstance() override
    {
        m_cmdLine = m_lpCmdLine;
        return m_initResult;
    }
    int Run() override
    {
        m_ran = true;
        return 33;
    }
    int ExitInstance() override { return 21; }

protected:
    void OnHelpCommand() { ++m_help; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelpCommand)
END_MESSAGE_MAP()

class PlainDialog : public CDialogEx {
    DECLARE_DYNAMIC(PlainDialog)
public:
    using CDialogEx::CDialogEx;
    std::function<void(PlainDialog&)> m_onInit;
    bool m_stayHidden = false;
    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        if (m_onInit)
            m_onInit(*this);
        return TRUE;
    }

protected:
    void OnWindowPosChanging(WINDOWPOS* pos)
    {
        if (m_stayHidden)
            pos->flags &= ~SWP_SHOWWINDOW;
        CDialogEx::OnWindowPosChanging(pos);
    }
    DECLARE_MESSAGE_MAP()
};

IMPLEMENT_DYNAMIC(PlainDialog, CDialogEx)

BEGIN_MESSAGE_MAP(PlainDialog, CDialogEx)
    ON_WM_WINDOWPOSCHANGING()
END_MESSAGE_MAP()

class ProbeThread : public CWinThread {
public:
    ProbeThread(AFX_THREADPROC proc, LPVOID param, std::atomic<bool>* destroyed)
        : CWinThread(proc, param), m_destroyed(destroyed) {}
    ~ProbeThread() override { *m_destroyed = true; }
    std::atomic<bool>* m_destroyed;
};

UINT AddOne(LPVOID param)
{
    ++*static_cast<std::atomic<int>*>(param);
    return 77;
}

}

TEST(WinApp, InitInstanceFalseSkipsTheMessageLoop)
{
    TestApp app;
    EXPECT_EQ(&app, AfxGetApp());
    EXPECT_STREQ(L"framework_tests", app.m_pszAppName);
    EXPECT_STREQ(L"framework_tests", AfxGetAppName());
    wchar_t cmdLine[] = L"-minimized";
    EXPECT_EQ(21, AfxWinMain(::GetModuleHandleW(nullptr), nullptr, cmdLine, SW_SHOWNORMAL));
    EXPECT_FALSE(app.m_ran);
    EXPECT_STREQ(L"-minimized", app.m_cmdLine.GetString());

    app.m_initResult = TRUE;
    EXPECT_EQ(33, AfxWinMain(::GetModuleHandleW(nullptr), nullptr, cmdLine, SW_SHOWNORMAL));
    EXPECT_TRUE(app.m_ran);
}

namespace {

// Runs the start-up probe (a program on the framework's entry, next to this test program) with the given
// text after its name, and gives its exit code and report lines.
struct ProbeRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<std::wstring> lines;
};

ProbeRun RunStartupProbe(const TempDir& dir, const std::wstring& afterName, bool quoteName = true)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring probe(self);
    probe = probe.substr(0, probe.rfind(L'\\') + 1) + L"framework_startup_probe.exe";
    std::wstring report = dir.Join(L"report.txt");
    ::DeleteFileW(report.c_str());
    ::SetEnvironmentVariableW(L"FRAMEWORK_PROBE_REPORT", report.c_str());

    std::wstring commandLine = (quoteName ? L"\"" + probe + L"\"" : probe) + afterName;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ProbeRun run;
    if (!::CreateProcessW(probe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << std::string(probe.begin(), probe.end()) << ": " << ::GetLastError();
        return run;
    }
    if (::WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the probe did not end";
        ::TerminateProcess(pi.hProcess, 99);
    }
    ::GetExitCodeProcess(pi.hProcess, &run.exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);

    std::vector<uint8_t> bytes = TempDir::ReadFile(report);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    for (size_t at = 0, end; (end = text.find(L'\n', at)) != std::wstring::npos; at = end + 1)
        run.lines.push_back(text.substr(at, end - at));
    return run;
}

struct StartupCase {
    const wchar_t* afterName;   // what follows the program's name on the command line
    bool quoteName;
    DWORD exitCode;
    std::vector<std::wstring> lines;
};

}

// The whole start-up of a real process: the static initialisers in their order around the application
// object, InitInstance with the text after the program's name exactly as it came (blanks after the name
// dropped, trailing blanks and quotes kept), the application title, the message loop only when
// InitInstance returns TRUE, and ExitInstance's code as the process's exit code.
TEST(WinApp, ProcessStartUpOrderAndCommandLine)
{
    TempDir dir(L"startup");
    ASSERT_TRUE(dir.IsValid());
    const std::wstring title = L" framework_startup_probe";
    const StartupCase cases[] = {
        { L"", true, 0, { L"init []" + title } },
        { L" -minimized", true, 0, { L"init [-minimized]" + title } },
        { L"   -MINIMIZED ", true, 0, { L"init [-MINIMIZED ]" + title } },
        { L" \"Local\\request 1\"", false, 0, { L"init [\"Local\\request 1\"]" + title } },
        { L"\t/restart", true, 0, { L"init [/restart]" + title } },
        { L" loop", true, 7, { L"init [loop]" + title, L"run" } },
        { L" dialog", true, 0, { L"init [dialog]" + title, L"main-window-cleared" } },
    };
    for (const StartupCase& c : cases) {
        ProbeRun run = RunStartupProbe(dir, c.afterName, c.quoteName);
        std::vector<std::wstring> expected = { L"static-before", L"construct", L"static-after" };
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.push_back(L"exit");
        expected.push_back(L"destroy");
        std::string label(c.afterName, c.afterName + wcslen(c.afterName));
        EXPECT_EQ(expected, run.lines) << "command line [" << label << "]";
        EXPECT_EQ(c.exitCode, run.exitCode) << "command line [" << label << "]";
    }
}

// A dialog made the main window on InitInstance's stack must not be left behind as the main window once
// it is gone (the entry looks at the main window after InitInstance returns).
TEST(WinApp, MainWindowIsForgottenWhenItsWindowGoes)
{
    CWinApp app;
    {
        DialogTemplateBuilder templ(L"Main", 100, 40);
        PlainDialog dlg;
        dlg.InitModalIndirect(templ.Get());
        dlg.m_onInit = [](PlainDialog& d) { d.EndDialog(IDOK); };
        app.m_pMainWnd = &dlg;
        EXPECT_EQ(&dlg, AfxGetMainWnd());
        EXPECT_EQ(IDOK, dlg.DoModal());
        EXPECT_EQ(nullptr, app.m_pMainWnd);
    }
    // The same for a main window that never had a window: its object going away forgets it.
    {
        CWnd never;
        app.m_pMainWnd = &never;
    }
    EXPECT_EQ(nullptr, app.m_pMainWnd);
}

TEST(WinApp, CommandsTheDialogDoesNotHandleReachTheApplication)
{
    TestApp app;
    DialogTemplateBuilder templ(L"Route", 100, 40);
    PlainDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    dlg.m_onInit = [](PlainDialog& d) {
        d.SendMessage(WM_COMMAND, MAKEWPARAM(ID_HELP, 0), 0);
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(1, app.m_help);
}

TEST(WinApp, MessageBoxOfAHiddenDialogIsTaskModalAndShown)
{
    DialogTemplateBuilder templ(L"Hidden owner", 100, 40);
    PlainDialog dlg;
    dlg.InitModalIndirect(templ.Get());
    dlg.m_stayHidden = true;
    ThreadMessageBox seen;
    bool dialogEnabledDuringBox = true;
    int answer = 0;
    RunSoon(60, [&] { answer = AfxMessageBox(L"plain text", MB_OK); dlg.EndDialog(IDOK); });
    RunSoon(300, [&] {
        auto boxes = FindThreadMessageBoxes(dlg.m_hWnd);
        ASSERT_EQ(1u, boxes.size());
        seen = boxes[0];
        dialogEnabledDuringBox = ::IsWindowEnabled(dlg.m_hWnd) != FALSE;
        PressMessageBoxButton(seen.hWnd, IDOK);
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
    CancelScheduledActions();
    EXPECT_EQ(IDOK, answer);
    EXPECT_EQ(L"plain text", seen.text);
    EXPECT_EQ(nullptr, seen.owner);          // nothing visible to own it
    EXPECT_FALSE(dialogEnabledDuringBox);    // task-modal: the hidden dialog cannot act meanwhile
    EXPECT_FALSE(seen.hasIcon);
}

TEST(WinThread, OwnerDeletesAThreadWhoseAutoDeleteIsOff)
{
    std::atomic<int> counter{ 0 };
    CWinThread* thread = AfxBeginThread(&AddOne, &counter, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, thread);
    ASSERT_NE(nullptr, thread->m_hThread);
    EXPECT_EQ(0, counter.load());   // suspended
    thread->m_bAutoDelete = FALSE;
    thread->ResumeThread();
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread->m_hThread, 5000));
    DWORD code = 0;
    ::GetExitCodeThread(thread->m_hThread, &code);
    EXPECT_EQ(77u, code);
    EXPECT_EQ(1, counter.load());
    delete thread;
}

TEST(WinThread, AutoDeleteThreadDeletesItself)
{
    std::atomic<int> counter{ 0 };
    std::atomic<bool> destroyed{ false };
    auto* thread = new ProbeThread(&AddOne, &counter, &destroyed);
    ASSERT_TRUE(thread->CreateThread());
    DWORD start = ::GetTickCount();
    while (!destroyed && ::GetTickCount() - start < 5000)
        ::Sleep(5);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(1, counter.load());
}

// A cancel signal between threads: an auto-reset event set on another thread is seen by one zero wait,
// which takes the signal; a manual-reset event stays set until it is reset.
TEST(Event, AutoResetAndManualReset)
{
    CEvent autoReset;
    ASSERT_NE(nullptr, autoReset.m_hObject);
    EXPECT_FALSE(autoReset.Lock(0));
    CWinThread* setter = AfxBeginThread([](LPVOID event) -> UINT { return static_cast<CEvent*>(event)->SetEvent() ? 0 : 1; },
                                        &autoReset, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, setter);
    setter->m_bAutoDelete = FALSE;
    setter->ResumeThread();
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(setter->m_hThread, 5000));
    delete setter;
    EXPECT_TRUE(autoReset.Lock(0));
    EXPECT_FALSE(autoReset.Lock(0));
    autoReset.SetEvent();
    autoReset.ResetEvent();
    EXPECT_FALSE(autoReset.Lock(0));

    CEvent manual(TRUE, TRUE);   // signalled from the start, manual reset
    EXPECT_TRUE(manual.Lock(0));
    EXPECT_TRUE(manual.Lock(0));
    manual.ResetEvent();
    EXPECT_FALSE(manual.Lock(0));
}

TEST(WaitCursor, FrameworkWindowsKeepTheWaitCursorUntilItEnds)
{
    DialogTemplateBuilder templ(L"Cursor", 100, 40);
    HWND dialog = CreatePlainDialog(templ.Get());
    CWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(dialog));
    HCURSOR wait = ::LoadCursorW(nullptr, IDC_WAIT);
    HCURSOR arrow = ::LoadCursorW(nullptr, IDC_ARROW);

    wnd.BeginWaitCursor();
    ::SetCursor(arrow);
    EXPECT_TRUE(::SendMessageW(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(wait, ::GetCursor());
    {
        CWaitCursor nested;   // calls nest
    }
    ::SendMessageW(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(wait, ::GetCursor());
    wnd.EndWaitCursor();
    EXPECT_EQ(0, AfxWaitCursorCount());
    ::SendMessageW(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(arrow, ::GetCursor());   // the dialog class's own cursor again
    wnd.EndWaitCursor();               // unmatched: ignored
    EXPECT_EQ(0, AfxWaitCursorCount());
    ::DestroyWindow(dialog);
}

TEST(Menu, LoadsPopupsAndEditsTheSystemMenu)
{
    CMenu menu;
    ASSERT_TRUE(menu.LoadMenu(9200));
    CMenu* popup = menu.GetSubMenu(0);
    ASSERT_NE(nullptr, popup);
    EXPECT_EQ(3, popup->GetMenuItemCount());
    EXPECT_EQ(40001u, popup->GetMenuItemID(0));
    EXPECT_EQ(40002u, popup->GetMenuItemID(2));
    CString text;
    popup->GetMenuString(40002, text, MF_BYCOMMAND);
    EXPECT_STREQ(L"&Second", text.GetString());
    EXPECT_EQ(nullptr, menu.GetSubMenu(5));

    DialogTemplateBuilder templ(L"System menu", 100, 40);
    HWND dialog = CreatePlainDialog(templ.Get());
    CWnd wnd;
    ASSERT_TRUE(wnd.SubclassWindow(dialog));
    CMenu* system = wnd.GetSystemMenu(FALSE);
    ASSERT_NE(nullptr, system);
    int before = system->GetMenuItemCount();
    system->AppendMenu(MF_SEPARATOR);
    system->AppendMenu(MF_STRING, 0x10, L"&About...");
    EXPECT_EQ(before + 2, wnd.GetSystemMenu(FALSE)->GetMenuItemCount());
    ::DestroyWindow(dialog);
    AfxDeleteTempObjects();
}

TEST(RuntimeClass, NamesAndBaseClasses)
{
    PlainDialog dlg;
    EXPECT_STREQ("PlainDialog", dlg.GetRuntimeClass()->m_lpszClassName);
    EXPECT_TRUE(dlg.IsKindOf(RUNTIME_CLASS(CDialogEx)));
    EXPECT_TRUE(dlg.IsKindOf(RUNTIME_CLASS(CDialog)));
    EXPECT_TRUE(dlg.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(dlg.IsKindOf(RUNTIME_CLASS(CMFCVisualManager)));
}

TEST(Sockets, SocketInitStartsWinsock)
{
    EXPECT_TRUE(AfxSocketInit());
    EXPECT_TRUE(AfxSocketInit());
}
