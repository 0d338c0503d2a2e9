#include "JobTestUtil.h"

namespace {

using UnixNameFunction = char*(CDECL*)(LPCWSTR);

UnixNameFunction UnixNameOf()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<UnixNameFunction>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                  : nullptr;
}

// The Unix path of a Windows path (which need not exist yet), as a wide string for a command line.
std::wstring UnixPath(const std::wstring& path)
{
    UnixNameFunction unixName = UnixNameOf();
    if (!unixName)
        return std::wstring();
    char* name = unixName(path.c_str());
    if (!name)
        return std::wstring();
    std::wstring result;
    for (const char* p = name; *p; ++p)
        result += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a Unix program from Wine (Wine starts a Unix executable given by its Z: path) without waiting for it.
bool RunUnix(const wchar_t* program, const std::wstring& arguments)
{
    std::wstring commandLine = std::wstring(L"\"") + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    // The handle of a Unix process does not tell when it ends; callers wait for its effect.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// Wine does not wait for a Unix process through its handle: wait for its effect instead.
bool WaitUntilExists(const std::wstring& path, bool exists)
{
    for (int i = 0; i < 500; ++i) {
        if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists)
            return true;
        Sleep(10);
    }
    return false;
}

}  // namespace

bool RunJobToEnd(Thread& job, DWORD timeoutMs)
{
    // The flag is set before the resume: set after it, it could land after a short job has already
    // cleared it, and would then claim a finished thread is running.
    job.m_running = true;
    if (ResumeThread(job.m_hThread) == static_cast<DWORD>(-1)) {
        job.m_running = false;
        return false;
    }
    return WaitForSingleObject(job.m_hThread, timeoutMs) == WAIT_OBJECT_0;
}

bool UnderWine()
{
    return UnixNameOf() != nullptr;
}

bool MakeUnixLink(const std::wstring& link, const std::wstring& target)
{
    const std::wstring unixLink = UnixPath(link);
    const std::wstring unixTarget = UnixPath(target);
    if (unixLink.empty() || unixTarget.empty())
        return false;
    return RunUnix(L"Z:\\bin\\ln", L"-s " + Quoted(unixTarget) + L" " + Quoted(unixLink)) &&
           WaitUntilExists(link, true);
}

bool RemoveUnixLink(const std::wstring& link)
{
    const std::wstring unixLink = UnixPath(link);
    if (unixLink.empty())
        return false;
    return RunUnix(L"Z:\\bin\\rm", L"-f " + Quoted(unixLink)) && WaitUntilExists(link, false);
}

std::vector<std::wstring> ListFolder(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFolders(const std::wstring& path)
{
    if (Exists(path))
        return true;
    const size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 2 && !MakeFolders(path.substr(0, slash)))
        return false;
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool MakeFile(const std::wstring& path, size_t size, char fill)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string data(size, fill);
    DWORD written = 0;
    const bool ok = size == 0 || (WriteFile(file, data.data(), static_cast<DWORD>(size), &written, nullptr) &&
                                  written == size);
    CloseHandle(file);
    return ok;
}
