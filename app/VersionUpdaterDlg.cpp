// The update dialog and its download thread.
#include "app/VersionUpdaterDlg.h"

#include <urlmon.h>

#include "app/UpdateFile.h"
#include "app/res/resource.h"

namespace {

// The Content-Length of raw response headers ("Name: value" lines). False when there is none; a value
// that is not a plain decimal number is taken as larger than any cap.
bool AnnouncedLength(const wchar_t* headers, ULONGLONG* length)
{
    static const wchar_t name[] = L"content-length:";
    const size_t nameLength = wcslen(name);
    for (const wchar_t* line = headers; line && *line;) {
        const wchar_t* end = wcschr(line, L'\n');
        const size_t lineLength = end ? static_cast<size_t>(end - line) : wcslen(line);
        if (lineLength >= nameLength && _wcsnicmp(line, name, nameLength) == 0) {
            const wchar_t* p = line + nameLength;
            const wchar_t* stop = line + lineLength;
            while (p < stop && (*p == L' ' || *p == L'\t'))
                ++p;
            ULONGLONG value = 0;
            bool digits = false, plain = true;
            for (; p < stop && *p != L'\r'; ++p) {
                if (*p < L'0' || *p > L'9' || value > (~0ULL - 9) / 10) {
                    plain = false;
                    break;
                }
                value = value * 10 + static_cast<ULONGLONG>(*p - L'0');
                digits = true;
            }
            *length = plain && digits ? value : ~0ULL;
            return true;
        }
        line = end ? end + 1 : nullptr;
    }
    return false;
}

// The download's status callback: reports progress by value to the dialog, aborts once the dialog let
// go, and records the HTTP status (URL monikers report success for an error page too). Lives on the
// download thread's stack for one download; Release never deletes it.
class CBSCallbackImpl : public IBindStatusCallback, public IHttpNegotiate {
public:
    explicit CBSCallbackImpl(DownloadTask* task) : m_task(task) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback))
            *ppv = static_cast<IBindStatusCallback*>(this);
        else if (IsEqualIID(riid, IID_IHttpNegotiate))
            *ppv = static_cast<IHttpNegotiate*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refCount)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&m_refCount)); }

    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return S_OK; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG status, LPCWSTR text) override
    {
        bool accepted = true;
        switch (status) {
        case BINDSTATUS_REDIRECTING:
            accepted = m_task->AcceptRedirect(text);
            break;
        case BINDSTATUS_SENDINGREQUEST:
            accepted = m_task->AcceptRequest();
            break;
        case BINDSTATUS_BEGINDOWNLOADDATA:
        case BINDSTATUS_DOWNLOADINGDATA:
        case BINDSTATUS_ENDDOWNLOADDATA:
            accepted = m_task->AcceptProgress(progress);
            break;
        default:
            break;
        }
        m_task->Post(CVersionUpdaterDlg::WM_DOWNLOAD_PROGRESS, progress, static_cast<LPARAM>(progressMax));
        if (!accepted || m_task->IsCancelled())
            return E_ABORT;
        return S_OK;
    }
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override
    {
        if (additionalHeaders)
            *additionalHeaders = nullptr;
        return S_OK;
    }
    STDMETHODIMP OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR, LPWSTR* additionalHeaders) override
    {
        if (additionalHeaders)
            *additionalHeaders = nullptr;
        m_task->SetHttpStatus(responseCode);
        ULONGLONG length = 0;
        if (AnnouncedLength(responseHeaders, &length) && !m_task->AcceptLength(length))
            return E_ABORT;
        return S_OK;
    }

private:
    LONG m_refCount = 1;
    DownloadTask* m_task;
};

}

// ---- the shared task ----------------------------------------------------------------------------------

DownloadTask::DownloadTask(HWND dialog, const CString& url, const CString& host, ULONG maxBytes)
    : strUrl(url), strHost(host), maxBytes(maxBytes < kMaxBytes ? maxBytes : kMaxBytes),
      hCancelEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_hDialog(dialog)
{
}

DownloadTask::~DownloadTask()
{
    if (hCancelEvent)
        ::CloseHandle(hCancelEvent);
}

void DownloadTask::Detach()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_hDialog = nullptr;
    }
    if (hCancelEvent)
        ::SetEvent(hCancelEvent);
}

bool DownloadTask::IsFinished() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_finished;
}

CString DownloadTask::LocalPath() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_strLocalPath;
}

