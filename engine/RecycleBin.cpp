#include "RecycleBin.h"

#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <vector>

#include "FoundNames.h"
#include "libcommon/Volume.h"

namespace {

// The recycle folders' names, in the order they are looked for on each volume.
const wchar_t* const kRecycleFolderNames[] = {L"$RECYCLE.BIN", L"RECYCLER", L"RECYCLED"};

// One folder to list. A user's folder (the sub-folder named by the user's SID) holds only that user's
// deleted items; a shared one (a recycle folder without such a sub-folder) may also hold the sub-folders
// of other users, which are theirs and not listed.
struct RecycleFolder {
    std::wstring m_path;
    bool m_isUserFolder = false;
};

// The set of folders to list: one entry per folder however its name is spelt (case, trailing
// backslash), ordered by plain comparison of the names' UTF-16 code units.
class RecycleFolderSet {
public:
    void Add(const std::wstring& path, bool isUserFolder)
    {
        const std::wstring key = Key(path);
        for (const RecycleFolder& folder : m_folders) {
            if (Key(folder.m_path) == key)
                return;
        }
        m_folders.push_back({path, isUserFolder});
    }

    std::vector<RecycleFolder> Ordered() const
    {
        std::vector<RecycleFolder> folders(m_folders);
        std::stable_sort(folders.begin(), folders.end(),
                         [](const RecycleFolder& a, const RecycleFolder& b) { return a.m_path < b.m_path; });
        return folders;
    }

private:
    static std::wstring Key(const std::wstring& path)
    {
        std::wstring key(path);
        while (key.size() > 1 && key.back() == L'\\')
            key.pop_back();
        if (!key.empty())
            CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
        return key;
    }

    std::vector<RecycleFolder> m_folders;
};

enum class FolderState { Missing, Folder, Link };

// What stands at path: nothing usable (missing, or a file), a plain folder, or a reparse point (a junction,
// a symbolic link or a mount point, whose contents lie elsewhere).
FolderState QueryFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return FolderState::Missing;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FolderState::Link : FolderState::Folder;
}

