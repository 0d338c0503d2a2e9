#pragma once
// Threads, the application object, its entry and message boxes.
#include <windows.h>

#include "framework/CString.h"
#include "framework/CmdTarget.h"

class CWnd;
struct WSAData;

using AFX_THREADPROC = UINT (*)(LPVOID);

// One thread. AfxBeginThread makes a worker thread on a function; the object then deletes itself when
// the thread ends, unless m_bAutoDelete is cleared before the thread runs (create it suspended, clear the
// flag, ResumeThread) — then the owner deletes it, which closes the thread handle.
class CWinThread : public CCmdTarget {
public:
    CWinThread() = default;
    CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam) : m_pfnThreadProc(pfnThreadProc), m_pThreadParams(pParam) {}
    ~CWinThread() override;

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;
    // The main window (of the application: AfxGetMainWnd). Forgotten once its window or its object goes.
    CWnd* m_pMainWnd = nullptr;

    BOOL CreateThread(DWORD dwCreateFlags = 0, UINT nStackSize = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
    DWORD ResumeThread() { return ::ResumeThread(m_hThread); }
    DWORD SuspendThread() { return ::SuspendThread(m_hThread); }
    BOOL SetThreadPriority(int nPriority) { return ::SetThreadPriority(m_hThread, nPriority); }
    int GetThreadPriority() const { return ::GetThreadPriority(m_hThread); }
    operator HANDLE() const { return m_hThread; }

    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }
    // The thread's work when it has no thread function: InitInstance, then (when that succeeded) Run's loop.
    virtual int Run();

protected:
    AFX_THREADPROC m_pfnThreadProc = nullptr;
    LPVOID m_pThreadParams = nullptr;

private:
    static unsigned __stdcall ThreadEntry(void* self);
};

// A worker thread on pfnThreadProc(pParam); nullptr when it cannot be created.
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = THREAD_PRIORITY_NORMAL,
                           UINT nStackSize = 0, DWORD dwCreateFlags = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

constexpr DWORD AFX_RESTART_MANAGER_SUPPORT_RESTART = 0x01;
constexpr UINT ID_HELP = 0xE146;

// The application: one global object of a class derived from CWinApp. Its construction (a static
// initialiser) makes it the process's application; AfxWinMain then runs InitInstance and, only when
// that returns TRUE, the message loop (Run).
class CWinApp : public CWinThread {
public:
    explicit CWinApp(const wchar_t* lpszAppName = nullptr);
    ~CWinApp() override;

    HINSTANCE m_hInstance = nullptr;
    LPWSTR m_lpCmdLine = nullptr;       // the command line after the program's name
    int m_nCmdShow = SW_SHOWNORMAL;
    const wchar_t* m_pszAppName = nullptr;   // the title of message boxes: the executable's base name by default
    const wchar_t* m_pszExeName = nullptr;   // the executable's base name
    const wchar_t* m_pszRegistryKey = nullptr;
    // With AFX_RESTART_MANAGER_SUPPORT_RESTART, InitInstance registers the process for restart by the
    // Restart Manager (the restarted process gets "/restart" as its command line).
    DWORD m_dwRestartManagerSupportFlags = 0;

    virtual BOOL InitApplication() { return TRUE; }
    BOOL InitInstance() override;
    int ExitInstance() override;
    int Run() override;
    // Shows a message box with the application's title as caption (AfxMessageBox comes here).
    virtual int DoMessageBox(const wchar_t* lpszPrompt, UINT nType, UINT nIDPrompt);

    // Names the registry key of the framework's own profile (HKCU\Software\<key>\<application>).
    void SetRegistryKey(const wchar_t* lpszRegistryKey);

    // The framework's help command. The framework has no help engine: nothing is shown.
    void OnHelp();

    DECLARE_MESSAGE_MAP()

private:
    CString m_appName;
    CString m_exeName;
    CString m_registryKey;
    int m_exitCode = 0;
};

CWinApp* AfxGetApp();
const wchar_t* AfxGetAppName();
// The application's main window (m_pMainWnd), or nullptr.
CWnd* AfxGetMainWnd();

// The body of the program's wWinMain (framework/WinMain.cpp links one in through pellumar_framework_main).
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

// Message boxes: the text or string-table entry, the box type (MB_OK, MB_ICONEXCLAMATION, ...). The caption
// is the application's title. The box is owned by the innermost visible modal dialog (or the visible main
// window); with none it is task-modal. Returns the button pressed (IDOK, ...), 0 when it could not be shown.
int AfxMessageBox(const wchar_t* lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));

// Windows Sockets 2.2 for the process (cleaned up at exit); FALSE when it cannot be started.
BOOL AfxSocketInit(WSAData* lpwsaData = nullptr);

// Stand-ins for the class library's shell-namespace and visual-style managers. The framework has no
// shell-browsing or themed frame controls, so they hold nothing and change nothing; they exist so that
// start-up code can make the usual set-up calls.
class CShellManager {
public:
    CShellManager() = default;
};

class CMFCVisualManager : public CObject {
    DECLARE_DYNAMIC(CMFCVisualManager)
public:
    static void SetDefaultManager(const CRuntimeClass* pRTI);
    static const CRuntimeClass* GetDefaultManager();
};

class CMFCVisualManagerWindows : public CMFCVisualManager {
    DECLARE_DYNAMIC(CMFCVisualManagerWindows)
};
