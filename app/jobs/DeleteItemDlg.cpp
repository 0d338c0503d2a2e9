// The progress dialog.
#include "DeleteItemDlg.h"

#include <commctrl.h>

#include "DialogRules.h"
#include "app/res/resource.h"
#include "engine/ErasureMethod.h"

namespace {

// Watches the job of the current phase: one that ended without its completion message, or a completion
// that arrived before its thread ended.
const UINT_PTR kWatchTimer = 1;
const UINT kWatchMilliseconds = 100;
// How long a completion handler waits for the thread that posted it to end before it looks again later.
const DWORD kCompletionWaitMilliseconds = 50;

const int kMarqueeMilliseconds = 20;
const int kResidentMarqueeMilliseconds = 100;

// Owns a posted payload from the handler's first line on, so that every return frees it.
template <class T>
std::unique_ptr<T> TakePayload(WPARAM wParam)
{
    return std::unique_ptr<T>(reinterpret_cast<T*>(wParam));
}

// Frees the payload of a message that no handler will see.
void FreePayload(const MSG& msg)
{
    switch (msg.message) {
    case WM_DELETE_PROGRESS:
        delete reinterpret_cast<DeleteProgress*>(msg.wParam);
        break;
    case WM_RESIDENT_PHASE:
        delete reinterpret_cast<int32_t*>(msg.wParam);
        break;
    case WM_METRICS_STATUS:
        delete reinterpret_cast<MetricsStatus*>(msg.wParam);
        break;
    case WM_METRICS_DONE:
        delete reinterpret_cast<MetricsResult*>(msg.wParam);
        break;
    case WM_FREE_SPACE_TOTAL:
        delete reinterpret_cast<uint64_t*>(msg.wParam);
        break;
    default:
        break;  // the others carry none
    }
}

// Takes the semaphore without waiting; releases it when it goes.
class SemaphoreTry {
public:
    explicit SemaphoreTry(HANDLE semaphore)
        : m_semaphore(semaphore), m_taken(WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) {}
    ~SemaphoreTry()
    {
        if (m_taken)
            ReleaseSemaphore(m_semaphore, 1, nullptr);
    }
    SemaphoreTry(const SemaphoreTry&) = delete;
    SemaphoreTry& operator=(const SemaphoreTry&) = delete;
    bool Taken() const { return m_taken; }

private:
    HANDLE m_semaphore;
    bool m_taken;
};

}  // namespace

bool IsWindowsMajorVersion5()
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
        info = {};
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)))
            return false;
    }
    return info.dwMajorVersion == 5;
}

IMPLEMENT_DYNAMIC(CDeleteItemDlg, CDialogEx)

BEGIN_MESSAGE_MAP(CDeleteItemDlg, CDialogEx)
    ON_WM_CLOSE()
    ON_WM_WINDOWPOSCHANGING()
    ON_WM_DESTROY()
    AFX_WM_ENTRY(WM_TIMER, self->OnTimer(static_cast<UINT_PTR>(wParam)); return TRUE;)
    ON_BN_CLICKED(IDC_PAUSE, OnPauseResume)
    ON_MESSAGE(WM_DELETE_PROGRESS, OnDeleteProgress)
    ON_MESSAGE(WM_RESIDENT_PHASE, OnResidentPhase)
    ON_MESSAGE(WM_DELETE_DONE, OnDeleteDone)
    ON_MESSAGE(WM_METRICS_STATUS, OnMetricsStatus)
    ON_MESSAGE(WM_SHOW_PROGRESS, OnShowProgress)
    ON_MESSAGE(WM_FREE_SPACE_TOTAL, OnFreeSpaceTotal)
    ON_MESSAGE(WM_METRICS_DONE, OnMetricsDone)
    ON_MESSAGE(WM_FREE_SPACE_DONE, OnFreeSpaceDone)
    ON_MESSAGE(WM_CLOSE_PROGRESS, OnCloseProgress)
END_MESSAGE_MAP()

CDeleteItemDlg::CDeleteItemDlg(const PathList* files, const PathList* folders, BOOL recycleBin)
    : CDialogEx(recycleBin ? IDD_DELETE_SPACE : (IsWindowsMajorVersion5() ? IDD_DELETE_ITEMS_XP : IDD_DELETE_ITEMS)),
      m_deleteThread(files, folders),
      m_metricsThread(files, folders),
      m_freeSpaceThread(),
      m_recycleBin(recycleBin ? 1 : 0),
      m_freeSpaceMode(0)
{
    Construct();
}

