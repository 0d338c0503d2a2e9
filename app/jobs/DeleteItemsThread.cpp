// The shredding thread.
#include "DeleteItemsThread.h"

#include <memory>

#include "JobPaths.h"
#include "engine/FoundNames.h"
#include "engine/ProgressMessages.h"

void DeleteError::Set(const wchar_t* name, int32_t isFile, int32_t kind, DWORD lastError)
{
    m_name = name;
    m_isFile = isFile;
    m_kind = kind;
    m_lastError = lastError;
}

DeleteItemsThread::DeleteItemsThread(const PathList* files, const PathList* folders)
    : m_hWnd(nullptr),
      m_method(0),
      m_singlePath(0),
      m_files(files),
      m_folders(folders),
      m_itemsDone(0),
      m_bytesDone(0),
      m_cancelled(false)
{
}

DeleteItemsThread::DeleteItemsThread(const CString& path)
    : m_hWnd(nullptr),
      m_method(0),
      m_singlePath(1),
      m_path(path),
      m_files(nullptr),
      m_folders(nullptr),
      m_itemsDone(0),
      m_bytesDone(0),
      m_cancelled(false)
{
}

DeleteItemsThread::~DeleteItemsThread() = default;

void DeleteItemsThread::Run()
{
    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(static_cast<uint32_t>(m_method)));

    if (!method) {
        // A method index without a pass list: nothing can be shredded, and the job must not pass for a
        // success (the caller would go on as if the items were gone, and empty the recycle bin).
        if (m_singlePath)
            Fail(m_path, 0, DeleteErrorFailed, ERROR_INVALID_PARAMETER);
        else if (m_files && !m_files->empty())
            Fail(m_files->front().c_str(), 1, DeleteErrorFailed, ERROR_INVALID_PARAMETER);
        else if (m_folders && !m_folders->empty())
            Fail(m_folders->front().c_str(), 0, DeleteErrorFailed, ERROR_INVALID_PARAMETER);
        else
            Fail(L"", 1, DeleteErrorFailed, ERROR_INVALID_PARAMETER);
    } else if (m_singlePath) {
        ShredFolder(m_path, method.get());
    } else {
        bool goOn = true;
        if (m_files) {
            for (const std::wstring& path : *m_files) {
                if (StopRequested(&m_stop) || !ShredOneFile(path.c_str(), method.get())) {
                    goOn = false;
                    break;
                }
            }
        }
        if (goOn && m_folders) {
            for (const std::wstring& path : *m_folders) {
                if (StopRequested(&m_stop) || !ShredFolder(path.c_str(), method.get()))
                    break;
            }
        }
    }

    method.reset();

    // After a stop the dialog is closing and waits for this thread; it expects nothing more.
    if (!StopRequested(&m_stop) && !m_cancelled)
        PostMessageW(m_hWnd, WM_DELETE_DONE, 0, 0);
}

int DeleteItemsThread::ShredOneFile(const wchar_t* path, CErasureMethod* method, const ItemPlace* place)
{
    const int32_t passes = static_cast<int32_t>(method->m_passes.size());

    // The first name of the job, shown before its first overwrite begins.
    if (m_itemsDone == 0)
        PostDeleteProgress(m_hWnd, path, 0, 0, m_bytesDone, 1, passes);

    if (IsPathTooLong(path))
        return Fail(path, 1, DeleteErrorFailed, ERROR_FILENAME_EXCED_RANGE);
    // "X:", "X:name", "\\name" and "name" depend on the current drive and folder: refused untouched.
    if (!IsFullyQualifiedPath(path))
        return Fail(path, 1, DeleteErrorFailed, ERROR_BAD_PATHNAME);

    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Fail(path, 1, DeleteErrorNotFound, error);
        // It is there but has no attributes to read: under Wine a FIFO, a socket or a device node.
        return Fail(path, 1, DeleteErrorFailed, IsSpecialFile(path) ? ERROR_NOT_SUPPORTED : error);
    }

    // A file of the request's list lies where its path names it: in the folder its name is in.
    ItemPlace named;
    if (!place) {
        if (!PlaceOfNamedItem(path, &named))
            return Fail(path, 1, DeleteErrorFailed, GetLastError());
        place = &named;
    }

    int32_t kind = DeleteErrorNone;
    DWORD code = 0;
    uint64_t size = 0;
    if (!ShredFile(m_hWnd, path, method, &kind, &code, &size, &m_stop, &m_itemsDone, &m_bytesDone, attributes,
                   &m_facts, place)) {
        if (kind == DeleteErrorNone) {
            // The overwrite saw the cancel; the file is kept and the job ends without a word.
            m_cancelled = true;
            return 0;
        }
        return Fail(path, 1, kind, code);
    }

    m_itemsDone += 1;
    m_bytesDone += size * static_cast<uint64_t>(passes);
    PostDeleteProgress(m_hWnd, path, size, m_itemsDone, m_bytesDone, passes, passes);
    return 1;
}

