#include "CloseProgram.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <new>

#include "libcommon/ProductNames.h"

namespace {

constexpr UINT kTerminatedExitCode = 0xFFFFFFFF;
constexpr DWORD kProcessListFirstBytes = 2048;
constexpr DWORD kProcessListMostBytes = 1u << 24;  // 4 million ids: beyond that the answer is not believed
constexpr DWORD kModuleNameChars = 260;
constexpr DWORD kImagePathChars = 32768;

wchar_t FoldAsciiLetter(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualNoCase(const std::wstring& a, const wchar_t* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (FoldAsciiLetter(a[i]) != FoldAsciiLetter(b[i]))
            return false;
    }
    return i == a.size() && b[i] == L'\0';
}

// The file-name part of the image behind an open process handle; empty when it cannot be read.
std::wstring ImageBaseName(HANDLE process)
{
    std::wstring path(kImagePathChars, L'\0');
    DWORD size = kImagePathChars;
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &size) || size >= kImagePathChars)
        return std::wstring();
    path.resize(size);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void TerminateFromSnapshot(HANDLE snapshot, const ProcessNameList& names)
{
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (entry.th32ProcessID == self || !ListContainsNoCase(names, entry.szExeFile))
            continue;
        HANDLE process =
            OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        // The id may belong to another program by now: the handle's own image decides.
        const std::wstring image = ImageBaseName(process);
        if (!image.empty() && ListContainsNoCase(names, image.c_str()))
            TerminateProcess(process, kTerminatedExitCode);
        CloseHandle(process);
    }
}

void TerminateFromProcessList(const ProcessNameList& names)
{
    std::vector<DWORD> ids;
    if (!ListProcessIds(ids, kProcessListFirstBytes))
        return;
    const DWORD self = GetCurrentProcessId();
    for (DWORD id : ids) {
        if (id == self || id == 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE, FALSE, id);
        if (!process)
            continue;
        // The name is read through the handle, so it is the name of the process that will be terminated.
        HMODULE module = nullptr;
        DWORD needed = 0;
        wchar_t name[kModuleNameChars] = {};
        if (EnumProcessModules(process, &module, sizeof module, &needed) &&
            GetModuleBaseNameW(process, module, name, kModuleNameChars) != 0) {
            name[kModuleNameChars - 1] = L'\0';
            if (ListContainsNoCase(names, name))
                TerminateProcess(process, kTerminatedExitCode);
        }
        CloseHandle(process);
    }
}

}  // namespace

bool ListContainsNoCase(const ProcessNameList& names, const wchar_t* name)
{
    if (!name)
        return false;
    for (const std::wstring& entry : names) {
        if (EqualNoCase(entry, name))
            return true;
    }
    return false;
}

bool ListProcessIds(std::vector<DWORD>& ids, DWORD firstBytes)
{
    ids.clear();
    try {
        for (DWORD bytes = firstBytes < sizeof(DWORD) ? sizeof(DWORD) : firstBytes; bytes <= kProcessListMostBytes;
             bytes *= 2) {
            ids.resize(bytes / sizeof(DWORD));
            DWORD returned = 0;
            if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &returned)) {
                ids.clear();
                return false;
            }
            // A full buffer may have cut the list short: ask again with twice the room.
            if (returned < ids.size() * sizeof(DWORD)) {
                ids.resize(returned / sizeof(DWORD));
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
    }
    ids.clear();
    return false;
}

void PostCloseMessage()
{
    const UINT message = RegisterWindowMessageW(kCloseAppMessageName);
    if (message == 0)
        return;
    PostMessageW(HWND_BROADCAST, message, 0, 0);
    // A NULL window would post the message to this thread's own queue.
    if (HWND window = FindWindowW(nullptr, kProductTitle))
        PostMessageW(window, message, 0, 0);
    Sleep(kCloseMessageWaitMs);
}

void TerminateProcessesByName(const ProcessNameList& names)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        TerminateFromSnapshot(snapshot, names);
        CloseHandle(snapshot);
        return;
    }
    TerminateFromProcessList(names);
}

UINT CloseMainProgram()
{
    try {
        const ProcessNameList names = {kProgramFileName};
        PostCloseMessage();
        TerminateProcessesByName(names);
    } catch (const std::bad_alloc&) {
        // No memory for the name list: the installer goes on, as after any close attempt.
    }
    return 0;
}
