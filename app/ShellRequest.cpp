#include "app/ShellRequest.h"

#include <cstddef>
#include <cstring>
#include <cwctype>
#include <vector>

namespace {

// Reads the request's bytes front to back; every read is checked against the end first.
class RequestCursor {
public:
    RequestCursor(const uint8_t* bytes, size_t size) : m_bytes(bytes), m_size(size) {}

    bool ReadByte(size_t offset, uint8_t& value) const
    {
        if (offset >= m_size)
            return false;
        value = m_bytes[offset];
        return true;
    }

    bool ReadCount(size_t offset, uint32_t& value) const
    {
        if (offset > m_size || m_size - offset < sizeof(uint32_t))
            return false;
        std::memcpy(&value, m_bytes + offset, sizeof(value));
        return true;
    }

    // One path record at offset; on success offset moves to the next record.
    RequestFault ReadRecord(size_t& offset, std::wstring& path) const
    {
        uint32_t advance = 0;
        if (!ReadCount(offset + ShellRequest::PathRecord::kAdvanceOffset, advance))
            return RequestFault::Truncated;
        const size_t start = offset + ShellRequest::PathRecord::kPathOffset;
        // The path ends at its first NUL code unit, which must lie within the request.
        size_t units = 0;
        for (;;) {
            const size_t at = start + units * sizeof(wchar_t);
            if (at > m_size || m_size - at < sizeof(wchar_t))
                return RequestFault::Truncated;
            wchar_t unit;
            std::memcpy(&unit, m_bytes + at, sizeof(unit));
            if (unit == L'\0')
                break;
            ++units;
        }
        const size_t pathBytes = (units + 1) * sizeof(wchar_t);
        if (advance < pathBytes)
            return RequestFault::ShortAdvance;
        if (advance > m_size - start)
            return RequestFault::Truncated;
        path.resize(units);
        if (units)
            std::memcpy(path.data(), m_bytes + start, units * sizeof(wchar_t));
        offset = start + advance;
        return RequestFault::None;
    }

    // count at offset, then that many records into paths; offset moves past them.
    RequestFault ReadList(size_t& offset, PathList& paths) const
    {
        uint32_t count = 0;
        if (!ReadCount(offset, count))
            return RequestFault::Truncated;
        offset += sizeof(count);
        for (uint32_t i = 0; i < count; ++i) {
            std::wstring path;
            const RequestFault fault = ReadRecord(offset, path);
            if (fault != RequestFault::None)
                return fault;
            paths.push_back(std::move(path));
        }
        return RequestFault::None;
    }

private:
    const uint8_t* m_bytes;
    size_t m_size;
};

bool IsAsciiLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The path's own form, before the system is asked: a drive path or a share path, and no character that
// names several files or that no file name may hold.
bool HasPlainForm(const std::wstring& path)
{
    size_t firstNameChar;
    if (path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && path[2] == L'\\') {
        firstNameChar = 3;
    } else if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        // "\\server\share": no long-form or device prefix, a server and a share.
        const size_t serverEnd = path.find(L'\\', 2);
        if (serverEnd == std::wstring::npos || serverEnd == 2)
            return false;
        if (path[2] == L'?' || path[2] == L'.')
            return false;
        const size_t shareEnd = path.find(L'\\', serverEnd + 1);
        if ((shareEnd == std::wstring::npos ? path.size() : shareEnd) == serverEnd + 1)
            return false;
        firstNameChar = 2;
    } else {
        return false;
    }
    for (size_t i = firstNameChar; i < path.size(); ++i) {
        const wchar_t c = path[i];
        if (c < 0x20 || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"' ||
            c == L'|')
            return false;
    }
    return true;
}

// The path as the system resolves it: with "." and ".." applied, trailing blanks and dots dropped, doubled
// backslashes joined and device names turned into device paths.
bool FullPathOf(const std::wstring& path, std::wstring& full)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size())
        return false;
    full.assign(buffer.data(), length);
    return true;
}

// A path as the file system compares it: in upper case, without trailing backslashes.
std::wstring ComparisonKey(const std::wstring& path)
{
    std::wstring key(path);
    while (!key.empty() && key.back() == L'\\')
        key.pop_back();
    if (!key.empty())
        CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

// Whether key names the folder key of folder or something inside it.
bool IsSameOrInside(const std::wstring& key, const std::wstring& folder)
{
    return key.size() >= folder.size() && key.compare(0, folder.size(), folder) == 0 &&
           (key.size() == folder.size() || key[folder.size()] == L'\\');
}

}

void MakeRequestPathsUnique(PathList& files, PathList& folders)
{
    // The folders first: a folder is kept unless an earlier one is the same or holds it; a later folder
    // that holds earlier ones replaces them where the first of them stood.
    std::vector<std::wstring> folderKeys;
    PathList keptFolders;
    for (const std::wstring& folder : folders) {
        const std::wstring key = ComparisonKey(folder);
        bool covered = false;
        for (const std::wstring& kept : folderKeys)
            covered = covered || IsSameOrInside(key, kept);
        if (covered)
            continue;
        size_t at = keptFolders.size();
        for (size_t i = folderKeys.size(); i-- > 0;) {
            if (IsSameOrInside(folderKeys[i], key)) {
                folderKeys.erase(folderKeys.begin() + static_cast<std::ptrdiff_t>(i));
                keptFolders.erase(keptFolders.begin() + static_cast<std::ptrdiff_t>(i));
                at = i;
            }
        }
        folderKeys.insert(folderKeys.begin() + static_cast<std::ptrdiff_t>(at), key);
        keptFolders.insert(keptFolders.begin() + static_cast<std::ptrdiff_t>(at), folder);
    }
    // A file is kept once, and only when no kept folder is it or holds it.
    std::vector<std::wstring> fileKeys;
    PathList keptFiles;
    for (const std::wstring& file : files) {
        const std::wstring key = ComparisonKey(file);
        bool covered = false;
        for (const std::wstring& kept : folderKeys)
            covered = covered || IsSameOrInside(key, kept);
        for (const std::wstring& kept : fileKeys)
            covered = covered || key == kept;
        if (covered)
            continue;
        fileKeys.push_back(key);
        keptFiles.push_back(file);
    }
    files = std::move(keptFiles);
    folders = std::move(keptFolders);
}

