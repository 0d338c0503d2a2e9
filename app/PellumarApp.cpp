#include <winsock2.h>

#include "app/PellumarApp.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "app/FontOccManager.h"
#include "app/RegisteredMessages.h"
#include "app/ShellRequest.h"
#include "app/StartupDialogs.h"
#include "app/res/resource.h"
#include "engine/RecycleBin.h"
#include "libcommon/ProductNames.h"

namespace {

// The program's own windows, for as long as the process runs.
CStartupDialogs g_programDialogs;

// The control-container hook, one per process, kept until the process ends.
CFontOccManager& FontOccManager()
{
    static CFontOccManager manager;
    return manager;
}

// The number of items the shell's recycle bin of every drive holds; false when the shell cannot tell.
bool CountShellRecycleBinItems(unsigned long long& items)
{
    SHQUERYRBINFO info{};
    info.cbSize = sizeof(info);
    if (FAILED(SHQueryRecycleBinW(nullptr, &info)))
        return false;
    items = static_cast<unsigned long long>(info.i64NumItems);
    return true;
}

// Takes the named mutex into held; true when this process is the first to hold it.
bool TakeInstanceMutex(const wchar_t* name, HANDLE& held)
{
    held = CreateMutexW(nullptr, FALSE, name);
    return held && GetLastError() != ERROR_ALREADY_EXISTS;
}

}

BEGIN_MESSAGE_MAP(CPellumarApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CPellumarApp::CPellumarApp() : m_dialogs(&g_programDialogs)
{
    m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

CPellumarApp::~CPellumarApp() = default;

BOOL CPellumarApp::InitInstance()
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    CWinApp::InitInstance();
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    if (!AfxSocketInit()) {
        AfxMessageBox(IDS_SOCKETS_INIT_FAILED, MB_OK);
        return FALSE;
    }

    const CString commandLine(m_lpCmdLine);
    const StartMode mode = ChooseStartMode(commandLine);

    // The request is read whole, checked and acknowledged before any window shows; a refused one changes
    // nothing (no mutex is taken).
    ShellRequest request;
    bool binListedWhole = true;
    if (mode == StartMode::Request) {
        if (ReadShellRequest(commandLine, request) != RequestReadResult::Read) {
            AfxMessageBox(IDS_SHARED_MEMORY_ERROR, MB_OK);
            return FALSE;
        }
        if (request.m_recycleBin)
            binListedWhole = CollectRecycleBinFiles(request.m_files, request.m_folders) != 0;
    }

    AfxEnableControlContainer(&FontOccManager());
    auto shellManager = std::make_unique<CShellManager>();
    CMFCVisualManager::SetDefaultManager(RUNTIME_CLASS(CMFCVisualManagerWindows));
    SetRegistryKey(L"Local AppWizard-Generated Applications");

    if (CountDriveRoots(request.m_folders) > 1) {
        AfxMessageBox(IDS_MULTIPLE_DRIVES, MB_ICONEXCLAMATION);
        return FALSE;
    }

    if (mode == StartMode::Request)
        RunRequest(request, binListedWhole);
    else
        RunSettingsMode(mode == StartMode::SettingsWindowHidden);
    return FALSE;
}

void CPellumarApp::RunRequest(ShellRequest& request, bool binListedWhole)
{
    if (!TakeInstanceMutex(kRequestMutexName, m_hInstanceMutex)) {
        AfxMessageBox(IDS_ONE_INSTANCE_ONLY, MB_ICONEXCLAMATION);
        return;
    }
    const SingleItem single = GetSingleItem(request.m_files, request.m_folders);
    const bool nothingListed = request.m_files.empty() && request.m_folders.empty();

    if (request.m_recycleBin) {
        // A bin that the listing finds empty may still hold items the shell counts (a bin the listing
        // cannot see, such as the desktop's own trash): the user is told, though nothing is asked or shredded.
        if (!nothingListed) {
            if (m_dialogs->ConfirmRecycleBin() != IDOK)
                return;
            // The progress dialog has ended and is destroyed, its jobs waited for, before the bin is
            // emptied; the shell destroys whatever is left in it, so it is emptied only when everything in
            // it was listed and shredded.
            if (m_dialogs->RunDeleteItems(&request.m_files, &request.m_folders, TRUE) != IDOK)
                return;
        }
        // A recycle folder passed over was not shredded. What was shredded is gone, so whatever the shell
        // still counts in its bin was not shredded either. The bin is then left as it is.
        unsigned long long left = 0;
        if (!binListedWhole || !CountShellRecycleBinItems(left) || left != 0) {
            AfxMessageBox(IDS_BIN_NOT_EMPTIED, MB_ICONEXCLAMATION);
            return;
        }
        if (!nothingListed)
            SHEmptyRecycleBinW(nullptr, nullptr, SHERB_NOCONFIRMATION | SHERB_NOPROGRESSUI | SHERB_NOSOUND);
        return;
    }
    if (nothingListed)
        return;

    const size_t items = request.m_files.size() + request.m_folders.size();
    const UINT count = items > UINT_MAX ? UINT_MAX : static_cast<UINT>(items);
    if (m_dialogs->ConfirmDeletion(CString(single.m_path), single.m_isFolder ? TRUE : FALSE, count,
                                   request.m_freeSpace ? TRUE : FALSE) != IDOK)
        return;
    if (request.m_freeSpace)
        m_dialogs->RunCleanFreeSpace(CString(request.m_folders.front()));
    else
        m_dialogs->RunDeleteItems(&request.m_files, &request.m_folders, FALSE);
}

void CPellumarApp::RunSettingsMode(bool startHidden)
{
    if (TakeInstanceMutex(kSettingsWindowMutexName, m_hInstanceMutex))
        m_dialogs->RunSettingsWindow(this, startHidden);
    else
        ShowRunningSettingsWindow();
}

void ShowRunningSettingsWindow()
{
    // The settings window is a dialog; another program's window of the same title is not it.
    HWND window = FindWindowW(L"#32770", kProductTitle);
    if (!window)
        return;
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, g_uMsgShowMainWindow, 0, 0, SMTO_ABORTIFHUNG, kHandOverTimeoutMs, &answer);
    // Asynchronous: a window that stopped answering must not hold this process.
    ShowWindowAsync(window, SW_SHOWNORMAL);
    SetForegroundWindow(window);
}