bool DownloadTask::Post(UINT message, WPARAM wParam, LPARAM lParam)
{
    // Posting under the lock: once Detach has returned, nothing more reaches the dialog's window (whose
    // handle may by then name another window).
    std::lock_guard<std::mutex> hold(m_lock);
    return m_hDialog && ::PostMessageW(m_hDialog, message, wParam, lParam);
}

bool DownloadTask::IsCancelled() const
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_hDialog)
            return true;
    }
    return hCancelEvent && ::WaitForSingleObject(hCancelEvent, 0) == WAIT_OBJECT_0;
}

void DownloadTask::Finish(const CString& localPath)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_strLocalPath = localPath;
    m_finished = true;
    if (m_hDialog)
        ::PostMessageW(m_hDialog, CVersionUpdaterDlg::WM_DOWNLOAD_FINISHED, 0, 0);
}

void DownloadTask::SetHttpStatus(DWORD status)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_httpStatus = status;
}

DWORD DownloadTask::HttpStatus() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_httpStatus;
}

bool DownloadTask::AcceptRedirect(const wchar_t* target)
{
    // A redirect goes only where the first address could have gone.
    std::lock_guard<std::mutex> hold(m_lock);
    if (!target || !IsAllowedDownloadUrl(target, strHost))
        m_refused = true;
    else
        ++m_redirects;
    return !m_refused;
}

bool DownloadTask::AcceptRequest()
{
    // A request beyond the first that no checked redirect announced went to an address nobody checked.
    std::lock_guard<std::mutex> hold(m_lock);
    if (++m_requests > 1 + m_redirects)
        m_refused = true;
    return !m_refused;
}

bool DownloadTask::AcceptLength(ULONGLONG announced)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_announced = announced;
    m_hasAnnounced = true;
    if (announced > maxBytes)
        m_refused = true;
    return !m_refused;
}

bool DownloadTask::AcceptProgress(ULONGLONG received)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (received > maxBytes || (m_hasAnnounced && received > m_announced))
        m_refused = true;
    return !m_refused;
}

bool DownloadTask::AcceptsFileSize(ULONGLONG size) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return !m_refused && size <= maxBytes && (!m_hasAnnounced || size == m_announced);
}

UINT DownloadThreadProc(LPVOID param)
{
    std::unique_ptr<std::shared_ptr<DownloadTask>> hold(static_cast<std::shared_ptr<DownloadTask>*>(param));
    DownloadTask* task = hold->get();
    CBSCallbackImpl callback(task);
    wchar_t buffer[MAX_PATH] = {};
    HRESULT result = ::URLDownloadToCacheFileW(nullptr, task->strUrl, buffer, MAX_PATH, 0, &callback);
    // Only a complete 200 answer counts: URL monikers report S_OK for an error page as well. Nor does a
    // file count that is longer or shorter than announced, or past the cap: progress reports can come
    // too seldom to stop every such transfer in time.
    CString localPath;
    if (SUCCEEDED(result) && task->HttpStatus() == HTTP_STATUS_OK && !task->IsCancelled()) {
        buffer[MAX_PATH - 1] = L'\0';
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (::GetFileAttributesExW(buffer, GetFileExInfoStandard, &data) &&
            task->AcceptsFileSize((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow))
            localPath = buffer;
    }
    task->Finish(localPath);
    return 0;
}

// ---- the dialog ---------------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CVersionUpdaterDlg, CDialogEx)
    ON_BN_CLICKED(IDOK, OnUpgrade)
    ON_MESSAGE(WM_DOWNLOAD_FINISHED, OnDownloadFinished)
    ON_MESSAGE(WM_DOWNLOAD_PROGRESS, OnDownloadProgress)
    ON_BN_CLICKED(IDCANCEL, OnCancelButton)
    ON_BN_CLICKED(IDC_UPDATE_REMIND_LATER, OnRemindLater)
    ON_WM_DESTROY()
END_MESSAGE_MAP()

CVersionUpdaterDlg::CVersionUpdaterDlg(const CUpdateInfo* info) : CDialogEx(IDD), m_pInfo(info)
{
}

CVersionUpdaterDlg::~CVersionUpdaterDlg()
{
    if (m_task)
        m_task->Detach();
    if (m_waitCursor)
        EndWaitCursor();
}

void CVersionUpdaterDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_UPDATE_DONT_SHOW, m_chkDontShowAgain);
    DDX_Control(pDX, IDC_UPDATE_PROGRESS, m_progressCtrl);
    DDX_Control(pDX, IDC_UPDATE_FEATURES, m_listFeatures);
}

