#pragma once
// CDeleteItemDlg: the modal progress window behind which a request is shredded. It owns the three job
// threads, starts the ones its mode needs, shows their progress, lets the user pause the shredding and
// cancel, and shows the message of a failed job. DoModal returns IDOK when the job finished without error,
// IDCANCEL when it failed, was cancelled or was closed. A list job too small to be worth a window runs
// without ever showing it; a free-space wipe shows it at once.
//
// No job thread outlives the dialog object: every job that was started is stopped (a held one released)
// and waited for before the dialog ends and again when the object goes.
#include <windows.h>

#include <cstdint>
#include <memory>

#include "app/Settings.h"
#include "app/jobs/CalculateMetricsThread.h"
#include "app/jobs/CleanFreeSpaceThread.h"
#include "app/jobs/DeleteItemsThread.h"
#include "controls/AnimatedPicture.h"
#include "controls/IconButton.h"
#include "engine/PathList.h"
#include "engine/ProgressMessages.h"
#include "framework/Framework.h"

// True when the system reports major version 5 (Windows 2000, XP, Server 2003); false when it cannot tell.
bool IsWindowsMajorVersion5();

// g_hProgressWnd (declared with the counting thread, which posts there) holds the dialog's window from
// OnInitDialog until the window goes.

class CDeleteItemDlg : public CDialogEx {
    DECLARE_DYNAMIC(CDeleteItemDlg)
public:
    // List mode (recycleBin FALSE) or recycle-bin mode (TRUE, files = the recycle-bin files, no folders):
    // counts, then shreds the lists. The lists are read by the job threads and must outlive the dialog.
    CDeleteItemDlg(const PathList* files, const PathList* folders, BOOL recycleBin);
    // Free-space mode: wipes the free space of the drive whose root (such as C:\) is given.
    explicit CDeleteItemDlg(const CString& drivePath);
    // Stops and waits for every job that was started.
    ~CDeleteItemDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // Enter: nothing. The dialog has no OK button, and only a finished job may end it with IDOK.
    void OnOK() override;
    // The Cancel button and Escape: StopAndClose.
    void OnCancel() override;

    void OnClose();                                        // WM_CLOSE: StopAndClose
    void OnWindowPosChanging(WINDOWPOS* pos);              // keeps the window hidden and inactive while hidden
    void OnDestroy();                                      // frees the payloads still queued
    void OnTimer(UINT_PTR id);                             // watches the running job
    void OnPauseResume();                                  // button 3
    LRESULT OnDeleteProgress(WPARAM wParam, LPARAM);       // WM_DELETE_PROGRESS: DeleteProgress*, freed here
    LRESULT OnResidentPhase(WPARAM wParam, LPARAM);        // WM_RESIDENT_PHASE: int32_t*, freed here
    LRESULT OnDeleteDone(WPARAM, LPARAM);                  // WM_DELETE_DONE: no payload
    LRESULT OnMetricsStatus(WPARAM wParam, LPARAM);        // WM_METRICS_STATUS: MetricsStatus*, freed here
    LRESULT OnShowProgress(WPARAM, LPARAM);                // WM_SHOW_PROGRESS: no payload
    LRESULT OnFreeSpaceTotal(WPARAM wParam, LPARAM);       // WM_FREE_SPACE_TOTAL: uint64_t*, freed here
    LRESULT OnMetricsDone(WPARAM wParam, LPARAM);          // WM_METRICS_DONE: MetricsResult*, freed here
    LRESULT OnFreeSpaceDone(WPARAM, LPARAM);               // WM_FREE_SPACE_DONE: no payload
    LRESULT OnCloseProgress(WPARAM, LPARAM);               // WM_CLOSE_PROGRESS: no payload
    DECLARE_MESSAGE_MAP()

public:
    // Stops every started job, waits for it and ends the dialog with IDCANCEL (Cancel, Escape, WM_CLOSE).
    void StopAndClose();

    // The jobs: in list and recycle-bin modes counting, then shredding; in free-space mode the wipe (the
    // two others are then built without any path, so that nothing could shred the drive).
    DeleteItemsThread m_deleteThread;
    CCalculateMetricsThread m_metricsThread;
    CleanFreeSpaceThread m_freeSpaceThread;
    CProgressCtrl m_progress;          // control 1011
    CGeneralSettings m_settings;       // loaded by the constructors: the erasure method
    uint64_t m_totalItems = 0;         // files of the job (0 in free-space mode)
    uint64_t m_totalBytes = 0;         // bytes of the job (the free bytes in free-space mode)
    HANDLE m_semaphore = nullptr;      // count one, taken without waiting by the two text handlers
    CIconButton m_cancelButton;        // button 2
    CIconButton m_pauseButton;         // button 3
    HICON m_hIcon = nullptr;           // the application icon (shared, not destroyed)
    int32_t m_lastPercent = -1;        // percentage last shown
    uint64_t m_lastRemaining = 0;      // remaining count last shown
    CString m_lastName;                // full name last shown in the name line
    CAnimatedPicture m_picture;        // control 1017
    int32_t m_recycleBin = 0;          // recycle-bin mode
    int32_t m_freeSpaceMode = 0;       // free-space mode
    int32_t m_stayHidden = 1;          // while set the window can neither show nor activate

    // What the dialog knows of its jobs beyond their own flags.
    enum JobState : int32_t {
        kJobIdle,      // not started (a job of another mode stays here)
        kJobStarted,   // resumed; its thread may still run
        kJobFailedToStart,
        kJobDone,      // its completion was handled
    };
    JobState m_metricsState = kJobIdle;
    JobState m_deleteState = kJobIdle;
    JobState m_freeSpaceState = kJobIdle;
    bool m_paused = false;             // the shredding job is held
    bool m_ending = false;             // the dialog is ending: no handler starts, shows or ends anything

private:
    void Construct();
    // OnInitDialog's steps.
    void SetButtonIcon(CIconButton& button, UINT iconId);
    void StartAnimation();
    void SetMarquee(bool on, int interval);

    // Starts a job by the owner's contract (m_stop and m_running set before the resume); false, and the
    // dialog shown so that the user can cancel, when it cannot be resumed.
    bool StartJob(Thread& job, JobState& state);
    static bool HasEnded(const Thread& job);
    // Stops every started job (releasing a held one) and waits for its thread.
    void StopJobs();
    // Waits for the jobs, then ends the dialog with result.
    void Finish(int result);
    // Clears m_stayHidden and shows the window, active with the focus on Cancel.
    void ShowProgress();

    // The completion that the mode's current job posted: acted on only once its thread has ended (a
    // message that came early waits for that); a copy still queued is taken in its place.
    void CheckCompletion();
    void CompleteMetrics(std::unique_ptr<MetricsResult> result);
    void CompleteDelete();
    void CompleteFreeSpace();
    // The job of the current phase and the message it ends with.
    Thread* CurrentJob(JobState** state, UINT* doneMessage);

    std::unique_ptr<MetricsResult> m_pendingMetrics;  // WM_METRICS_DONE received, counting not yet ended
    bool m_deleteDonePending = false;                 // WM_DELETE_DONE received, job not yet ended
    bool m_freeSpaceDonePending = false;              // WM_FREE_SPACE_DONE received, job not yet ended
    bool m_lostShown = false;                         // shown because the job ended without a word
};
