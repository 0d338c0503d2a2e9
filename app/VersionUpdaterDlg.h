#pragma once
// CVersionUpdaterDlg: offers a newer version (its feature lines, Upgrade, "Remaind me later", Cancel) and,
// on Upgrade, downloads its installer into the Internet cache on a worker thread, showing the progress.
// The download follows one redirect at most, and only to the feed's host and port, and fails past its cap:
// the announced length when there is one, and at most 256 MiB, counted in the bytes that arrived (decoded).
// A watcher aborts the transfer on Cancel and past the cap, also while the moniker reports no progress.
// A download that fails, is refused or is cancelled leaves neither its file nor its entry in the cache.
// DoModal: IDOK when the download produced a local file (GetLocalPath), IDCANCEL otherwise. The caller
// checks and starts the file; the dialog starts nothing.
#include <windows.h>
#include <urlmon.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "app/VersionChecker.h"
#include "framework/Framework.h"

// The download's parameter block, shared by the dialog and its thread: each holds a reference, so the
// block, its cancel event and its strings live until both have let go. The dialog lets go (Detach) when
// it is cancelled or destroyed; from then on the thread sends it nothing, and its watcher aborts the
// transfer.
class DownloadTask {
public:
    // The most any download may bring, announced or not.
    static constexpr ULONG kMaxBytes = 256u * 1024 * 1024;

    // host: the only host the address and every redirect may name. maxBytes: the cap (at most kMaxBytes).
    DownloadTask(HWND dialog, const CString& url, const CString& host, ULONG maxBytes = kMaxBytes);
    ~DownloadTask();
    DownloadTask(const DownloadTask&) = delete;
    DownloadTask& operator=(const DownloadTask&) = delete;

    // Dialog side.
    void Detach();                        // no more messages; the transfer is aborted
    bool IsFinished() const;              // the thread has posted WM_USER+1
    CString LocalPath() const;            // final once IsFinished

    // Thread side.
    bool Post(UINT message, WPARAM wParam, LPARAM lParam);   // false once detached
    bool IsCancelled() const;
    void Finish(const CString& localPath);                    // records the result, posts WM_USER+1
    void SetHttpStatus(DWORD status);
    DWORD HttpStatus() const;
    // The progress callback's checks. Each false ends the transfer, failed, and marks the task refused.
    bool AcceptRedirect(const wchar_t* target);   // a redirect announced to target
    bool AcceptRequest();                         // a request goes out: the first, or one per checked redirect
    // The answer's announced length. encoded: the body comes with a Content-Encoding, so the length is
    // that of the encoded bytes and only the cap bounds what arrives.
    bool AcceptLength(ULONGLONG announced, bool encoded = false);
    bool AcceptProgress(ULONGLONG received);      // bytes received so far (decoded)
    bool AcceptArrivedFile();                     // the cache file's size so far, taken as bytes received
    // True when a downloaded file of size bytes is what the answer announced, within the cap.
    bool AcceptsFileSize(ULONGLONG size) const;
    bool IsRefused() const;

    // The transfer's binding (from OnStartBinding to OnStopBinding), held with a reference.
    void SetBinding(IBinding* binding);
    void ReleaseBinding();
    // Aborts the transfer through its binding, once; false while there is none to abort yet.
    bool AbortTransfer();
    // The watcher's look, every few milliseconds while the transfer runs: aborts it once cancelled or past
    // its cap.
    void Watch();
    // The file the moniker writes the body into (BINDSTATUS_CACHEFILENAMEAVAILABLE).
    void SetCacheFile(const wchar_t* path);
    CString CacheFile() const;
    // The file that the size check found growing past the cap before the moniker named its file.
    CString GrownFile() const;
    // Notes the files of the address's name that the cache holds before the transfer begins (none of them
    // is the transfer's).
    void NoteCacheFilesBefore();
    // The files of the address's name made in the cache since the task was made; f(path, size).
    void ForEachNewCacheFile(const std::function<void(const CString&, ULONGLONG)>& f) const;

