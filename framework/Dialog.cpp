#include "framework/Dialog.h"

#include "framework/Module.h"
#include "framework/TempObjects.h"
#include "framework/WinApp.h"

namespace {
COccManager g_defaultOccManager;
COccManager* g_occManager = nullptr;

thread_local CDialog* t_modalTop = nullptr;        // innermost running modal dialog
thread_local int t_loopDepth = 0;                  // nesting of the framework's message loops
thread_local CWnd* t_creating = nullptr;           // dialog object waiting for its window
thread_local HHOOK t_creationHook = nullptr;

// Routes the dialog's window through its object from its very first message on (the first window that
// is created while the hook is set is the dialog itself).
LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam)
{
    HHOOK hook = t_creationHook;
    if (code == HCBT_CREATEWND && t_creating) {
        CWnd* wnd = t_creating;
        t_creating = nullptr;
        wnd->SubclassWindow(reinterpret_cast<HWND>(wParam));
    }
    return ::CallNextHookEx(hook, code, wParam, lParam);
}

// Everything is handled through the window procedure (the object's message map); the dialog procedure
// leaves every message to the dialog manager's default.
INT_PTR CALLBACK FrameworkDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd)
        return;
    if (!rControl.SubclassDlgItem(static_cast<UINT>(nIDC), pDX->m_pDlgWnd))
        pDX->m_bFailed = TRUE;
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value)
{
    HWND control = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!control) {
        pDX->m_bFailed = TRUE;
        return;
    }
    if (pDX->m_bSaveAndValidate)
        value = static_cast<int>(::SendMessageW(control, BM_GETCHECK, 0, 0));
    else
        ::SendMessageW(control, BM_SETCHECK, static_cast<WPARAM>(value), 0);
}

const DLGTEMPLATE* COccManager::PreCreateDialog(_AFX_OCC_DIALOG_INFO* pOccDialogInfo, const DLGTEMPLATE* pOrigTemplate)
{
    if (pOccDialogInfo)
        pOccDialogInfo->m_pNewTemplate = nullptr;
    return pOrigTemplate;
}

void COccManager::PostCreateDialog(_AFX_OCC_DIALOG_INFO* pOccDialogInfo)
{
    if (pOccDialogInfo && pOccDialogInfo->m_pNewTemplate) {
        HGLOBAL handle = ::GlobalHandle(pOccDialogInfo->m_pNewTemplate);
        if (handle) {
            ::GlobalUnlock(handle);
            ::GlobalFree(handle);
        }
        pOccDialogInfo->m_pNewTemplate = nullptr;
    }
}

void AfxEnableControlContainer(COccManager* pManager)
{
    g_occManager = pManager ? pManager : &g_defaultOccManager;
}

COccManager* AfxGetOccManager()
{
    return g_occManager;
}

CDialog* AfxGetModalDialog()
{
    return t_modalTop;
}

IMPLEMENT_DYNAMIC(CDialog, CObject)
IMPLEMENT_DYNAMIC(CDialogEx, CDialog)

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_MESSAGE(WM_INITDIALOG, HandleInitDialog)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_lpszTemplateName(MAKEINTRESOURCEW(nIDTemplate)), m_pParentWnd(pParentWnd)
{
}

CDialog::CDialog(const wchar_t* lpszTemplateName, CWnd* pParentWnd)
    : m_lpszTemplateName(lpszTemplateName), m_pParentWnd(pParentWnd)
{
}

CDialog::~CDialog()
{
    if (m_hWnd && FromHandlePermanent(m_hWnd) == this) {
        HWND hWnd = m_hWnd;
        UnsubclassWindow();
        ::DestroyWindow(hWnd);
    }
}

BOOL CDialog::InitModalIndirect(const DLGTEMPLATE* lpDialogTemplate, CWnd* pParentWnd)
{
    m_lpDialogTemplate = lpDialogTemplate;
    m_lpszTemplateName = nullptr;
    m_nIDTemplate = 0;
    m_pParentWnd = pParentWnd;
    return lpDialogTemplate != nullptr;
}

HWND CDialog::ChooseOwner() const
{
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!owner) {
        CWnd* main = AfxGetMainWnd();
        owner = main ? main->m_hWnd : nullptr;
    }
    // A pop-up is owned by a top-level window.
    while (owner && (::GetWindowLongPtrW(owner, GWL_STYLE) & WS_CHILD))
        owner = ::GetParent(owner);
    if (owner && (!::IsWindow(owner) || owner == m_hWnd))
        owner = nullptr;
    return owner;
}