bool IsDriveRoot(const std::wstring& path)
{
    return path.size() == 3;
}

bool IsAcceptedRequestPath(const std::wstring& path)
{
    if (path.empty() || !HasPlainForm(path))
        return false;
    std::wstring full;
    if (!FullPathOf(path, full) || full.size() != path.size())
        return false;
    // The system may spell the drive letter in the other case; nothing else may differ.
    const size_t from = path[0] == L'\\' ? 0 : 1;
    if (from == 1 && std::towupper(full[0]) != std::towupper(path[0]))
        return false;
    return full.compare(from, std::wstring::npos, path, from, std::wstring::npos) == 0;
}

RequestFault ParseShellRequest(const uint8_t* bytes, size_t size, ShellRequest& request)
{
    RequestCursor cursor(bytes, size);
    ShellRequest read;
    uint8_t flag = 0;
    if (!cursor.ReadByte(ShellRequest::kRecycleBinOffset, flag))
        return RequestFault::Truncated;
    if (flag != 0) {
        read.m_recycleBin = true;
        request = std::move(read);
        return RequestFault::None;
    }
    if (!cursor.ReadByte(ShellRequest::kFreeSpaceOffset, flag))
        return RequestFault::Truncated;
    read.m_freeSpace = flag != 0;

    size_t offset = ShellRequest::kFileCountOffset;
    RequestFault fault = cursor.ReadList(offset, read.m_files);
    if (fault == RequestFault::None)
        fault = cursor.ReadList(offset, read.m_folders);
    if (fault != RequestFault::None)
        return fault;

    for (const PathList* list : {&read.m_files, &read.m_folders}) {
        for (const std::wstring& path : *list) {
            if (!IsAcceptedRequestPath(path))
                return RequestFault::BadPath;
        }
    }
    MakeRequestPathsUnique(read.m_files, read.m_folders);
    // The free-space job wipes the drive named by the first folder, which must be a drive root.
    if (read.m_freeSpace && (read.m_folders.empty() || !IsDriveRoot(read.m_folders.front())))
        return RequestFault::NoFreeSpaceDrive;

    request = std::move(read);
    return RequestFault::None;
}

size_t CommittedViewSize(const void* view)
{
    const BYTE* base = static_cast<const BYTE*>(view);
    size_t size = 0;
    MEMORY_BASIC_INFORMATION info;
    while (VirtualQuery(base + size, &info, sizeof(info)) == sizeof(info)) {
        if (info.AllocationBase != view || info.State != MEM_COMMIT ||
            (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) || info.Protect == 0)
            break;
        const size_t into = static_cast<size_t>(base + size - static_cast<const BYTE*>(info.BaseAddress));
        if (info.RegionSize <= into)
            break;
        size += info.RegionSize - into;
    }
    return size;
}

RequestReadResult ReadShellRequest(const wchar_t* name, ShellRequest& request)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (!mapping)
        return RequestReadResult::OpenFailed;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!view) {
        CloseHandle(mapping);
        return RequestReadResult::MapFailed;
    }
    // One copy, taken before the acknowledge: once acknowledged the writer may reuse its memory.
    const size_t size = CommittedViewSize(view);
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(view), static_cast<const uint8_t*>(view) + size);
    if (size > ShellRequest::kAcknowledgeOffset)
        static_cast<volatile uint8_t*>(view)[ShellRequest::kAcknowledgeOffset] = 1;
    UnmapViewOfFile(view);
    CloseHandle(mapping);

    return ParseShellRequest(copy.data(), copy.size(), request) == RequestFault::None ? RequestReadResult::Read
                                                                                       : RequestReadResult::Refused;
}

StartMode ChooseStartMode(const wchar_t* commandLine)
{
    if (!commandLine || commandLine[0] == L'\0')
        return StartMode::SettingsWindow;
    if (_wcsicmp(commandLine, L"-minimized") == 0 || _wcsicmp(commandLine, L"/restart") == 0)
        return StartMode::SettingsWindowHidden;
    return StartMode::Request;
}

size_t CountDriveRoots(const PathList& folders)
{
    size_t roots = 0;
    for (const std::wstring& folder : folders) {
        if (IsDriveRoot(folder))
            ++roots;
    }
    return roots;
}

SingleItem GetSingleItem(const PathList& files, const PathList& folders)
{
    SingleItem item;
    if (files.size() == 1 && folders.empty()) {
        item.m_path = files.front();
    } else if (folders.size() == 1 && files.empty()) {
        item.m_path = folders.front();
        item.m_isFolder = true;
    }
    return item;
}
