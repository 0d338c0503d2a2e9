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

namespace {

struct Exchange {
    std::wstring m_folder, m_link, m_pattern;
    ExchangeDuringListing::When m_when = ExchangeDuringListing::When::BeforeListing;
    ImportPatch<decltype(::FindFirstFileW)>* m_first = nullptr;
    ImportPatch<decltype(::FindNextFileW)>* m_next = nullptr;
    HANDLE m_search = INVALID_HANDLE_VALUE;
    bool m_fileListed = false;  // the search has handed out a file (not only "." and "..")
    bool m_done = false;
    bool m_made = false;

    void Make()
    {
        if (m_done)
            return;
        m_done = true;
        m_made = ExchangeUnixNames(m_folder, m_link);
    }
};
Exchange g_exchange;

HANDLE WINAPI ExchangingFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    const bool ours = pattern && _wcsicmp(pattern, g_exchange.m_pattern.c_str()) == 0;
    if (ours && g_exchange.m_when == ExchangeDuringListing::When::BeforeListing)
        g_exchange.Make();
    const HANDLE search = g_exchange.m_first->Original()(pattern, data);
    if (ours && !g_exchange.m_done && search != INVALID_HANDLE_VALUE) {
        g_exchange.m_search = search;
        g_exchange.m_fileListed = !(data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    return search;
}

BOOL WINAPI ExchangingFindNext(HANDLE search, LPWIN32_FIND_DATAW data)
{
    const bool ours = search != INVALID_HANDLE_VALUE && search == g_exchange.m_search;
    if (ours && g_exchange.m_fileListed)
        g_exchange.Make();
    const BOOL found = g_exchange.m_next->Original()(search, data);
    if (ours && found && !(data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        g_exchange.m_fileListed = true;
    return found;
}

}  // namespace

ExchangeDuringListing::ExchangeDuringListing(const std::wstring& folder, const std::wstring& link, When when)
    : m_first("FindFirstFileW", &ExchangingFindFirst), m_next("FindNextFileW", &ExchangingFindNext)
{
    g_exchange = Exchange();
    g_exchange.m_folder = folder;
    g_exchange.m_link = link;
    g_exchange.m_pattern = folder + L"\\*";
    g_exchange.m_when = when;
    g_exchange.m_first = &m_first;
    g_exchange.m_next = &m_next;
}

ExchangeDuringListing::~ExchangeDuringListing()
{
    g_exchange = Exchange();
}

bool ExchangeDuringListing::Exchanged() const
{
    return g_exchange.m_made;
}