INT_PTR CDialog::DoModal()
{
    if (m_hWnd)
        return -1;   // already running
    HINSTANCE resources = FrameworkResourceHandle();
    const DLGTEMPLATE* templ = m_lpDialogTemplate;
    if (!templ && m_lpszTemplateName) {
        HRSRC found = ::FindResourceW(resources, m_lpszTemplateName, MAKEINTRESOURCEW(5) /* RT_DIALOG */);
        HGLOBAL loaded = found ? ::LoadResource(resources, found) : nullptr;
        templ = loaded ? static_cast<const DLGTEMPLATE*>(::LockResource(loaded)) : nullptr;
    }
    if (!templ)
        return -1;

    _AFX_OCC_DIALOG_INFO occInfo;
    COccManager* occ = AfxGetOccManager();
    const DLGTEMPLATE* createFrom = occ ? occ->PreCreateDialog(&occInfo, templ) : templ;
    if (!createFrom)
        createFrom = templ;

    HWND owner = ChooseOwner();
    bool ownerDisabled = false;
    if (owner && ::IsWindowEnabled(owner)) {
        ::EnableWindow(owner, FALSE);
        ownerDisabled = true;
    }

    m_nModalResult = -1;
    m_continueModal = true;
    m_outerModal = t_modalTop;
    t_modalTop = this;

    CWnd* previousCreating = t_creating;
    HHOOK previousHook = t_creationHook;
    t_creating = this;
    t_creationHook = ::SetWindowsHookExW(WH_CBT, &CreationHook, nullptr, ::GetCurrentThreadId());
    HWND created = ::CreateDialogIndirectParamW(resources, createFrom, owner, &FrameworkDialogProc, 0);
    if (t_creationHook)
        ::UnhookWindowsHookEx(t_creationHook);
    t_creationHook = previousHook;
    t_creating = previousCreating;

    if (occ)
        occ->PostCreateDialog(&occInfo);

    if (!created || !m_hWnd) {
        if (created)
            ::DestroyWindow(created);
        m_continueModal = false;
        m_nModalResult = -1;
    } else if (m_continueModal) {
        RunModalLoop();
    }

    t_modalTop = m_outerModal;
    m_outerModal = nullptr;
    m_continueModal = false;

    if (m_hWnd) {
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
    }
    if (ownerDisabled)
        ::EnableWindow(owner, TRUE);
    if (owner && m_hWnd && ::GetActiveWindow() == m_hWnd)
        ::SetActiveWindow(owner);
    if (m_hWnd)
        ::DestroyWindow(m_hWnd);   // WM_NCDESTROY forgets the window
    return m_nModalResult;
}

void CDialog::RunModalLoop()
{
    ++t_loopDepth;
    bool showOnIdle = true;
    while (m_continueModal) {
        MSG msg;
        if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            // Idle: show a dialog still invisible once, and drop the temporary wrappers when no loop of
            // ours runs around this one (no handler can be holding them then).
            if (showOnIdle) {
                showOnIdle = false;
                if (m_hWnd && !(GetStyle() & WS_VISIBLE)) {
                    ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
                    ::UpdateWindow(m_hWnd);
                }
                continue;   // showing may have queued messages
            }
            if (t_loopDepth == 1)
                AfxDeleteTempObjects();
            if (!m_continueModal)
                break;
        }
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            // WM_QUIT: end this loop and hand the quit on to the loops around it.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            if (m_continueModal) {
                m_continueModal = false;
                m_nModalResult = -1;
            }
            break;
        }
        if (got == -1)
            break;
        if (!CWnd::WalkPreTranslateTree(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    --t_loopDepth;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    if (m_continueModal) {
        m_continueModal = false;
        if (m_hWnd)
            ::PostMessageW(m_hWnd, WM_NULL, 0, 0);   // wakes the loop if it waits for a message
    }
    if (m_hWnd)
        ::EndDialog(m_hWnd, nResult);   // hides the dialog and gives activation back
}

LRESULT CDialog::HandleInitDialog(WPARAM, LPARAM)
{
    return OnInitDialog();
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::PreTranslateMessage(MSG* pMsg)
{
    if (!m_hWnd)
        return FALSE;
    if (pMsg->hwnd != m_hWnd && !::IsChild(m_hWnd, pMsg->hwnd))
        return FALSE;
    return ::IsDialogMessageW(m_hWnd, pMsg);
}

BOOL CDialog::OnCmdMsg(UINT nID, int nCode, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (CWnd::OnCmdMsg(nID, nCode, wParam, lParam, pResult))
        return TRUE;
    CWinApp* app = AfxGetApp();
    return app ? app->OnCmdMsg(nID, nCode, wParam, lParam, pResult) : FALSE;
}

void CDialog::PostNcDestroy()
{
    // A modal loop whose window went away ends with IDABORT.
    if (m_continueModal) {
        m_continueModal = false;
        m_nModalResult = IDABORT;
    }
}
