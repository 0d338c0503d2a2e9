#include "JobTestUtil.h"

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