CDeleteItemDlg::CDeleteItemDlg(const CString& drivePath)
    : CDialogEx(IDD_DELETE_SPACE),
      m_deleteThread(nullptr, nullptr),
      m_metricsThread(nullptr, nullptr),
      m_freeSpaceThread(drivePath),
      m_recycleBin(0),
      m_freeSpaceMode(1)
{
    Construct();
}

void CDeleteItemDlg::Construct()
{
    m_settings.Serialize(true);
    m_hIcon = LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_APP));
    m_lastPercent = -1;
    m_lastRemaining = 0;
    m_semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    m_stayHidden = 1;
}

CDeleteItemDlg::~CDeleteItemDlg()
{
    StopJobs();
    if (m_semaphore)
        CloseHandle(m_semaphore);
}

void CDeleteItemDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialogEx::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PAUSE, m_pauseButton);
    DDX_Control(pDX, IDCANCEL, m_cancelButton);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_ANIMATION, m_picture);
}

BOOL CDeleteItemDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();

    CString title;
    title.LoadString(IDS_PREPARING);
    SetWindowText(title);

    const int32_t method = static_cast<int32_t>(m_settings.m_deleteMethod);
    m_deleteThread.m_method = method;
    m_deleteThread.m_hWnd = m_hWnd;

    SetMarquee(true, kMarqueeMilliseconds);
    m_progress.SetState(PBST_NORMAL);

    g_hProgressWnd = m_hWnd;
    m_freeSpaceThread.m_method = method;
    m_freeSpaceThread.m_hWnd = m_hWnd;

    SetButtonIcon(m_pauseButton, IDI_PAUSE);
    SetButtonIcon(m_cancelButton, IDI_CANCEL);
    m_pauseButton.ShowWindow(SW_HIDE);

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    StartAnimation();

    SetTimer(kWatchTimer, kWatchMilliseconds);
    if (m_freeSpaceMode)
        StartJob(m_freeSpaceThread, m_freeSpaceState);
    else
        StartJob(m_metricsThread, m_metricsState);

    // No focus: while hidden the dialog must not take the keyboard (keys typed elsewhere would reach its
    // Cancel button). ShowProgress gives Cancel the focus once the window shows.
    return FALSE;
}

void CDeleteItemDlg::SetButtonIcon(CIconButton& button, UINT iconId)
{
    // Two handles: the button owns and destroys both.
    HINSTANCE module = AfxGetResourceHandle();
    HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(iconId), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR));
    HICON idle = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(iconId), IMAGE_ICON, 0, 0, LR_DEFAULTCOLOR));
    button.SetIcon(icon, idle);
}

void CDeleteItemDlg::StartAnimation()
{
    const UINT id = (m_recycleBin || m_freeSpaceMode) ? IDR_SHREDDER_SMALL : IDR_SHREDDER_LARGE;
    HINSTANCE module = AfxGetResourceHandle();
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"GIF"))
        m_picture.LoadFromResource(module, found);
    m_picture.Draw();
}

void CDeleteItemDlg::SetMarquee(bool on, int interval)
{
    // The template's bar is a plain one: the marquee needs its style while it runs, and percentages need
    // it gone.
    if (on) {
        m_progress.ModifyStyle(0, PBS_MARQUEE);
        m_progress.SetMarquee(TRUE, interval);
    } else {
        m_progress.SetMarquee(FALSE, interval);
        m_progress.ModifyStyle(PBS_MARQUEE, 0);
    }
}

void CDeleteItemDlg::OnOK()
{
}

void CDeleteItemDlg::OnCancel()
{
    StopAndClose();
}

void CDeleteItemDlg::OnClose()
{
    StopAndClose();
}

void CDeleteItemDlg::OnWindowPosChanging(WINDOWPOS* pos)
{
    if (m_stayHidden) {
        pos->flags &= ~SWP_SHOWWINDOW;
        pos->flags |= SWP_NOACTIVATE;
    }
    CDialogEx::OnWindowPosChanging(pos);
}

void CDeleteItemDlg::OnDestroy()
{
    // Normally every job has ended by now; should the window go another way, none may post any more.
    StopJobs();
    KillTimer(kWatchTimer);
    MSG msg;
    while (PeekMessageW(&msg, m_hWnd, WM_DELETE_PROGRESS, WM_CLOSE_PROGRESS, PM_REMOVE))
        FreePayload(msg);
    m_pendingMetrics.reset();
    if (g_hProgressWnd == m_hWnd)
        g_hProgressWnd = nullptr;
    CDialogEx::OnDestroy();
}

void CDeleteItemDlg::OnTimer(UINT_PTR id)
{
    if (id == kWatchTimer)
        CheckCompletion();
}

