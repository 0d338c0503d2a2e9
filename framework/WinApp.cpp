#include <winsock2.h>

#include "framework/WinApp.h"

#include <process.h>

#include <algorithm>
#include <cstdlib>

#include "framework/Dialog.h"
#include "framework/Module.h"
#include "framework/TempObjects.h"
#include "framework/Wnd.h"

namespace {
CWinApp* g_app = nullptr;
const CRuntimeClass* g_visualManager = nullptr;

CString ExecutableBaseName();

// A message box owned by the innermost visible modal dialog, else by the visible main window; with
// neither, task-modal (every window of the thread is disabled while it shows).
int ShowMessageBox(const wchar_t* prompt, UINT type, const wchar_t* caption, CWnd* mainWnd)
{
    HWND owner = nullptr;
    CDialog* dlg = AfxGetModalDialog();
    if (dlg && dlg->m_hWnd && ::IsWindowVisible(dlg->m_hWnd))
        owner = dlg->m_hWnd;
    if (!owner && mainWnd && mainWnd->m_hWnd && ::IsWindowVisible(mainWnd->m_hWnd))
        owner = mainWnd->m_hWnd;
    if (owner) {
        HWND popup = ::GetLastActivePopup(owner);
        if (popup && ::IsWindowVisible(popup))
            owner = popup;
    } else {
        type |= MB_TASKMODAL;
    }
    return ::MessageBoxW(owner, prompt ? prompt : L"", caption, type);
}

CString ExecutableBaseName()
{
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    CString name(path, static_cast<int>(length));
    int slash = (std::max)(name.ReverseFind(L'\\'), name.ReverseFind(L'/'));
    name = name.Mid(slash + 1);
    int dot = name.ReverseFind(L'.');
    if (dot > 0)
        name = name.Left(dot);
    return name;
}
}

// ---- threads ----------------------------------------------------------------------------------------

CWinThread::~CWinThread()
{
    if (m_hThread)
        ::CloseHandle(m_hThread);
}

unsigned __stdcall CWinThread::ThreadEntry(void* self)
{
    auto* thread = static_cast<CWinThread*>(self);
    UINT result;
    if (thread->m_pfnThreadProc)
        result = thread->m_pfnThreadProc(thread->m_pThreadParams);
    else
        result = thread->InitInstance() ? static_cast<UINT>(thread->Run()) : static_cast<UINT>(thread->ExitInstance());
    if (thread->m_bAutoDelete)
        delete thread;
    return result;
}

BOOL CWinThread::CreateThread(DWORD dwCreateFlags, UINT nStackSize, LPSECURITY_ATTRIBUTES lpSecurityAttrs)
{
    if (m_hThread)
        return FALSE;
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(lpSecurityAttrs, nStackSize, &ThreadEntry, this,
                                      CREATE_SUSPENDED, &id);
    if (!handle)
        return FALSE;
    m_hThread = reinterpret_cast<HANDLE>(handle);
    m_nThreadID = id;
    if (!(dwCreateFlags & CREATE_SUSPENDED))
        ::ResumeThread(m_hThread);
    return TRUE;
}

int CWinThread::Run()
{
    MSG msg;
    for (;;) {
        if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE))
            AfxDeleteTempObjects();
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        if (!CWnd::WalkPreTranslateTree(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return ExitInstance();
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority, UINT nStackSize,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs)
{
    if (!pfnThreadProc)
        return nullptr;
    auto* thread = new CWinThread(pfnThreadProc, pParam);
    if (!thread->CreateThread(CREATE_SUSPENDED, nStackSize, lpSecurityAttrs)) {
        delete thread;
        return nullptr;
    }
    thread->SetThreadPriority(nPriority);
    if (!(dwCreateFlags & CREATE_SUSPENDED))
        thread->ResumeThread();   // with auto-delete the object may be gone once the thread ends
    return thread;
}

// ---- the application --------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
END_MESSAGE_MAP()

CWinApp::CWinApp(const wchar_t* lpszAppName)
{
    m_exeName = ExecutableBaseName();
    m_appName = lpszAppName ? CString(lpszAppName) : m_exeName;
    m_pszAppName = m_appName.GetString();
    m_pszExeName = m_exeName.GetString();
    m_hInstance = ::GetModuleHandleW(nullptr);
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = nullptr;
}

BOOL CWinApp::InitInstance()
{
    if (m_dwRestartManagerSupportFlags & AFX_RESTART_MANAGER_SUPPORT_RESTART)
        ::RegisterApplicationRestart(L"/restart", 0);
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return m_exitCode;
}

int CWinApp::Run()
{
    MSG msg;
    for (;;) {
        if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE))
            AfxDeleteTempObjects();
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            m_exitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1)
            break;
        if (!CWnd::WalkPreTranslateTree(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return ExitInstance();
}

int CWinApp::DoMessageBox(const wchar_t* lpszPrompt, UINT nType, UINT)
{
    return ShowMessageBox(lpszPrompt, nType, m_pszAppName, m_pMainWnd);
}

void CWinApp::SetRegistryKey(const wchar_t* lpszRegistryKey)
{
    m_registryKey = lpszRegistryKey;
    m_pszRegistryKey = m_registryKey.GetString();
}

void CWinApp::OnHelp()
{
}

CWinApp* AfxGetApp()
{
    return g_app;
}

const wchar_t* AfxGetAppName()
{
    return g_app ? g_app->m_pszAppName : nullptr;
}

CWnd* AfxGetMainWnd()
{
    return g_app ? g_app->m_pMainWnd : nullptr;
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow)
{
    CWinApp* app = AfxGetApp();
    if (!app)
        return -1;
    app->m_hInstance = hInstance;
    FrameworkSetInstanceHandle(hInstance);
    app->m_lpCmdLine = lpCmdLine ? lpCmdLine : const_cast<LPWSTR>(L"");
    app->m_nCmdShow = nCmdShow;
    if (!app->InitApplication())
        return app->ExitInstance();
    if (!app->InitInstance()) {
        if (app->m_pMainWnd && app->m_pMainWnd->m_hWnd)
            app->m_pMainWnd->DestroyWindow();
        return app->ExitInstance();
    }
    return app->Run();
}

int AfxMessageBox(const wchar_t* lpszText, UINT nType, UINT nIDHelp)
{
    if (CWinApp* app = AfxGetApp())
        return app->DoMessageBox(lpszText, nType, nIDHelp);
    static const CString caption = ExecutableBaseName();
    return ShowMessageBox(lpszText, nType, caption, nullptr);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    CString text;
    text.LoadString(nIDPrompt);
    return AfxMessageBox(text.GetString(), nType, nIDHelp == static_cast<UINT>(-1) ? nIDPrompt : nIDHelp);
}

BOOL AfxSocketInit(WSAData* lpwsaData)
{
    static bool started = false;
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), lpwsaData ? lpwsaData : &data) != 0)
        return FALSE;
    if (!started) {
        started = true;
        std::atexit([] { ::WSACleanup(); });
    } else {
        ::WSACleanup();   // one start is enough; keep the count at one
    }
    return TRUE;
}

IMPLEMENT_DYNAMIC(CMFCVisualManager, CObject)
IMPLEMENT_DYNAMIC(CMFCVisualManagerWindows, CMFCVisualManager)

void CMFCVisualManager::SetDefaultManager(const CRuntimeClass* pRTI)
{
    g_visualManager = pRTI;
}

const CRuntimeClass* CMFCVisualManager::GetDefaultManager()
{
    return g_visualManager;
}