BOOL CVersionUpdaterDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    ShowDownloadLayout(false);
    // The close box and Alt+F4 do nothing; Escape still reaches Cancel.
    if (CMenu* system = GetSystemMenu(FALSE))
        system->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    // Each line goes on top: the last feed line ends up first (inserted lines are not sorted).
    if (m_pInfo)
        for (const CString& line : m_pInfo->m_features)
            m_listFeatures.InsertString(0, line);
    return TRUE;
}

void CVersionUpdaterDlg::ShowDownloadLayout(bool downloading)
{
    const int offerControls[] = { IDC_UPDATE_FEATURES_LABEL, IDC_UPDATE_DETECTED, IDC_UPDATE_DONT_SHOW, IDOK,
                                  IDC_UPDATE_REMIND_LATER, IDC_UPDATE_FEATURES };
    for (int id : offerControls)
        ::ShowWindow(::GetDlgItem(m_hWnd, id), downloading ? SW_HIDE : SW_SHOW);
    ::ShowWindow(::GetDlgItem(m_hWnd, IDC_UPDATE_PROGRESS), downloading ? SW_SHOW : SW_HIDE);
    if (!downloading)
        return;
    // Two thirds of the height, top-left corner kept; Cancel 70 pixels up.
    CRect window;
    GetWindowRect(&window);
    MoveWindow(window.left, window.top, window.Width(), 2 * window.Height() / 3, TRUE);
    HWND cancel = ::GetDlgItem(m_hWnd, IDCANCEL);
    CRect button;
    ::GetWindowRect(cancel, &button);
    ScreenToClient(&button);
    ::MoveWindow(cancel, button.left, button.top - 70, button.Width(), button.Height(), TRUE);
}

void CVersionUpdaterDlg::EndDownloadState()
{
    if (m_waitCursor) {
        m_waitCursor = false;
        EndWaitCursor();
    }
}

void CVersionUpdaterDlg::OnUpgrade()
{
    if (m_task)
        return;   // one download at a time (Enter still reaches this while Upgrade is hidden)
    if (!m_pInfo || !IsAllowedDownloadUrl(m_pInfo->m_downloadUrl, m_pInfo->m_feedHost)) {
        m_addressRefused = true;
        EndDialog(IDCANCEL);
        return;
    }
    BeginWaitCursor();
    m_waitCursor = true;
    m_task = std::make_shared<DownloadTask>(m_hWnd, m_pInfo->m_downloadUrl, m_pInfo->m_feedHost, m_downloadLimit);
    CWinThread* thread = nullptr;
    if (m_task->hCancelEvent) {
        // The thread object deletes itself when the thread ends (closing its handle); the dialog never
        // waits for it: the shared task keeps alive what the thread uses.
        auto* threadReference = new std::shared_ptr<DownloadTask>(m_task);
        thread = AfxBeginThread(&DownloadThreadProc, threadReference, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        if (!thread)
            delete threadReference;
    }
    if (!thread) {
        m_task.reset();
        ShowDownloadLayout(false);
        EndDownloadState();
        return;
    }
    ShowDownloadLayout(true);
    thread->ResumeThread();
}

LRESULT CVersionUpdaterDlg::OnDownloadFinished(WPARAM, LPARAM)
{
    // Also the dialog manager's DM_SETDEFID: only our own finished download is handled here.
    if (!m_task || !m_task->IsFinished())
        return Default();
    EndDownloadState();
    if (!m_task->LocalPath().IsEmpty())
        OnOK();
    else
        OnCancel();
    return 0;
}

LRESULT CVersionUpdaterDlg::OnDownloadProgress(WPARAM wParam, LPARAM lParam)
{
    // Also the dialog manager's DM_REPOSITION: only while our download runs.
    if (!m_task || m_task->IsFinished())
        return Default();
    m_progressCtrl.SetRange32(0, static_cast<int>(lParam));
    m_progressCtrl.SetPos(static_cast<int>(wParam));
    return 0;
}

void CVersionUpdaterDlg::OnCancelButton()
{
    if (m_task)
        m_task->Detach();
    EndDownloadState();
    OnCancel();
}

void CVersionUpdaterDlg::OnRemindLater()
{
    OnCancel();
}

void CVersionUpdaterDlg::OnDestroy()
{
    if (m_task && !m_task->IsFinished())
        m_task->Detach();
    EndDownloadState();
    Default();
}
