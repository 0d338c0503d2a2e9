#pragma once
// The counting thread: counts the files and bytes of a request before anything is shredded, posting a
// status line after every 201st file and the totals at the end to the progress dialog (g_hProgressWnd).
// Sizes come from the directory entries; nothing is opened or changed.
#include <windows.h>

#include <cstdint>

#include "Thread.h"
#include "engine/ItemPlace.h"
#include "engine/PathList.h"
#include "framework/CString.h"

// The progress dialog's window: written by the dialog before it starts the counting thread, which posts
// all its messages there. One for the whole program.
extern HWND g_hProgressWnd;

// A byte count in the largest unit of "bytes", "KB", "MB", "GB" and "TB" that it reaches (1024 each),
// truncated: 5000 gives 4 and "KB". The counting status and the free-space failure box show sizes so.
const wchar_t* SizeInUnits(uint64_t bytes, uint64_t* value);

class CCalculateMetricsThread : public Thread {
public:
    // Lists mode: the request's lists, read only; they must outlive the run.
    CCalculateMetricsThread(const PathList* files, const PathList* folders);
    // Single-path mode: one folder tree.
    explicit CCalculateMetricsThread(const CString& path);
    ~CCalculateMetricsThread() override;

    // Counts, then posts WM_METRICS_DONE; after a stop nothing further is posted.
    void Run() override;

    // Adds the folder's tree to the totals. Stops before the next entry once *stop is set. A folder that
    // cannot be listed adds nothing; links to folders (junctions, symbolic links) are neither counted nor
    // followed, and neither are paths too long to handle. Each folder is checked before it is listed, as the
    // shredding job checks it: one whose name leads elsewhere than its listed entry, or that lies on another
    // volume than its parent, adds nothing.
    void CountFolder(const CancelFlag* stop, const CString& folder, uint64_t* bytes, uint64_t* files);
    // Builds and posts one WM_METRICS_STATUS for the file just counted at path.
    void PostStatus(const CString& path, const uint64_t* bytes, const uint64_t* files);

    const PathList* m_files;
    const PathList* m_folders;
    CString m_statusFormat;      // string 123
    int32_t m_filesSinceStatus;  // files counted since the last status
    int32_t m_singlePath;
    CString m_path;

private:
    // The count of a folder at place, checked first (below parent, on parent's volume, when given).
    void CountFolderAt(const CancelFlag* stop, const CString& folder, const ItemPlace& place,
                       const FolderPlace* parent, uint64_t* bytes, uint64_t* files);
    // After each counted file: the status follows the 201st file and every 201st after it.
    void StatusTick(const CString& path, const uint64_t* bytes, const uint64_t* files);
};
