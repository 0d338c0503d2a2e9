#include "ShredFile.h"

#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <vector>

#include "FileHandle.h"
#include "FoundNames.h"
#include "ItemPlace.h"
#include "libcommon/Volume.h"

namespace {

constexpr int kRenameCount = 7;
constexpr int kRenameNameLength = 25;
constexpr DWORD kRenameRetryPauseMs = 100;
constexpr DWORD kFolderNotEmptyPauseMs = 1000;
constexpr wchar_t kNameCharacters[] = L"0123456789abcdefghijklmnopqrstuvwxyz";

// The item's folder: the path less its last element. false when nothing can be removed.
bool FolderOf(const wchar_t* path, std::wstring& folder)
{
    // The literal form: up to its last backslash, kept after a drive ("\\?\X:\").
    if (IsLiteralPath(path)) {
        const std::wstring whole(path);
        const size_t slash = whole.find_last_of(L'\\');
        if (slash <= 4 || slash + 1 >= whole.size())
            return false;
        folder = whole.substr(0, slash);
        if (folder.size() == 6 && folder[5] == L':')
            folder += L'\\';
        return true;
    }
    std::vector<wchar_t> buffer(path, path + std::wcslen(path) + 1);
    if (!PathRemoveFileSpecW(buffer.data()))
        return false;
    folder = buffer.data();
    return true;
}

// Measured in the plain form: the "\\?\" of an entry addressed literally is not counted.
bool FitsPathBuffer(const wchar_t* path)
{
    return ShownPath(path).size() < MAX_PATH;
}

void Pause(DWORD milliseconds)
{
    const DWORD error = GetLastError();
    Sleep(milliseconds);
    SetLastError(error);
}

// The thread's last error, or fallback when no call has left one.
DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

int Fail(int32_t* kind, DWORD* code, DWORD error)
{
    *kind = DeleteErrorFailed;
    *code = error;
    return 0;
}

int Cancelled(int32_t* kind)
{
    *kind = DeleteErrorNone;
    return 0;
}

// Turns the overwrite loop's result into this file's: 1 when every pass was written, else 0 with the kind
// of the failure (none for a stop, which keeps the file without a word).
int PassesResult(int result, int32_t* kind, DWORD* code)
{
    switch (result) {
    case kPassesWritten:
        return 1;
    case kPassesStopped:
        return Cancelled(kind);
    default:
        return Fail(kind, code, LastErrorOr(ERROR_WRITE_FAULT));
    }
}


enum class ReparseKind { NotReparse, Link, OwnData, Unknown };

// What a reparse point is, by the tag that a search of its path reports. One that the search shows without
// a tag counts as a link: nothing is ever written through it. One that the search shows without the
// reparse attribute is no reparse point (any more): a plain file. Unknown (the search failed; the thread's
// last error says why) is neither written through nor removed unwritten.
ReparseKind KindOfReparsePoint(const wchar_t* path)
{
    // A file name holds no wildcard, which would make the search report another entry; the "?" of the
    // long-form prefix is none.
    const wchar_t* name = std::wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
    if (std::wcspbrk(name, L"*?")) {
        SetLastError(ERROR_INVALID_NAME);
        return ReparseKind::Unknown;
    }
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return ReparseKind::Unknown;
    FindClose(search);
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return ReparseKind::NotReparse;
    return IsLinkReparseTag(entry.dwReserved0) ? ReparseKind::Link : ReparseKind::OwnData;
}

// Whether a failed stream search means that the item has no named streams: the end of the list, or a file
// system (or Wine) that keeps no streams and does not answer the search.
bool MeansNoStreams(DWORD error)
{
    switch (error) {
    case ERROR_HANDLE_EOF:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
        return true;
    default:
        return false;
    }
}

// The names of the item's named data streams (":name:$DATA"), without the unnamed one ("::$DATA").
// false (the thread's last error says why) when they cannot be listed.
bool ListNamedStreams(const wchar_t* path, std::vector<std::wstring>& streams)
{
    streams.clear();
    WIN32_FIND_STREAM_DATA found;
    HANDLE search = FindFirstStreamW(path, FindStreamInfoStandard, &found, 0);
    if (search == INVALID_HANDLE_VALUE)
        return MeansNoStreams(GetLastError());
    for (;;) {
        if (std::wcscmp(found.cStreamName, L"::$DATA") != 0)
            streams.push_back(found.cStreamName);
        if (!FindNextStreamW(search, &found)) {
            const DWORD error = GetLastError();
            FindClose(search);
            if (error == ERROR_HANDLE_EOF)
                return true;
            SetLastError(error);
            return false;
        }
    }
}

// The size of the open file; -1 when it cannot be read.
int64_t SizeOf(HANDLE file)
{
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

// Renames the open item to target through its handle, so that what is renamed is the item that was opened
// and checked, whatever its old name leads to meanwhile (Wine renames by the name the item had when it was
// opened, and a link put there since is renamed itself, never what it points at).
bool RenameOpenItem(HANDLE item, const std::wstring& target)
{
    const size_t bytes = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
    std::vector<uint8_t> buffer(bytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), info->FileName);
    return SetFileInformationByHandle(item, FileRenameInfo, info, static_cast<DWORD>(bytes)) != 0;
}

// Marks the open item for deletion when its last handle closes; a folder must be empty.
bool DeleteOpenItem(HANDLE item)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(item, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Whether the name is gone after its item was deleted: the system may report a deletion that did not
// happen (Wine, when the Linux removal fails: an immutable folder, a mount point).
bool IsGone(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Opens an item to be written: data, and delete access, so that a file that another program holds without
// letting deleters in fails here, before any byte of it is written. Checked to be the item at place (when
// given) and to have no other names. INVALID_HANDLE_VALUE with *error set otherwise.
HANDLE OpenToWrite(const wchar_t* path, DWORD flags, const ItemPlace* place, DWORD* error)
{
    FileHandle file(CreateFileW(path, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | DELETE, FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, flags, nullptr));
    if (!file.IsValid()) {
        *error = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    *error = place ? CheckPlace(file.Get(), *place) : ERROR_SUCCESS;
    if (*error == ERROR_SUCCESS)
        *error = CheckSingleName(file.Get());
    if (*error != ERROR_SUCCESS)
        return INVALID_HANDLE_VALUE;
    HANDLE opened = file.Get();
    file.Release();
    return opened;
}

}  // namespace

BOOL SetEarliestFileTimes(HANDLE item)
{
    const FILETIME earliest = {1, 0};
    return SetFileTime(item, &earliest, &earliest, &earliest);
}

std::wstring MakeRandomName(int length)
{
    std::wstring name;
    for (int i = 0; i < length; ++i)
        name += kNameCharacters[std::rand() % 36];
    return name;
}

int RoundUpToCluster(const wchar_t* path, uint64_t* size, std::wstring& folder)
{
    std::unique_ptr<CVolume> volume(GetVolumeForPath(folder));
    if (!volume)
        return 1;

    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(volume->m_root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters))
        return 0;
    const uint32_t cluster = sectorsPerCluster * bytesPerSector;
    if (cluster == 0) {
        // Without a cluster size every file would round to nothing and go unwritten.
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }

    FileHandle file(CreateFileW(path, FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!file.IsValid())
        return 0;
    LARGE_INTEGER fileSize = {};
    if (!GetFileSizeEx(file.Get(), &fileSize))
        return 0;
    const uint64_t bytes = static_cast<uint64_t>(fileSize.QuadPart);
    *size = (bytes + cluster - 1) / cluster * cluster;
    return 1;
}

FolderFacts LookUpFolderFacts(const std::wstring& folder, std::wstring* volumeRoot)
{
    FolderFacts facts;
    std::wstring buffer = folder;
    std::unique_ptr<CVolume> volume(GetVolumeForPath(buffer));
    if (!volume) {
        facts.m_volumeError = LastErrorOr(ERROR_PATH_NOT_FOUND);
        return facts;
    }
    facts.m_hasVolume = true;
    facts.m_isFat = volume->m_isFat;
    if (volumeRoot)
        *volumeRoot = volume->m_root;
    // Only NTFS keeps file records; one that does not tell their size has records of the usual size.
    if (!volume->m_isFat)
        facts.m_hasRecordSize = GetFileRecordSizeToFill(volume.get(), &facts.m_recordSize) != 0;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(volume->m_root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters)) {
        facts.m_clusterError = LastErrorOr(ERROR_INVALID_DATA);
        return facts;
    }
    facts.m_cluster = sectorsPerCluster * bytesPerSector;
    // Without a cluster size every file would round to nothing and go unwritten.
    facts.m_hasCluster = facts.m_cluster != 0;
    if (!facts.m_hasCluster)
        facts.m_clusterError = ERROR_INVALID_DATA;
    return facts;
}

FolderFacts CFolderFactsCache::For(const std::wstring& folder)
{
    const auto known = m_volumeOfFolder.find(folder);
    if (known != m_volumeOfFolder.end()) {
        const auto facts = m_factsOfVolume.find(known->second);
        if (facts != m_factsOfVolume.end())
            return facts->second;
    }
    std::wstring root;
    const FolderFacts facts = LookUpFolderFacts(folder, &root);
    if (facts.m_hasVolume && facts.m_hasCluster) {
        if (m_volumeOfFolder.size() >= kMostFolders) {
            m_volumeOfFolder.clear();
            m_factsOfVolume.clear();
        }
        m_volumeOfFolder[folder] = root;
        m_factsOfVolume.emplace(root, facts);  // the first lookup of a volume stands for all its folders
    }
    return facts;
}

int RenameAndDelete(const wchar_t* path, int isFolder, std::wstring* leftAt, const ItemPlace* place,
                    int64_t expectedSize)
{
    if (leftAt)
        *leftAt = path;
    if (!FitsPathBuffer(path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }

    // The item itself, also when it is a link: its times, not those of what it points at. Every step from
    // here goes through this handle, checked first to be the item at place: the renames and the deletion
    // act on what was checked, not on whatever the name leads to by then.
    FileHandle item(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!item.IsValid())
        return 0;
    const DWORD where = place ? CheckPlace(item.Get(), *place) : ERROR_SUCCESS;
    if (where != ERROR_SUCCESS) {
        SetLastError(where);
        return 0;
    }
    // A file that another program has written to since its overwrite ended holds data that no pass reached.
    if (!isFolder && expectedSize >= 0 && SizeOf(item.Get()) != expectedSize) {
        SetLastError(kSizeChangedError);
        return 0;
    }
    SetEarliestFileTimes(item.Get());
    // Windows refuses to remove a read-only folder: the attribute goes first, as a file's does.
    if (isFolder) {
        FILE_BASIC_INFO info = {};
        if (GetFileInformationByHandleEx(item.Get(), FileBasicInfo, &info, sizeof info) &&
            (info.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
            FILE_BASIC_INFO writable = {};  // times of 0 stay as they are
            writable.FileAttributes = info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
            SetFileInformationByHandle(item.Get(), FileBasicInfo, &writable, sizeof writable);
        }
    }

    // Targets go beside the item. After a drive ("C:") or no folder at all (a name relative to the current
    // folder) a backslash would put them in the drive's root instead.
    std::wstring folder;
    if (!FolderOf(path, folder))
        folder = path;
    const bool bare = folder.empty() || folder.back() == L'\\' || (folder.size() == 2 && folder[1] == L':');
    const wchar_t* separator = bare ? L"" : L"\\";

    std::wstring current = path;
    for (int attempt = 0; attempt < kRenameCount; ++attempt) {
        const std::wstring target = folder + separator + MakeRandomName(kRenameNameLength) + L".tmp";
        if (FitsPathBuffer(target.c_str()) && RenameOpenItem(item.Get(), target))
            current = target;
        else
            Pause(kRenameRetryPauseMs);
    }

    // What stays gets its own name back, with whatever it still holds (a folder that something was written
    // into meanwhile, a file that grew); where that fails, the caller learns where it now is.
    auto keep = [&](DWORD error) {
        if (current != path && RenameOpenItem(item.Get(), path))
            current = path;
        if (leftAt)
            *leftAt = ShownPath(current);
        SetLastError(error);
        return 0;
    };
    if (!isFolder && expectedSize >= 0 && SizeOf(item.Get()) != expectedSize)
        return keep(kSizeChangedError);
    if (!DeleteOpenItem(item.Get())) {
        const DWORD error = GetLastError();
        if (isFolder && error == ERROR_DIR_NOT_EMPTY)
            Pause(kFolderNotEmptyPauseMs);
        return keep(error);
    }
    item.Close();
    if (IsGone(current))
        return 1;
    // Reported deleted, yet there: its own name back, if it can be opened as the item it was.
    FileHandle stayed(CreateFileW(current.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    if (stayed.IsValid() && current != path && RenameOpenItem(stayed.Get(), path))
        current = path;
    if (leftAt)
        *leftAt = ShownPath(current);
    SetLastError(kStillThereError);
    return 0;
}

bool IsSpecialFile(const wchar_t* path)
{
    FileHandle item(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
    if (!item.IsValid())
        return false;
    const DWORD type = GetFileType(item.Get());
    return type != FILE_TYPE_DISK && type != FILE_TYPE_UNKNOWN;
}

int RemoveLink(const wchar_t* path, const ItemPlace* place)
{
    if (!FitsPathBuffer(path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    FileHandle link(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link.IsValid())
        return 0;
    // Only a handle that is the link itself shows the reparse point. Without it the system has opened what
    // the link points at (Wine does, for the Unix links it shows): nothing is done through such a handle.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(link.Get(), FileAttributeTagInfo, &tag, sizeof tag))
        return 0;
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    // And it is the link that was found there, not one put in its place since.
    const DWORD where = place ? CheckPlace(link.Get(), *place) : ERROR_SUCCESS;
    if (where != ERROR_SUCCESS) {
        SetLastError(where);
        return 0;
    }
    // A read-only link cannot be deleted: the attribute goes first, the link's own.
    if (tag.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO info = {};  // times of 0 stay as they are
        const DWORD writable = tag.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        info.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(link.Get(), FileBasicInfo, &info, sizeof info);
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(link.Get(), FileDispositionInfo, &disposition, sizeof disposition))
        return 0;
    link.Close();
    if (!IsGone(path)) {
        SetLastError(kStillThereError);
        return 0;
    }
    return 1;
}

int ShredNamedStreams(const wchar_t* path, CErasureMethod* method, int32_t* kind, DWORD* code,
                      const CancelFlag* cancel)
{
    std::vector<std::wstring> streams;
    if (!ListNamedStreams(path, streams))
        return Fail(kind, code, LastErrorOr(ERROR_INVALID_FUNCTION));
    for (const std::wstring& stream : streams) {
        const std::wstring name = path + stream;
        FileHandle file(CreateFileW(name.c_str(), FILE_WRITE_DATA, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_WRITE_THROUGH, nullptr));
        if (!file.IsValid())
            return Fail(kind, code, GetLastError());
        const int overwrite = method->WritePasses(nullptr, file.Get(), name.c_str(), cancel, nullptr, nullptr,
                                                 nullptr, nullptr, -1);
        if (!PassesResult(overwrite, kind, code))
            return 0;
    }
    return 1;
}

int ShredFile(HWND hWnd, const wchar_t* path, CErasureMethod* method, int32_t* kind, DWORD* code, uint64_t* size,
              const CancelFlag* cancel, const uint64_t* itemsDone, const uint64_t* bytesDone, DWORD attributes,
              CFolderFactsCache* facts, const ItemPlace* place)
{
    if (attributes & FILE_ATTRIBUTE_COMPRESSED) {
        *kind = DeleteErrorCompressed;
        *code = GetLastError();
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_ENCRYPTED) {
        *kind = DeleteErrorEncrypted;
        *code = GetLastError();
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
        *kind = DeleteErrorSparse;
        *code = GetLastError();
        return 0;
    }
    if (!FitsPathBuffer(path))
        return Fail(kind, code, ERROR_FILENAME_EXCED_RANGE);

    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        switch (KindOfReparsePoint(path)) {
        case ReparseKind::Unknown:
            return Fail(kind, code, LastErrorOr(ERROR_INVALID_NAME));
        case ReparseKind::OwnData:
            // Its data lies where a filter keeps it (WOF-compressed, deduplicated, a cloud file): writes
            // through the path would not reach the clusters that hold it. Left untouched, as compressed files.
            *kind = DeleteErrorCompressed;
            *code = ERROR_NOT_SUPPORTED;
            return 0;
        case ReparseKind::Link: {
            // A symbolic link or junction: writing through it would overwrite what it points at, outside
            // the user's selection, and renaming it may move what it points at. Only the link itself goes.
            *size = 0;
            const int removed = RemoveLink(path, place);
            if (!removed)
                return Fail(kind, code, GetLastError());
            *code = GetLastError();
            return removed;
        }
        case ReparseKind::NotReparse:
            // It changed since the caller looked: a plain file now, overwritten as one.
            attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
            break;
        }
    }

    // A read-only file is made writable, through a handle checked to be the item at place: nothing of what
    // its name might lead to instead is changed.
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO info = {};  // times of 0 stay as they are
        const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        info.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
        FileHandle look(CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    0, nullptr));
        const DWORD checked = !look.IsValid() ? GetLastError() : place ? CheckPlace(look.Get(), *place) : ERROR_SUCCESS;
        if (checked != ERROR_SUCCESS)
            return Fail(kind, code, checked);
        SetFileInformationByHandle(look.Get(), FileBasicInfo, &info, sizeof info);
    }

    std::wstring folder;
    if (!FolderOf(path, folder))
        return Fail(kind, code, ERROR_BAD_PATHNAME);
    // The volume functions take plain paths; a folder below a name they would change is on the same volume.
    const std::wstring volumeFolder = PlainAncestor(folder);
    const FolderFacts where = facts ? facts->For(volumeFolder) : LookUpFolderFacts(volumeFolder);
    if (!where.m_hasVolume)
        return Fail(kind, code, where.m_volumeError);

    // The file's length from the first open on, as this job alone changes it: what the pre-pass writes and
    // then the whole clusters of the main overwrite. Any other change is another program's writing, whose
    // data the passes may not have reached: the file then fails, kept under its name.
    int64_t expected = 0;
    {
        DWORD error = ERROR_SUCCESS;
        FileHandle file(OpenToWrite(path, 0, place, &error));
        if (!file.IsValid())
            return Fail(kind, code, error);
        // A pipe, a FIFO or a device has no clusters of its own to overwrite.
        if (GetFileType(file.Get()) != FILE_TYPE_DISK)
            return Fail(kind, code, ERROR_NOT_SUPPORTED);
        expected = SizeOf(file.Get());
        if (expected < 0)
            return Fail(kind, code, GetLastError());
        *size = static_cast<uint64_t>(expected);

        // A file smaller than one NTFS file record may live inside the record: overwrite the record's
        // worth of bytes first. Only NTFS has file records; elsewhere there is no such step.
        if (!where.m_isFat && where.m_hasRecordSize && expected < static_cast<int64_t>(where.m_recordSize)) {
            const int overwrite = method->WritePasses(hWnd, file.Get(), path, cancel, size, itemsDone, bytesDone,
                                                     nullptr, static_cast<int64_t>(where.m_recordSize));
            if (!PassesResult(overwrite, kind, code))
                return 0;
            expected = static_cast<int64_t>(where.m_recordSize);
        }
        if (SizeOf(file.Get()) != expected)
            return Fail(kind, code, kSizeChangedError);
    }

    // The overwrite covers the file's whole clusters.
    if (!where.m_hasCluster)
        return Fail(kind, code, where.m_clusterError);
    const uint64_t current = static_cast<uint64_t>(expected);
    const uint64_t rounded = (current + where.m_cluster - 1) / where.m_cluster * where.m_cluster;

    if (rounded != 0) {
        // A stop asked for before the main overwrite leaves the file as it is.
        if (StopRequested(cancel))
            return Cancelled(kind);
        DWORD error = ERROR_SUCCESS;
        FileHandle file(OpenToWrite(path, FILE_FLAG_WRITE_THROUGH, place, &error));
        if (!file.IsValid())
            return Fail(kind, code, error);
        if (SizeOf(file.Get()) != expected)
            return Fail(kind, code, kSizeChangedError);
        // Every pass covers the whole last cluster: written over the rounded length from the start, so
        // that the write itself extends the file. The length is never changed before the passes: a FAT
        // driver may move a file whose length changes to new clusters and free the old ones with their
        // data still in them.
        const int overwrite = method->WritePasses(hWnd, file.Get(), path, cancel, size, itemsDone, bytesDone,
                                                 PostDeleteProgress, static_cast<int64_t>(rounded));
        if (!PassesResult(overwrite, kind, code))
            return 0;
        expected = static_cast<int64_t>(rounded);
        if (SizeOf(file.Get()) != expected)
            return Fail(kind, code, kSizeChangedError);
    }

    // Named streams (a downloaded file's Zone.Identifier, for one) hold data of the file as well.
    if (!ShredNamedStreams(path, method, kind, code, cancel))
        return 0;

    const int removed = RenameAndDelete(path, 0, nullptr, place, expected);
    if (!removed)
        return Fail(kind, code, GetLastError());
    *code = GetLastError();
    return removed;
}
