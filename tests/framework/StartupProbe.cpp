// A small program on the framework's own entry, started by AppTests as a real process. It appends what it
// sees, one line per event, to the file named by the environment variable FRAMEWORK_PROBE_REPORT:
//   static-before, construct, static-after   the static initialisers around the application object
//   init [<command line>] <app title>        InitInstance, with m_lpCmdLine and the application title
//   main-window-cleared                      a dialog made the main window ended and was forgotten
//   run, exit, destroy                       the message loop, ExitInstance, the application's destructor
// Command line "loop" makes InitInstance post WM_QUIT(7) and return TRUE; "dialog" runs a dialog as the
// main window first (as a dialog-based program does); anything else returns FALSE at once.
#include <cstdio>
#include <string>

#include "framework/Framework.h"

namespace {

void Report(const std::wstring& line)
{
    wchar_t path[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"FRAMEWORK_PROBE_REPORT", path, MAX_PATH))
        return;
    if (FILE* file = _wfopen(path, L"ab")) {
        std::wstring text = line + L"\n";
        fwrite(text.data(), sizeof(wchar_t), text.size(), file);
        fclose(file);
    }
}

UINT ReportedMessage(const wchar_t* event)
{
    Report(event);
    return ::RegisterWindowMessageW(event);
}

// A dialog from memory that closes itself as soon as it is up.
class SelfEndingDialog : public CDialogEx {
public:
    SelfEndingDialog()
    {
        m_templ.style = WS_POPUP | WS_CAPTION | DS_MODALFRAME;
        m_templ.cx = 80;
        m_templ.cy = 30;
        InitModalIndirect(reinterpret_cast<const DLGTEMPLATE*>(&m_templ));
    }
    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        PostMessage(WM_COMMAND, IDOK);
        return TRUE;
    }

private:
    // Header, then empty menu, class and title (a template without controls and without a font).
    struct alignas(4) {
        DWORD style, exStyle;
        WORD items;
        short x, y, cx, cy;
        WORD menu, windowClass, title;
    } m_templ{};
};

}

UINT g_before = ReportedMessage(L"static-before");

class ProbeApp : public CWinApp {
public:
    ProbeApp() { Report(AfxGetApp() == this ? L"construct" : L"construct-not-registered"); }
    ~ProbeApp() override { Report(L"destroy"); }

    BOOL InitInstance() override
    {
        CWinApp::InitInstance();
        std::wstring cmdLine = m_lpCmdLine ? m_lpCmdLine : L"(null)";
        Report(L"init [" + cmdLine + L"] " + m_pszAppName);
        if (cmdLine == L"loop") {
            ::PostQuitMessage(7);
            return TRUE;
        }
        if (cmdLine == L"dialog") {
            SelfEndingDialog dlg;
            m_pMainWnd = &dlg;
            dlg.DoModal();
            if (!m_pMainWnd)
                Report(L"main-window-cleared");
        }
        return FALSE;
    }
    int Run() override
    {
        Report(L"run");
        return CWinApp::Run();
    }
    int ExitInstance() override
    {
        Report(L"exit");
        return CWinApp::ExitInstance();
    }
};

ProbeApp theApp;

UINT g_after = ReportedMessage(L"static-after");