void CDeleteItemDlg::OnPauseResume()
{
    // Only the shredding job of a list or recycle-bin job pauses, only while it runs, and only from a
    // button the user can see: a hidden dialog held by a stray click would wait for ever.
    if (m_freeSpaceMode || m_ending || m_deleteState != kJobStarted || HasEnded(m_deleteThread))
        return;
    if (m_stayHidden || !m_pauseButton.IsWindowVisible() || !m_pauseButton.IsWindowEnabled())
        return;

    if (!m_paused) {
        SetButtonIcon(m_pauseButton, IDI_RESUME);
        m_progress.SetState(PBST_PAUSED);
        // The job waits at its next safe point (before the next chunk, file or entry), holding nothing.
        int32_t expected = kCancelGoOn;
        if (m_deleteThread.m_stop.compare_exchange_strong(expected, kCancelHold)) {
            m_paused = true;
            m_deleteThread.m_running = false;
        }
        m_picture.Stop();
    } else {
        SetButtonIcon(m_pauseButton, IDI_PAUSE);
        m_progress.SetState(PBST_NORMAL);
        int32_t expected = kCancelHold;
        m_deleteThread.m_stop.compare_exchange_strong(expected, kCancelGoOn);
        m_paused = false;
        m_deleteThread.m_running = !HasEnded(m_deleteThread);
        m_picture.Draw();
    }
}

LRESULT CDeleteItemDlg::OnDeleteProgress(WPARAM wParam, LPARAM)
{
    std::unique_ptr<DeleteProgress> progress = TakePayload<DeleteProgress>(wParam);
    if (!progress || m_ending)
        return 0;
    // Only the job of this mode reports progress.
    if (m_freeSpaceMode ? m_freeSpaceState == kJobIdle : m_deleteState == kJobIdle)
        return 0;
    SemaphoreTry semaphore(m_semaphore);
    if (!semaphore.Taken())
        return 0;  // a handler is still busy: the message is dropped

    const CString name(progress->m_name);
    if (!m_recycleBin && !progress->m_freeSpace && name != m_lastName) {
        CString line;
        line.LoadString(IDS_NAME_LABEL);
        line += ShortenProgressName(name);
        SetDlgItemText(IDC_ITEMS_NAME, line);
        m_lastName = name;
    }

    const int remaining = RemainingItems(m_totalItems, progress->m_itemsDone);
    if (static_cast<uint64_t>(remaining) != m_lastRemaining && !m_recycleBin && !progress->m_freeSpace) {
        CString line;
        line.Format(IDS_REMAINING_ITEMS, remaining);
        SetDlgItemText(IDC_ITEMS_REMAINING, line);
        m_lastRemaining = static_cast<uint64_t>(remaining);
    }

    const int percent = ProgressPercent(progress->m_bytesProcessed, progress->m_passCount, m_totalBytes);
    if (percent != m_lastPercent) {
        CString complete;
        complete.LoadString(IDS_PERCENT_COMPLETE);
        CString text;
        text.Format(L"%d %s", percent, complete);
        SetWindowText((progress->m_freeSpace ? CString(L"Deleting unused space : ") : CString(L"Deleting ")) + text);
        SetDlgItemText(IDC_PERCENT, text);
        m_lastPercent = percent;
        m_progress.SetPos(percent);
    }
    return 0;
}

LRESULT CDeleteItemDlg::OnResidentPhase(WPARAM wParam, LPARAM)
{
    std::unique_ptr<int32_t> flag = TakePayload<int32_t>(wParam);
    if (!flag || m_ending || !m_freeSpaceMode)
        return 0;
    SetWindowText(L"Deleting resident files");
    SetMarquee(*flag != 0, kResidentMarqueeMilliseconds);
    return 0;
}

LRESULT CDeleteItemDlg::OnDeleteDone(WPARAM, LPARAM)
{
    if (m_freeSpaceMode || m_ending || m_deleteState != kJobStarted)
        return 0;
    m_deleteDonePending = true;
    WaitForSingleObject(m_deleteThread.m_hThread, kCompletionWaitMilliseconds);
    CheckCompletion();
    return 0;
}

LRESULT CDeleteItemDlg::OnMetricsStatus(WPARAM wParam, LPARAM)
{
    std::unique_ptr<MetricsStatus> status = TakePayload<MetricsStatus>(wParam);
    if (!status || m_ending)
        return 0;
    SemaphoreTry semaphore(m_semaphore);
    if (!semaphore.Taken())
        return 0;
    // Template 133 (recycle bin) has neither line: the texts then go nowhere.
    SetDlgItemText(IDC_ITEMS_REMAINING, status->m_statusLine.c_str());
    SetDlgItemText(IDC_ITEMS_NAME, status->m_nameLine.c_str());
    return 0;
}

