// The counting thread.
#include "CalculateMetricsThread.h"

#include <memory>

#include "JobPaths.h"
#include "engine/FoundNames.h"
#include "engine/ProgressMessages.h"

HWND g_hProgressWnd = nullptr;

const wchar_t* SizeInUnits(uint64_t bytes, uint64_t* value)
{
    static const wchar_t* const kUnits[] = {L"bytes", L"KB", L"MB", L"GB", L"TB"};
    size_t unit = 0;
    uint64_t shown = bytes;
    while (unit + 1 < sizeof kUnits / sizeof kUnits[0] && shown >= 1024) {
        shown >>= 10;
        ++unit;
    }
    *value = shown;
    return kUnits[unit];
}

namespace {

// String table: "Total Items: %I64d Size : %I64d %s  (%I64d bytes)" and "Name : ".
const UINT kStatusFormatId = 123;
const UINT kNameLabelId = 126;

// A file is reported in the status line after this many files counted since the last status.
const int32_t kFilesBetweenStatus = 200;
// Longer names are shown as "..." and their last this many characters.
const int kNameLength = 50;

uint64_t EntrySize(const WIN32_FIND_DATAW& entry)
{
    return (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

}  // namespace

CCalculateMetricsThread::CCalculateMetricsThread(const PathList* files, const PathList* folders)
    : m_files(files), m_folders(folders), m_filesSinceStatus(0), m_singlePath(0)
{
    m_statusFormat.LoadString(kStatusFormatId);
}

CCalculateMetricsThread::CCalculateMetricsThread(const CString& path)
    : m_files(nullptr), m_folders(nullptr), m_filesSinceStatus(0), m_singlePath(1), m_path(path)
{
    m_statusFormat.LoadString(kStatusFormatId);
}

CCalculateMetricsThread::~CCalculateMetricsThread() = default;

void CCalculateMetricsThread::Run()
{
    uint64_t files = 0;
    uint64_t bytes = 0;

    if (m_singlePath) {
        // Only folders of their own, named fully, are walked (the shredding job refuses the rest).
        if (IsFullyQualifiedPath(m_path) && KindOfFolder(m_path) == FolderKind::Folder)
            CountFolder(&m_stop, m_path, &bytes, &files);
    } else {
        if (m_files) {
            for (const std::wstring& listed : *m_files) {
                if (StopRequested(&m_stop))
                    return;
                CString path(listed);
                if (IsPathTooLong(path) || !IsFullyQualifiedPath(path))
                    continue;
                // A listed file that is not where its path names it (its name a link to elsewhere) is not
                // counted: the shredding job fails at it untouched.
                ItemPlace place;
                if (!PlaceOfNamedItem(path, &place) || CheckItemAt(path, place) != ERROR_SUCCESS)
                    continue;
                WIN32_FIND_DATAW entry;
                HANDLE search = FindFirstFileW(path, &entry);
                if (search == INVALID_HANDLE_VALUE)
                    continue;
                files += 1;
                bytes += EntrySize(entry);
                StatusTick(path, &bytes, &files);
                FindClose(search);
            }
        }
        if (m_folders) {
            for (const std::wstring& listed : *m_folders) {
                CString folder(listed);
                if (!IsFullyQualifiedPath(folder) || KindOfFolder(folder) != FolderKind::Folder)
                    continue;
                CountFolder(&m_stop, folder, &bytes, &files);
            }
        }
    }

    if (StopRequested(&m_stop))
        return;
    PostPayload(g_hProgressWnd, WM_METRICS_DONE, new MetricsResult{files, bytes});
}

void CCalculateMetricsThread::CountFolder(const CancelFlag* stop, const CString& folder, uint64_t* bytes,
                                          uint64_t* files)
{
    ItemPlace place;
    if (PlaceOfNamedItem(folder, &place))
        CountFolderAt(stop, folder, place, nullptr, bytes, files);
}

void CCalculateMetricsThread::CountFolderAt(const CancelFlag* stop, const CString& folder, const ItemPlace& place,
                                            const FolderPlace* parent, uint64_t* bytes, uint64_t* files)
{
    FolderPlace opened;
    if (CheckFolder(folder, place, parent, &opened) != ERROR_SUCCESS)
        return;
    CString pattern = SearchPattern(folder);
    if (IsPathTooLong(pattern))
        return;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    // The search opened the folder by its name again: that name must still lead to the folder checked.
    FolderPlace listed;
    if (CheckFolder(folder, place, parent, &listed) != ERROR_SUCCESS) {
        FindClose(search);
        return;
    }
    do {
        if (StopRequested(stop))
            break;
        // Names that cannot be joined as one entry of the folder are not counted: the shredding job
        // fails at them untouched.
        std::wstring joined;
        DWORD error = ERROR_SUCCESS;
        if (!JoinFoundName(folder.Str(), entry.cFileName, &joined, &error))
            continue;
        CString path(joined.c_str());
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsFolderLink(entry) || IsPathTooLong(path))
                continue;
            CountFolderAt(stop, path, PlaceInFolder(opened, entry.cFileName), &opened, bytes, files);
        } else {
            if (IsPathTooLong(path))
                continue;
            *bytes += EntrySize(entry);
            *files += 1;
            StatusTick(path, bytes, files);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

void CCalculateMetricsThread::StatusTick(const CString& path, const uint64_t* bytes, const uint64_t* files)
{
    if (m_filesSinceStatus < kFilesBetweenStatus)
        ++m_filesSinceStatus;
    else
        PostStatus(path, bytes, files);
}

void CCalculateMetricsThread::PostStatus(const CString& path, const uint64_t* bytes, const uint64_t* files)
{
    m_filesSinceStatus = 0;

    const uint64_t total = *bytes;
    uint64_t value = 0;
    const wchar_t* unit = SizeInUnits(total, &value);

    CString statusLine;
    statusLine.Format(m_statusFormat, static_cast<long long>(*files), static_cast<long long>(value), unit,
                      static_cast<long long>(total));

    const CString shown(ShownPath(path.Str()).c_str());
    CString name = shown.GetLength() <= kNameLength ? shown : CString(L"...") + shown.Right(kNameLength);
    CString nameLine;
    nameLine.LoadString(kNameLabelId);
    nameLine += name;

    PostPayload(g_hProgressWnd, WM_METRICS_STATUS, new MetricsStatus{nameLine.Str(), statusLine.Str()});
}
