// The free-space job.
#include "CleanFreeSpaceThread.h"

#include <rpc.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/ErasureMethod.h"
#include "engine/FreeSpace.h"
#include "engine/ProgressMessages.h"
#include "JobPaths.h"
#include "libcommon/Volume.h"

namespace {

// Tries to delete the folder this many times, with this pause between tries.
constexpr int kDeleteTries = 3;
constexpr DWORD kDeletePauseMs = 500;

bool FolderIsGone(const CString& folder)
{
    if (GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Deletes the folder with everything in it, without the recycle bin and without any window. false when it
// is still there after every try: the drive is then full of fill files.
bool DeleteFolderTree(const CString& folder)
{
    // SHFileOperationW takes a list of paths, each NUL-terminated, ended by an empty one.
    std::vector<wchar_t> from(folder.GetString(), folder.GetString() + folder.GetLength());
    from.push_back(L'\0');
    from.push_back(L'\0');

    for (int attempt = 0; attempt < kDeleteTries; ++attempt) {
        if (attempt > 0)
            Sleep(kDeletePauseMs);
        SHFILEOPSTRUCTW operation = {};
        operation.hwnd = nullptr;
        operation.wFunc = FO_DELETE;
        operation.pFrom = from.data();
        operation.pTo = nullptr;
        operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
        // Its result alone does not tell: an operation may end without error and leave entries behind.
        SHFileOperationW(&operation);
        if (FolderIsGone(folder))
            return true;
    }
    return false;
}

}  // namespace

CleanFreeSpaceThread::CleanFreeSpaceThread() = default;

CleanFreeSpaceThread::CleanFreeSpaceThread(const CString& drivePath) : m_drivePath(drivePath) {}

CleanFreeSpaceThread::~CleanFreeSpaceThread() = default;

int MakeUniqueFolderName(const CString& drivePath, CString& folderName)
{
    if (drivePath.IsEmpty()) {
        return 0;
    }
    UUID uuid;
    if (UuidCreate(&uuid) != RPC_S_OK) {
        return 0;
    }
    RPC_WSTR text = nullptr;
    if (UuidToStringW(&uuid, &text) != RPC_S_OK || !text) {
        return 0;
    }
    CString name = drivePath;
    // "C:" + name would be a folder relative to the drive's current folder: the folder belongs under
    // the root.
    if (name[name.GetLength() - 1] != L'\\') {
        name += L'\\';
    }
    name += reinterpret_cast<const wchar_t*>(text);
    RpcStringFreeW(&text);
    folderName = name;
    return 1;
}

void CleanFreeSpaceThread::Run()
{
    PostMessageW(m_hWnd, WM_SHOW_PROGRESS, 0, 0);

    m_unwipedBytes = 0;
    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(static_cast<uint32_t>(m_method)));
    std::unique_ptr<CVolume> volume;
    if (!method) {
        m_failed = 1;
    } else {
        std::wstring path = m_drivePath.Str();
        // Only a drive root named by its form ("X:\\"): "X:" would put the folder below the drive's
        // current folder.
        if (IsDriveRoot(m_drivePath))
            volume.reset(GetVolumeForPath(path));
        CString folder;
        if (!volume || !MakeUniqueFolderName(m_drivePath, folder)) {
            m_failed = 1;
        } else if (!CreateDirectoryW(folder, nullptr)) {
            // Not this run's folder (it may even exist already): nothing to delete.
            m_failed = 1;
        } else {
            const std::wstring fillFolder = folder.Str();
            if (!FillFreeSpace(m_hWnd, volume.get(), &m_stop, fillFolder, method.get(), &m_unwipedBytes)) {
                m_failed = 1;
            } else {
                m_failed = FillResidentSpace(m_hWnd, volume.get(), &m_stop, fillFolder, method.get()) ? 0 : 1;
            }
            // A folder left behind holds the drive's free space in fill files: the job has failed.
            if (!DeleteFolderTree(folder))
                m_failed = 1;
        }
    }
    method.reset();
    volume.reset();

    if (!StopRequested(&m_stop)) {
        PostMessageW(m_hWnd, WM_FREE_SPACE_DONE, 0, 0);
    }
}