    const CString strUrl;                 // copy of the feed's download address
    const CString strHost;                // the feed's host
    const ULONG maxBytes;                 // the cap
    HANDLE const hCancelEvent;            // manual-reset; set by Detach, seen by every later progress report

private:
    mutable std::mutex m_lock;
    HWND m_hDialog;                       // NULL once the dialog let go
    CString m_strLocalPath;               // path in the Internet cache; empty after a failure
    bool m_finished = false;
    DWORD m_httpStatus = 0;               // the server's answer, 0 until one arrived
    bool m_refused = false;               // a redirect, a request or a length failed its check
    int m_requests = 0;                   // requests sent
    int m_redirects = 0;                  // redirects checked and accepted
    ULONGLONG m_announced = 0;            // the announced length, 0 when none
    bool m_hasAnnounced = false;          // a length was announced for the bytes that arrive
    IBinding* m_binding = nullptr;        // held from OnStartBinding to OnStopBinding
    bool m_aborted = false;               // Abort was called on the binding
    CString m_strCacheFile;
    CString m_strGrownFile;
    const ULONGLONG m_since;              // a little before the task was made (a file time)
    bool m_filesNoted = false;            // m_filesBefore is known
    std::set<std::wstring> m_filesBefore; // files of the address's name there before (upper case)
};

// The download thread: takes a heap std::shared_ptr<DownloadTask>* (and deletes it); returns 0.
UINT DownloadThreadProc(LPVOID param);

class CVersionUpdaterDlg : public CDialogEx {
public:
    static constexpr UINT IDD = 3131;
    static constexpr UINT WM_DOWNLOAD_FINISHED = WM_USER + 1;   // wParam, lParam 0
    static constexpr UINT WM_DOWNLOAD_PROGRESS = WM_USER + 2;   // wParam progress, lParam maximum (values)

    // info: the check's record, borrowed for the dialog's life.
    explicit CVersionUpdaterDlg(const CUpdateInfo* info);
    ~CVersionUpdaterDlg() override;

    // After IDOK: the downloaded file.
    CString GetLocalPath() const { return m_task ? m_task->LocalPath() : CString(); }
    // Upgrade found an address that is not http(s) on the feed's host: nothing was downloaded.
    bool WasAddressRefused() const { return m_addressRefused; }
    bool IsDownloading() const { return m_task && !m_task->IsFinished(); }
    // The cap of the next download (at most DownloadTask::kMaxBytes).
    void SetDownloadLimit(ULONG maxBytes) { m_downloadLimit = maxBytes; }

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnUpgrade();                                         // BN_CLICKED IDOK (and Enter)
    LRESULT OnDownloadFinished(WPARAM wParam, LPARAM lParam); // WM_USER+1 (also DM_SETDEFID)
    LRESULT OnDownloadProgress(WPARAM wParam, LPARAM lParam); // WM_USER+2 (also DM_REPOSITION)
    void OnCancelButton();                                    // BN_CLICKED IDCANCEL (and Escape)
    void OnRemindLater();                                     // BN_CLICKED 2027
    void OnDestroy();                                         // WM_DESTROY: lets go of a running download
    DECLARE_MESSAGE_MAP()

    void ShowDownloadLayout(bool downloading);
    void EndDownloadState();

    const CUpdateInfo* m_pInfo;                 // borrowed
    std::shared_ptr<DownloadTask> m_task;       // set from Upgrade on: the download of this dialog
    bool m_waitCursor = false;                  // the download state's wait cursor is shown
    bool m_addressRefused = false;
    ULONG m_downloadLimit = DownloadTask::kMaxBytes;
    CButton m_chkDontShowAgain;                 // 2024: can be ticked; changes nothing
    CProgressCtrl m_progressCtrl;               // 2025
    CListBox m_listFeatures;                    // 2021
};