LRESULT CDeleteItemDlg::OnShowProgress(WPARAM, LPARAM)
{
    if (!m_ending)
        ShowProgress();
    return 0;
}

LRESULT CDeleteItemDlg::OnFreeSpaceTotal(WPARAM wParam, LPARAM)
{
    std::unique_ptr<uint64_t> total = TakePayload<uint64_t>(wParam);
    if (!total || m_ending || !m_freeSpaceMode)
        return 0;
    m_totalItems = 0;
    m_totalBytes = *total;
    return 0;
}

LRESULT CDeleteItemDlg::OnMetricsDone(WPARAM wParam, LPARAM)
{
    std::unique_ptr<MetricsResult> result = TakePayload<MetricsResult>(wParam);
    if (!result || m_freeSpaceMode || m_ending || m_metricsState != kJobStarted)
        return 0;
    m_pendingMetrics = std::move(result);
    WaitForSingleObject(m_metricsThread.m_hThread, kCompletionWaitMilliseconds);
    CheckCompletion();
    return 0;
}

LRESULT CDeleteItemDlg::OnFreeSpaceDone(WPARAM, LPARAM)
{
    if (!m_freeSpaceMode || m_ending || m_freeSpaceState != kJobStarted)
        return 0;
    m_freeSpaceDonePending = true;
    WaitForSingleObject(m_freeSpaceThread.m_hThread, kCompletionWaitMilliseconds);
    CheckCompletion();
    return 0;
}

LRESULT CDeleteItemDlg::OnCloseProgress(WPARAM, LPARAM)
{
    if (m_ending)
        return 0;
    // IDOK only for a job that already ended well; anything still running is stopped first. A job that
    // broke off on an exception leaves its error record empty and was not stopped: it did not finish, and
    // must not pass for a success.
    bool endedWell = false;
    if (m_freeSpaceMode) {
        endedWell = m_freeSpaceState == kJobStarted && HasEnded(m_freeSpaceThread) && m_freeSpaceThread.m_finished &&
                    m_freeSpaceThread.m_stop == kCancelGoOn && FreeSpaceResult(m_freeSpaceThread.m_failed) == IDOK;
    } else {
        endedWell = m_deleteState == kJobStarted && HasEnded(m_deleteThread) && m_deleteThread.m_finished &&
                    m_deleteThread.m_stop == kCancelGoOn && m_deleteThread.m_error.m_kind == DeleteErrorNone;
    }
    if (endedWell)
        Finish(IDOK);
    else
        StopAndClose();
    return 0;
}

void CDeleteItemDlg::StopAndClose()
{
    if (m_ending)
        return;
    m_ending = true;
    KillTimer(kWatchTimer);
    m_picture.Stop();
    m_pauseButton.EnableWindow(FALSE);
    m_cancelButton.EnableWindow(FALSE);
    {
        CWaitCursor wait;
        StopJobs();
    }
    EndDialog(IDCANCEL);
}

bool CDeleteItemDlg::StartJob(Thread& job, JobState& state)
{
    // Flags first: the thread clears m_running when it ends, which may be before ResumeThread returns.
    job.m_stop = kCancelGoOn;
    job.m_running = true;
    if (!job.m_hThread || ResumeThread(job.m_hThread) == static_cast<DWORD>(-1)) {
        job.m_running = false;
        state = kJobFailedToStart;
        // A hidden dialog whose job cannot run would wait invisibly for ever: show it, so that the user
        // can cancel.
        ShowProgress();
        return false;
    }
    state = kJobStarted;
    return true;
}

bool CDeleteItemDlg::HasEnded(const Thread& job)
{
    return job.m_hThread && WaitForSingleObject(job.m_hThread, 0) == WAIT_OBJECT_0;
}

void CDeleteItemDlg::StopJobs()
{
    Thread* jobs[] = {&m_metricsThread, &m_deleteThread, &m_freeSpaceThread};
    const JobState states[] = {m_metricsState, m_deleteState, m_freeSpaceState};
    for (int i = 0; i < 3; ++i) {
        if (states[i] != kJobStarted && states[i] != kJobDone)
            continue;  // never resumed: its thread never runs
        // Stop also ends a hold.
        jobs[i]->Stop();
        WaitForSingleObject(jobs[i]->m_hThread, INFINITE);
        jobs[i]->m_running = false;
    }
    m_paused = false;
}

void CDeleteItemDlg::Finish(int result)
{
    m_ending = true;
    KillTimer(kWatchTimer);
    m_picture.Stop();
    StopJobs();
    EndDialog(result);
}

