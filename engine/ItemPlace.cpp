#include "ItemPlace.h"

#include <vector>

#include "FileHandle.h"
#include "FoundNames.h"

namespace {

// Opened to be looked at only: attributes, final path, volume. Every sharing mode, so that no other
// program's use of the item is disturbed; what a name leads to is followed (that is what is checked).
HANDLE OpenToLookAt(const wchar_t* path)
{
    return CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

// Whether a full path (plain or literal) names a drive root ("C:\") or a share root ("\\server\share\"),
// which has no folder of its own.
bool IsRootPath(const std::wstring& full)
{
    std::wstring rest = ShownPath(full);
    while (!rest.empty() && rest.back() == L'\\')
        rest.pop_back();
    if (rest.size() == 2 && rest[1] == L':')
        return true;
    if (rest.compare(0, 2, L"\\\\") != 0)
        return false;
    const size_t server = rest.find(L'\\', 2);
    return server != std::wstring::npos && rest.find(L'\\', server + 1) == std::wstring::npos;
}

// A path as the final path of the item it names would read: compared without case, the way the file
// systems of Windows name their entries, and without the dots and spaces that end its last element (the
// plain path rules drop them, and so does Wine's final path of an entry whose Linux name ends in them).
std::wstring Comparable(std::wstring path)
{
    while (!path.empty() && (path.back() == L'.' || path.back() == L' '))
        path.pop_back();
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    const std::wstring left = Comparable(a), right = Comparable(b);
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// Whether a final path is that of the item at place.
bool IsAt(const std::wstring& finalPath, const ItemPlace& place)
{
    if (place.m_isRoot)
        return true;
    std::wstring expected = place.m_folder;
    if (expected.empty() || expected.back() != L'\\')
        expected += L'\\';
    expected += place.m_name;
    return SamePath(finalPath, expected);
}

}  // namespace

bool FinalPathOf(HANDLE handle, std::wstring* path)
{
    std::vector<wchar_t> buffer(MAX_PATH + 8);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            path->assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length + 1);  // the length it needs, terminator included
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
}

bool PlaceOfNamedItem(const wchar_t* path, ItemPlace* place)
{
    *place = ItemPlace();
    std::wstring item(path ? path : L"");
    // The literal form is taken as it stands; a plain path as the plain rules take it ("/" as "\").
    if (!IsLiteralPath(item)) {
        item = FullPathOf(item);
        if (item.empty()) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
    }
    if (IsRootPath(item)) {
        place->m_isRoot = true;
        return true;
    }
    while (!item.empty() && IsSeparator(item.back()) && !IsRootPath(item))
        item.pop_back();
    const size_t slash = item.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= item.size()) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    std::wstring folder = item.substr(0, slash);
    if (!folder.empty() && folder.back() == L':')
        folder += L'\\';  // "C:" alone is the drive's current folder, not its root
    FileHandle handle(OpenToLookAt(folder.c_str()));
    if (!handle.IsValid() || !FinalPathOf(handle.Get(), &place->m_folder))
        return false;
    place->m_name = item.substr(slash + 1);
    return true;
}

ItemPlace PlaceInFolder(const FolderPlace& folder, const std::wstring& name)
{
    ItemPlace place;
    place.m_folder = folder.m_finalPath;
    place.m_name = name;
    return place;
}

ItemPlace PlaceRenamed(const ItemPlace& place, const std::wstring& name)
{
    ItemPlace renamed = place;
    renamed.m_name = name;
    return renamed;
}

DWORD CheckPlace(HANDLE handle, const ItemPlace& place)
{
    if (place.m_isRoot)
        return ERROR_SUCCESS;
    std::wstring actual;
    if (!FinalPathOf(handle, &actual))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    return IsAt(actual, place) ? ERROR_SUCCESS : kLeadsElsewhereError;
}

DWORD CheckSingleName(HANDLE file)
{
    FILE_STANDARD_INFO info = {};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    return info.NumberOfLinks > 1 ? kOtherNamesError : ERROR_SUCCESS;
}

DWORD CheckFolder(const wchar_t* path, const ItemPlace& place, const FolderPlace* parent, FolderPlace* opened)
{
    FileHandle folder(OpenToLookAt(path));
    if (!folder.IsValid())
        return LastErrorOr(ERROR_PATH_NOT_FOUND);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(folder.Get(), &info))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    // The volume first: under Wine a file system that belongs to no drive has no final path to tell.
    if (parent && info.dwVolumeSerialNumber != parent->m_volumeSerial)
        return kOtherVolumeError;
    if (!FinalPathOf(folder.Get(), &opened->m_finalPath))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    // A file put where the folder was is not the folder that was listed either.
    if (!IsAt(opened->m_finalPath, place) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return kLeadsElsewhereError;
    opened->m_volumeSerial = info.dwVolumeSerialNumber;
    return ERROR_SUCCESS;
}

DWORD CheckItemAt(const wchar_t* path, const ItemPlace& place)
{
    FileHandle item(OpenToLookAt(path));
    if (!item.IsValid())
        return LastErrorOr(ERROR_FILE_NOT_FOUND);
    return CheckPlace(item.Get(), place);
}
