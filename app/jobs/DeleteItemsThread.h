#pragma once
// The shredding thread: shreds the files and then the folders of a request with one pass list, walking
// each folder depth-first and removing it after its contents, and posts its progress and completion to
// the progress dialog (m_hWnd). The first failure ends the job and is kept in m_error.
#include <windows.h>

#include <cstdint>

#include "Thread.h"
#include "engine/ErasureMethod.h"
#include "engine/PathList.h"
#include "engine/ShredFile.h"
#include "framework/CString.h"

// The failure record of a shredding job: m_kind is 0 exactly when nothing failed.
struct DeleteError {
    void Set(const wchar_t* name, int32_t isFile, int32_t kind, DWORD lastError);

    CString m_name;          // full path of the item that failed
    int32_t m_isFile = 0;    // 1 a file, 0 a folder
    int32_t m_kind = 0;      // DeleteErrorKind
    DWORD m_lastError = 0;   // Win32 code of the failure
};

class DeleteItemsThread : public Thread {
public:
    // Lists mode: the request's lists, read only; they must outlive the run.
    DeleteItemsThread(const PathList* files, const PathList* folders);
    // Single-path mode: one folder tree.
    explicit DeleteItemsThread(const CString& path);
    ~DeleteItemsThread() override;

    // The job. Posts WM_DELETE_DONE when it ends, unless it was stopped.
    void Run() override;

    // 1 shredded; 0 failed and recorded in m_error, or stopped by a cancel (nothing recorded). place: where the
    // file must lie (nullptr: where its path names it, as a file of the request's list).
    int ShredOneFile(const wchar_t* path, CErasureMethod* method, const ItemPlace* place = nullptr);
    // 1 the folder's tree is shredded and the folder removed (a drive root is kept); 0 failed and recorded,
    // or stopped by a cancel before the next entry (nothing recorded, the rest of the tree untouched).
    // A folder that is a link (junction, symbolic link) is not walked: only the link itself is deleted; one that
    // cannot be told from a link fails untouched. Paths that are not fully qualified fail untouched.
    // Every folder is opened and checked before it is listed: one whose name now leads elsewhere than the
    // entry listed (a link put in its place), or that lies on another volume than its parent (a file system
    // mounted there), fails untouched, and so does every entry that is not what its folder's listing named.
    int ShredFolder(const wchar_t* folder, CErasureMethod* method);

    HWND m_hWnd;
    int32_t m_method;
    int32_t m_singlePath;
    CString m_path;
    const PathList* m_files;
    const PathList* m_folders;
    DeleteError m_error;
    uint64_t m_itemsDone;  // files shredded so far (folders are not counted)
    uint64_t m_bytesDone;  // their sizes times the number of passes

private:
    // The walk of a folder at place, checked first (below parent, on parent's volume, when given).
    int ShredFolderAt(const CString& folder, CErasureMethod* method, const ItemPlace& place,
                      const FolderPlace* parent);
    // Renames and removes an emptied folder at place, its named streams overwritten with method first; a
    // link (ownFolder false) is deleted itself, without renames.
    int RemoveFolder(const CString& folder, bool ownFolder, const ItemPlace& place, CErasureMethod* method = nullptr);
    // Records a failure the thread found itself.
    int Fail(const wchar_t* name, int32_t isFile, int32_t kind, DWORD lastError);

    bool m_cancelled;  // a cancel stopped the job inside an item: nothing is posted at the end
    CFolderFactsCache m_facts;  // volumes, record and cluster sizes of the folders met, for every file there
};