void CDeleteItemDlg::ShowProgress()
{
    if (!m_stayHidden || !m_hWnd)
        return;
    m_stayHidden = 0;
    ShowWindow(SW_SHOW);
    SetForegroundWindow();
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_cancelButton.m_hWnd), TRUE);
}

Thread* CDeleteItemDlg::CurrentJob(JobState** state, UINT* doneMessage)
{
    if (m_freeSpaceMode) {
        *state = &m_freeSpaceState;
        *doneMessage = WM_FREE_SPACE_DONE;
        return &m_freeSpaceThread;
    }
    if (m_metricsState != kJobDone) {
        *state = &m_metricsState;
        *doneMessage = WM_METRICS_DONE;
        return &m_metricsThread;
    }
    *state = &m_deleteState;
    *doneMessage = WM_DELETE_DONE;
    return &m_deleteThread;
}

void CDeleteItemDlg::CheckCompletion()
{
    if (m_ending)
        return;
    JobState* state = nullptr;
    UINT doneMessage = 0;
    Thread* job = CurrentJob(&state, &doneMessage);
    if (*state != kJobStarted || !HasEnded(*job))
        return;  // not started (a failed start has shown the dialog), or still running: look again later

    // The thread has ended, so everything it posted is queued by now: its own completion message, if it
    // is still there, goes before any copy that came earlier.
    MSG msg;
    if (PeekMessageW(&msg, m_hWnd, doneMessage, doneMessage, PM_REMOVE)) {
        if (doneMessage == WM_METRICS_DONE) {
            std::unique_ptr<MetricsResult> result = TakePayload<MetricsResult>(msg.wParam);
            if (result)
                m_pendingMetrics = std::move(result);
        } else if (doneMessage == WM_DELETE_DONE) {
            m_deleteDonePending = true;
        } else {
            m_freeSpaceDonePending = true;
        }
    }

    if (doneMessage == WM_METRICS_DONE && m_pendingMetrics) {
        CompleteMetrics(std::move(m_pendingMetrics));
    } else if (doneMessage == WM_DELETE_DONE && m_deleteDonePending) {
        CompleteDelete();
    } else if (doneMessage == WM_FREE_SPACE_DONE && m_freeSpaceDonePending) {
        CompleteFreeSpace();
    } else if (!m_lostShown) {
        // The job ended without a word (it posts nothing only after a stop, which the dialog has not
        // asked for): show the window, so that the user sees where it stands and can cancel.
        m_lostShown = true;
        ShowProgress();
    }
}

void CDeleteItemDlg::CompleteMetrics(std::unique_ptr<MetricsResult> result)
{
    m_metricsState = kJobDone;
    m_metricsThread.m_running = false;

    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(m_settings.m_deleteMethod));
    // A stored index without a pass list counts as one pass; the shredding job reports it as its failure.
    const uint64_t passes = method ? method->m_passes.size() : 1;
    if (IsLargeJob(result->m_files, result->m_bytes, passes) && m_stayHidden)
        ShowProgress();

    m_totalItems = result->m_files;
    m_totalBytes = result->m_bytes;

    CString title;
    title.LoadString(IDS_DELETING);
    SetWindowText(title);
    m_pauseButton.ShowWindow(SW_SHOWNORMAL);

    m_deleteThread.m_hWnd = m_hWnd;
    SetMarquee(false, kMarqueeMilliseconds);
    m_progress.SetState(PBST_NORMAL);
    m_progress.SetRange(0, 100);
    StartJob(m_deleteThread, m_deleteState);
}

void CDeleteItemDlg::CompleteDelete()
{
    m_deleteDonePending = false;
    m_deleteState = kJobDone;
    m_ending = true;
    KillTimer(kWatchTimer);
    m_picture.Stop();

    const DeleteError& error = m_deleteThread.m_error;
    const JobFailureMessage message = ChooseFailureMessage(error.m_kind, error.m_isFile, error.m_lastError);
    if (message.m_textId != 0)
        AfxMessageBox(FormatFailureMessage(message, error.m_name, error.m_lastError), message.m_boxType);
    Finish(message.m_result);
}

void CDeleteItemDlg::CompleteFreeSpace()
{
    m_freeSpaceDonePending = false;
    m_freeSpaceState = kJobDone;
    m_ending = true;
    KillTimer(kWatchTimer);
    m_picture.Stop();

    const int result = FreeSpaceResult(m_freeSpaceThread.m_failed);
    if (result != IDOK)
        AfxMessageBox(FreeSpaceFailureMessage(m_freeSpaceThread.m_unwipedBytes), MB_ICONEXCLAMATION);
    Finish(result);
}