bool IsDotEntry(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// A sub-folder named like a user's SID: in a shared recycle folder, another user's bin.
bool LooksLikeSid(const wchar_t* name)
{
    return (name[0] == L'S' || name[0] == L's') && name[1] == L'-' && name[2] == L'1' && name[3] == L'-';
}

// Adds the recycle folders of one mount path (or of the known folder) to the set. With a SID, the user's
// sub-folder of a recycle folder takes its place. false when a folder had to be passed over because it is
// a link (the shell would still empty what lies behind it).
bool AddRecycleFolders(RecycleFolderSet& set, const std::wstring& base, const std::wstring& sid, bool trySid)
{
    bool complete = true;
    for (const wchar_t* name : kRecycleFolderNames) {
        const std::wstring folder = JoinPath(base, name);
        const FolderState state = QueryFolder(folder);
        if (state == FolderState::Missing)
            continue;
        if (state == FolderState::Link) {
            complete = false;
            continue;
        }
        if (trySid && !sid.empty()) {
            const std::wstring sub = JoinPath(folder, sid);
            const FolderState subState = QueryFolder(sub);
            if (subState == FolderState::Folder) {
                set.Add(sub, true);
                continue;
            }
            if (subState == FolderState::Link) {
                complete = false;
                continue;
            }
        }
        set.Add(folder, false);
    }
    return complete;
}

// The recycle folders of every local volume, under its first mount path.
bool AddVolumeFolders(RecycleFolderSet& set, const std::wstring& sid)
{
    wchar_t volumeName[kVolumeNameLength] = {};
    HANDLE search = FindFirstVolumeW(volumeName, kVolumeNameLength);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    VolumeList volumes;
    CollectVolumes(volumes, volumeName, search);
    bool complete = true;
    for (CVolume*& volume : volumes) {
        std::vector<std::wstring> mountPaths;
        volume->GetMountPaths(mountPaths);
        if (!mountPaths.empty())
            complete = AddRecycleFolders(set, mountPaths.front(), sid, true) && complete;
        delete volume;
        volume = nullptr;
    }
    volumes.clear();
    return complete;
}

// The recycle folders under the shell's recycle-bin known folder, where it has a file-system path.
bool AddKnownFolder(RecycleFolderSet& set)
{
    // shell32 is loaded with the program; it is neither loaded nor freed here.
    HMODULE shell = GetModuleHandleW(L"shell32.dll");
    if (!shell)
        return true;
    using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    auto getPath = reinterpret_cast<GetKnownFolderPathFn>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SHGetKnownFolderPath")));
    if (!getPath)
        return true;
    PWSTR path = nullptr;
    const HRESULT result = getPath(FOLDERID_RecycleBinFolder, 0, nullptr, &path);
    bool complete = true;
    if (result == S_OK && path)
        complete = AddRecycleFolders(set, path, std::wstring(), false);
    // The caller frees the path whenever one is set, also when the call failed.
    if (path)
        CoTaskMemFree(path);
    return complete;
}

// Lists what one recycle folder holds directly. false when the listing could not be had or broke off.
bool ListFolder(const RecycleFolder& folder, PathList& files, PathList& folders)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(JoinPath(folder.m_path, L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;   // nothing in it
    bool allNamesJoined = true;
    do {
        const wchar_t* name = entry.cFileName;
        if (IsDotEntry(name))
            continue;
        // A name that cannot be joined as one entry of the folder would address something else: it is
        // never listed, and the bin counts as not listed whole.
        std::wstring path;
        DWORD error = ERROR_SUCCESS;
        if (!JoinFoundName(folder.m_path, name, &path, &error)) {
            allNamesJoined = false;
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A deleted folder (or a link the user deleted, which the job removes without following it).
            if (!folder.m_isUserFolder && LooksLikeSid(name))
                continue;
            folders.push_back(path);
        } else {
            // The shell's description of the folder itself, not something the user deleted.
            if (_wcsicmp(name, L"desktop.ini") == 0)
                continue;
            files.push_back(path);
        }
    } while (FindNextFileW(search, &entry));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return complete && allNamesJoined;
}

// Suppresses the system's critical-error boxes ("There is no disk in the drive") on this thread while it
// lives: the volume walk touches every drive, removable ones included.
class QuietCriticalErrors {
public:
    QuietCriticalErrors() { m_ok = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &m_old); }
    ~QuietCriticalErrors()
    {
        if (m_ok)
            SetThreadErrorMode(m_old, nullptr);
    }
    QuietCriticalErrors(const QuietCriticalErrors&) = delete;
    QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

private:
    DWORD m_old = 0;
    BOOL m_ok = FALSE;
};

}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty())
        return std::wstring();
    std::wstring path(folder);
    if (path.back() != L'\\')
        path += L'\\';
    path += name;
    return path;
}

void GetUserSidString(std::wstring& sid, HANDLE token)
{
    sid.clear();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size >= sizeof(TOKEN_USER)) {
        std::vector<BYTE> buffer(size, 0);
        if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
            PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
            LPWSTR text = nullptr;
            if (IsValidSid(user) && ConvertSidToStringSidW(user, &text) && text) {
                sid = text;
                LocalFree(text);
            }
        }
    }
    if (token)
        CloseHandle(token);
}

int CollectRecycleBinFiles(PathList& files, PathList& folders)
{
    QuietCriticalErrors quiet;

    std::wstring sid;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        GetUserSidString(sid, token);

    RecycleFolderSet set;
    bool complete = AddVolumeFolders(set, sid);
    complete = AddKnownFolder(set) && complete;

    for (const RecycleFolder& folder : set.Ordered())
        complete = ListFolder(folder, files, folders) && complete;
    return complete ? 1 : 0;
}