int DeleteItemsThread::ShredFolder(const wchar_t* folder, CErasureMethod* method)
{
    const CString path(folder);
    if (!IsFullyQualifiedPath(path))
        return Fail(path, 0, DeleteErrorFailed, ERROR_BAD_PATHNAME);

    // Only the link goes; what it points at lies outside the user's selection. What cannot be told apart
    // is left as it is.
    CString normalised;
    const FolderKind kind = KindOfFolder(path, &normalised);
    if (kind == FolderKind::Unknown)
        return Fail(path, 0, DeleteErrorFailed, GetLastError());
    ItemPlace place;
    if (!PlaceOfNamedItem(normalised, &place))
        return Fail(path, 0, DeleteErrorFailed, GetLastError());
    if (kind == FolderKind::Link)
        return RemoveFolder(normalised, false, place);
    return ShredFolderAt(path, method, place, nullptr);
}

int DeleteItemsThread::ShredFolderAt(const CString& path, CErasureMethod* method, const ItemPlace& place,
                                     const FolderPlace* parent)
{
    // The folder is the one its parent's listing named (or the one the user named), on its parent's volume,
    // before anything in it is listed: a name exchanged for a link meanwhile, or a mount, fails here.
    FolderPlace opened;
    const DWORD checked = CheckFolder(path, place, parent, &opened);
    if (checked != ERROR_SUCCESS)
        return Fail(path, 0, DeleteErrorFailed, checked);

    const CString pattern = SearchPattern(path);
    if (IsPathTooLong(pattern))
        return Fail(path, 0, DeleteErrorFailed, ERROR_FILENAME_EXCED_RANGE);

    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A drive root has no "." and ".." entries: the search of an empty one finds nothing at all,
        // which is an empty walk, not a folder that cannot be listed.
        if (error != ERROR_FILE_NOT_FOUND || !IsExistingFolder(path))
            return Fail(path, 0, DeleteErrorFailed, error);
    } else {
        // The search opened the folder by its name again: that name must still lead to the folder checked.
        FolderPlace listed;
        const DWORD relisted = CheckFolder(path, place, parent, &listed);
        if (relisted != ERROR_SUCCESS) {
            FindClose(search);
            return Fail(path, 0, DeleteErrorFailed, relisted);
        }
        for (;;) {
            if (StopRequested(&m_stop)) {
                // Stopped: the rest of this folder, the folder and every folder around it stay as they are.
                FindClose(search);
                m_cancelled = true;
                return 0;
            }
            int result = 1;
            const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!isFolder || !IsDotEntry(entry.cFileName)) {
                std::wstring joined;
                DWORD error = ERROR_SUCCESS;
                if (!JoinFoundName(path.Str(), entry.cFileName, &joined, &error)) {
                    // A name that would address something else than this entry: nothing is touched.
                    result = Fail(joined.c_str(), isFolder ? 0 : 1, DeleteErrorFailed, error);
                } else {
                    // Each entry must be found where this folder's listing named it.
                    const ItemPlace child = PlaceInFolder(opened, entry.cFileName);
                    const CString childPath(joined.c_str());
                    if (!isFolder)
                        result = ShredOneFile(joined.c_str(), method, &child);
                    else if (IsFolderLink(entry))
                        result = RemoveFolder(childPath, false, child);  // a link found goes itself
                    else
                        result = ShredFolderAt(childPath, method, child, &opened);
                }
            }
            if (!result) {
                FindClose(search);
                return 0;
            }
            if (!FindNextFileW(search, &entry)) {
                const DWORD error = GetLastError();
                FindClose(search);
                // A listing that breaks off is not the end of the folder: entries may remain, so neither
                // this folder nor a drive root may pass for done.
                if (error != ERROR_NO_MORE_FILES)
                    return Fail(path, 0, DeleteErrorFailed, error);
                break;
            }
        }
    }

    // A drive root such as C:\ is walked and kept.
    if (IsDriveRoot(path))
        return 1;
    return RemoveFolder(path, true, place, method);
}

int DeleteItemsThread::RemoveFolder(const CString& folder, bool ownFolder, const ItemPlace& place,
                                    CErasureMethod* method)
{
    // A folder's named streams are its data too; a link's would be those of what it points at.
    if (ownFolder) {
        int32_t kind = DeleteErrorNone;
        DWORD code = 0;
        if (!ShredNamedStreams(folder, method, &kind, &code, &m_stop)) {
            if (kind == DeleteErrorNone) {
                m_cancelled = true;
                return 0;
            }
            return Fail(folder, 0, kind, code);
        }
    }
    // A link is deleted itself: a rename could move what it points at.
    if (!ownFolder)
        return RemoveLink(folder, &place) ? 1 : Fail(folder, 0, DeleteErrorFailed, GetLastError());
    // A folder that stays is named where it now is: under its own name again, unless the way back failed.
    std::wstring leftAt;
    if (RenameAndDelete(folder, 1, &leftAt, &place))
        return 1;
    const DWORD error = GetLastError();
    return Fail(leftAt.c_str(), 0, DeleteErrorFailed, error);
}

int DeleteItemsThread::Fail(const wchar_t* name, int32_t isFile, int32_t kind, DWORD lastError)
{
    // Named as the user reads it, also when the walk addressed it literally.
    m_error.Set(ShownPath(name).c_str(), isFile, kind, lastError);
    return 0;
}
