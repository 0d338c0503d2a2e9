// The update dialog and its download thread.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "app/VersionUpdaterDlg.h"

#include <shlobj.h>
#include <urlmon.h>
#include <wininet.h>

#include "app/UpdateFile.h"
#include "app/res/resource.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

// The value of the header name ("content-length:", lower case with its colon) in raw response headers
// ("Name: value" lines), without its leading blanks. False when there is none.
bool HeaderValue(const wchar_t* headers, const wchar_t* name, CString* value)
{
    const size_t nameLength = wcslen(name);
    for (const wchar_t* line = headers; line && *line;) {
        const wchar_t* end = wcschr(line, L'\n');
        const size_t lineLength = end ? static_cast<size_t>(end - line) : wcslen(line);
        if (lineLength >= nameLength && _wcsnicmp(line, name, nameLength) == 0) {
            const wchar_t* p = line + nameLength;
            const wchar_t* stop = line + lineLength;
            while (p < stop && (*p == L' ' || *p == L'\t'))
                ++p;
            while (stop > p && (stop[-1] == L'\r' || stop[-1] == L' ' || stop[-1] == L'\t'))
                --stop;
            *value = CString(p, static_cast<int>(stop - p));
            return true;
        }
        line = end ? end + 1 : nullptr;
    }
    return false;
}

// The Content-Length of raw response headers, read as 64 bits. False when there is none; a value that is
// not a plain decimal number, or does not fit, is taken as larger than any cap.
bool AnnouncedLength(const wchar_t* headers, ULONGLONG* length)
{
    CString text;
    if (!HeaderValue(headers, L"content-length:", &text))
        return false;
    ULONGLONG value = 0;
    bool plain = !text.IsEmpty();
    for (int i = 0; i < text.GetLength() && plain; ++i) {
        const wchar_t c = text[i];
        if (c < L'0' || c > L'9' || value > (~0ULL - 9) / 10)
            plain = false;
        else
            value = value * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    *length = plain ? value : ~0ULL;
    return true;
}

// True when the body comes encoded (gzip, deflate...): what arrives is the decoded body, longer than the
// announced length.
bool IsEncoded(const wchar_t* headers)
{
    CString coding;
    return HeaderValue(headers, L"content-encoding:", &coding) && !coding.IsEmpty() && coding.CompareNoCase(L"identity") != 0;
}

bool SameAddress(const sockaddr* a, const sockaddr* b)
{
    if (a->sa_family != b->sa_family)
        return false;
    if (a->sa_family == AF_INET) {
        auto* x = reinterpret_cast<const sockaddr_in*>(a);
        auto* y = reinterpret_cast<const sockaddr_in*>(b);
        return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
    }
    if (a->sa_family == AF_INET6) {
        auto* x = reinterpret_cast<const sockaddr_in6*>(a);
        auto* y = reinterpret_cast<const sockaddr_in6*>(b);
        return x->sin6_port == y->sin6_port && memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(x->sin6_addr)) == 0;
    }
    return false;
}

// Ends the receiving side of this process's connections to the address's server. An aborted transfer can
// go on reading what keeps arriving: Wine's moniker drains the connection in one loop, without a progress
// report and without looking at the abort, for as long as the server keeps up (gigabytes on a fast link).
// A shut connection ends that loop at once. Sockets are handles: the connections are found by trying the
// handle values for a connected socket whose peer is the server. Returns the connections shut.
int ShutConnectionsTo(const CString& url)
{
    CString host;
    USHORT port = 0;
    if (!GetAddressServer(url, &host, &port))
        return 0;
    host.TrimLeft(L'[');   // an IPv6 host, as the name lookup takes it
    host.TrimRight(L']');
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 0;
    addrinfoW hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfoW* peers = nullptr;
    int shut = 0;
    if (::GetAddrInfoW(host, std::to_wstring(port).c_str(), &hints, &peers) == 0) {
        for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
            const SOCKET s = static_cast<SOCKET>(value);
            int type = 0, length = sizeof(type);
            if (::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0 || type != SOCK_STREAM)
                continue;
            sockaddr_storage peer{};
            int peerLength = sizeof(peer);
            if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
                continue;
            for (addrinfoW* p = peers; p; p = p->ai_next)
                if (SameAddress(reinterpret_cast<sockaddr*>(&peer), p->ai_addr)) {
                    if (::shutdown(s, SD_BOTH) == 0)
                        ++shut;
                    break;
                }
        }
        ::FreeAddrInfoW(peers);
    }
    ::WSACleanup();
    return shut;
}

ULONGLONG FileSize(const CString& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.IsEmpty() || !::GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// True when the file at path holds bytes and they are the first bytes of the file at source, all of them
// or fewer: a copy of source made at some moment while source was written.
bool HoldsStartOf(const CString& path, const CString& source)
{
    if (path.IsEmpty() || source.IsEmpty())
        return false;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE copy = ::CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE original = ::CreateFileW(source, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    bool same = copy != INVALID_HANDLE_VALUE && original != INVALID_HANDLE_VALUE;
    bool any = false;
    std::vector<char> copied(65536), written(65536);
    while (same) {
        DWORD got = 0;
        if (!::ReadFile(copy, copied.data(), static_cast<DWORD>(copied.size()), &got, nullptr)) {
            same = false;
            break;
        }
        if (got == 0)
            break;
        DWORD have = 0;
        while (same && have < got) {
            DWORD read = 0;
            if (!::ReadFile(original, written.data() + have, got - have, &read, nullptr) || read == 0)
                same = false;
            have += read;
        }
        same = same && memcmp(copied.data(), written.data(), got) == 0;
        any = true;
    }
    if (copy != INVALID_HANDLE_VALUE)
        ::CloseHandle(copy);
    if (original != INVALID_HANDLE_VALUE)
        ::CloseHandle(original);
    return same && any;
}

// The download's status callback: reports progress by value to the dialog, aborts once the dialog let
// go or the transfer fails a check, hands the binding and the cache file to the task, and records the
// HTTP status (URL monikers report success for an error page too). Lives on the download thread's stack
// for one download; Release never deletes it.
class CBSCallbackImpl : public IBindStatusCallback, public IHttpNegotiate {
public:
    explicit CBSCallbackImpl(DownloadTask* task) : m_task(task) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback))
            *ppv = static_cast<IBindStatusCallback*>(this);
        else if (IsEqualIID(riid, IID_IHttpNegotiate))
            *ppv = static_cast<IHttpNegotiate*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refCount)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&m_refCount)); }

    STDMETHODIMP OnStartBinding(DWORD, IBinding* binding) override
    {
        m_task->SetBinding(binding);
        return S_OK;
    }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG status, LPCWSTR text) override
    {
        bool accepted = true;
        switch (status) {
        case BINDSTATUS_REDIRECTING:
            accepted = m_task->AcceptRedirect(text);
            break;
        case BINDSTATUS_SENDINGREQUEST:
            accepted = m_task->AcceptRequest();
            break;
        case BINDSTATUS_CACHEFILENAMEAVAILABLE:
            m_task->SetCacheFile(text);
            break;
        case BINDSTATUS_BEGINDOWNLOADDATA:
        case BINDSTATUS_DOWNLOADINGDATA:
        case BINDSTATUS_ENDDOWNLOADDATA:
            // The count is 32 bits and wraps past 4 GiB; the cache file's size is the count that holds.
            accepted = m_task->AcceptProgress(progress) && m_task->AcceptArrivedFile();
            break;
        default:
            break;
        }
        m_task->Post(CVersionUpdaterDlg::WM_DOWNLOAD_PROGRESS, progress, static_cast<LPARAM>(progressMax));
        if (!accepted || m_task->IsCancelled())
            return E_ABORT;
        return S_OK;
    }
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override
    {
        m_task->ReleaseBinding();
        return S_OK;
    }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override
    {
        if (additionalHeaders)
            *additionalHeaders = nullptr;
        return S_OK;
    }
    STDMETHODIMP OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR, LPWSTR* additionalHeaders) override
    {
        if (additionalHeaders)
            *additionalHeaders = nullptr;
        m_task->SetHttpStatus(responseCode);
        ULONGLONG length = 0;
        if (AnnouncedLength(responseHeaders, &length) && !m_task->AcceptLength(length, IsEncoded(responseHeaders)))
            return E_ABORT;
        return S_OK;
    }

private:
    LONG m_refCount = 1;
    DownloadTask* m_task;
};

// How often the watcher looks at a running transfer.
constexpr DWORD kWatchMs = 10;
// How long the clean-up tries to remove what the cache still holds open after an abort.
constexpr ULONGLONG kRemoveMs = 3000;

ULONGLONG Now()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Retries while the file is still held open by the transfer that was just aborted.
void RemoveFile(const CString& path)
{
    if (path.IsEmpty())
        return;
    const ULONGLONG deadline = ::GetTickCount64() + kRemoveMs;
    while (!::DeleteFileW(path) && ::GetLastError() != ERROR_FILE_NOT_FOUND && ::GetLastError() != ERROR_PATH_NOT_FOUND &&
           ::GetTickCount64() < deadline)
        ::Sleep(20);
}

// The file name the cache gives a download of url: its last path segment, split at its last dot.
void CacheNameParts(const CString& url, CString* stem, CString* extension)
{
    CString path = url;
    const int query = path.FindOneOf(L"?#");
    if (query >= 0)
        path = path.Left(query);
    const CString name = path.Mid(path.ReverseFind(L'/') + 1);
    const int dot = name.ReverseFind(L'.');
    *stem = dot < 0 ? name : name.Left(dot);
    *extension = dot < 0 ? CString() : name.Mid(dot);
}

// True for stem[n] followed by nothing, the extension, or a dot and the extension (the cache's names of
// a new file for an address with that stem and extension).
bool IsCacheNameOf(const CString& name, const CString& stem, const CString& extension)
{
    if (stem.IsEmpty() || name.GetLength() <= stem.GetLength() + 2 || name.Left(stem.GetLength()).CompareNoCase(stem) != 0 ||
        name[stem.GetLength()] != L'[')
        return false;
    int i = stem.GetLength() + 1;
    const int digits = i;
    while (i < name.GetLength() && name[i] >= L'0' && name[i] <= L'9')
        ++i;
    if (i == digits || i >= name.GetLength() || name[i] != L']')
        return false;
    const CString rest = name.Mid(i + 1);
    return rest.IsEmpty() || (!extension.IsEmpty() && (rest.CompareNoCase(extension) == 0 || rest.CompareNoCase(L"." + extension) == 0));
}

// The files a download of url made in the cache since it began, found by their names in the cache's
// folders (stem[n], with or without the address's extension). The transfer's file is named to the
// callback only after the first stretch of the body has been written, and the file reserved for
// URLDownloadToCacheFileW's result is named only on success (under Wine it is filled from the transfer's
// file even when the transfer failed).
void FindNewCacheFiles(const CString& folder, const CString& stem, const CString& extension, ULONGLONG since, int depth,
                       const std::function<void(const CString&, ULONGLONG)>& found)
{
    // The cache's deepest folders hold its files, thousands of them on a used system: those are asked for
    // the download's names alone (the watcher looks every few milliseconds).
    const bool plainStem = stem.FindOneOf(L"*?") < 0;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(folder + L"\\" + (depth == 0 && plainStem ? stem + L"[*" : CString(L"*")), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const CString name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const CString path = folder + L"\\" + name;
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (depth > 0)
                FindNewCacheFiles(path, stem, extension, since, depth - 1, found);
            continue;
        }
        const ULONGLONG made = (static_cast<ULONGLONG>(data.ftCreationTime.dwHighDateTime) << 32) | data.ftCreationTime.dwLowDateTime;
        if (made >= since && IsCacheNameOf(name, stem, extension))
            found(path, (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

void FindNewCacheFiles(const CString& url, ULONGLONG since, const std::function<void(const CString&, ULONGLONG)>& found)
{
    wchar_t root[MAX_PATH] = {};
    CString stem, extension;
    CacheNameParts(url, &stem, &extension);
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, root)) && root[0])
        FindNewCacheFiles(root, stem, extension, since, 2, found);
}

// Takes out of the Internet cache what a download that produced nothing left there: the address's
// entries (with their files), the transfer's file, the result file and the reserved copy.
// The local files that the cache's entries name (upper case): files of other downloads.
std::set<std::wstring> FilesOfCacheEntries()
{
    std::set<std::wstring> files;
    std::vector<BYTE> buffer(4096);
    DWORD size = static_cast<DWORD>(buffer.size());
    auto* entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    HANDLE find = ::FindFirstUrlCacheEntryW(nullptr, entry, &size);
    if (!find && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
        entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
        find = ::FindFirstUrlCacheEntryW(nullptr, entry, &size);
    }
    if (!find)
        return files;
    for (;;) {
        if (entry->lpszLocalFileName) {
            CString name = entry->lpszLocalFileName;
            name.MakeUpper();
            files.insert(name.GetString());
        }
        size = static_cast<DWORD>(buffer.size());
        if (::FindNextUrlCacheEntryW(find, entry, &size))
            continue;
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        buffer.resize(size);
        entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
        if (!::FindNextUrlCacheEntryW(find, entry, &size))
            break;
    }
    ::FindCloseUrlCache(find);
    return files;
}

void RemoveCacheEntries(const CString& url)
{
    // The transfer's own entry and the one URLDownloadToCacheFileW committed can both name the address.
    const ULONGLONG deadline = ::GetTickCount64() + kRemoveMs;
    for (int removed = 0; removed < 4 && ::GetTickCount64() < deadline;) {
        if (::DeleteUrlCacheEntryW(url))
            ++removed;
        else if (::GetLastError() == ERROR_FILE_NOT_FOUND)
            break;
        else
            ::Sleep(20);
    }
}

void RemoveFromCache(const DownloadTask& task, const CString& resultFile)
{
    // The files found by name are taken only when they are this download's for certain: made since it
    // began, named by no entry, and as long as the transfer's file (the copy of it) or holding the
    // transfer's first bytes, or the file that the size check found growing past the cap. An empty one is
    // left: it holds nothing, and another program's download of the same name, just begun, has no entry
    // yet and is empty too.
    std::set<ULONGLONG> sizes = { FileSize(task.CacheFile()), FileSize(resultFile) };
    sizes.erase(0);
    const CString grown = task.GrownFile();
    // Under Wine the file reserved for the result is filled from the transfer's file when the binding
    // stops, also for a transfer that failed, while the aborted transfer's reader may still be adding to
    // the transfer's file: that copy is shorter, and holds the transfer's first bytes.
    std::set<std::wstring> copies;
    const CString transfer = task.CacheFile();
    task.ForEachNewCacheFile([&copies, &transfer](const CString& path, ULONGLONG size) {
        if (size > 0 && HoldsStartOf(path, transfer)) {
            CString upper = path;
            upper.MakeUpper();
            copies.insert(upper.GetString());
        }
    });
    // The transfer's entry can be committed after the moniker has returned (the cache writes it when the
    // shut connection's end reaches it): a few passes, some time apart.
    for (int pass = 0; pass < 4; ++pass) {
        if (pass > 0)
            ::Sleep(150 * pass);
        RemoveCacheEntries(task.strUrl);
        RemoveFile(task.CacheFile());
        RemoveFile(resultFile);
        RemoveFile(grown);
        const std::set<std::wstring> owned = FilesOfCacheEntries();
        task.ForEachNewCacheFile([&owned, &sizes, &copies](const CString& path, ULONGLONG size) {
            CString upper = path;
            upper.MakeUpper();
            if (owned.count(upper.GetString()) == 0 && (sizes.count(size) || copies.count(upper.GetString())))
                RemoveFile(path);
        });
    }
}

}

// ---- the shared task ----------------------------------------------------------------------------------

DownloadTask::DownloadTask(HWND dialog, const CString& url, const CString& host, ULONG maxBytes)
    : strUrl(url), strHost(host), maxBytes(maxBytes < kMaxBytes ? maxBytes : kMaxBytes),
      hCancelEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_hDialog(dialog),
      m_since(Now() - 2 * 10000000ULL)   // file times have coarse steps on some file systems
{
}

DownloadTask::~DownloadTask()
{
    ReleaseBinding();
    if (hCancelEvent)
        ::CloseHandle(hCancelEvent);
}

void DownloadTask::Detach()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_hDialog = nullptr;
    }
    if (hCancelEvent)
        ::SetEvent(hCancelEvent);
}

bool DownloadTask::IsFinished() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_finished;
}

CString DownloadTask::LocalPath() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_strLocalPath;
}

bool DownloadTask::Post(UINT message, WPARAM wParam, LPARAM lParam)
{
    // Posting under the lock: once Detach has returned, nothing more reaches the dialog's window (whose
    // handle may by then name another window).
    std::lock_guard<std::mutex> hold(m_lock);
    return m_hDialog && ::PostMessageW(m_hDialog, message, wParam, lParam);
}

bool DownloadTask::IsCancelled() const
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_hDialog)
            return true;
    }
    return hCancelEvent && ::WaitForSingleObject(hCancelEvent, 0) == WAIT_OBJECT_0;
}

void DownloadTask::Finish(const CString& localPath)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_strLocalPath = localPath;
    m_finished = true;
    if (m_hDialog)
        ::PostMessageW(m_hDialog, CVersionUpdaterDlg::WM_DOWNLOAD_FINISHED, 0, 0);
}

void DownloadTask::SetHttpStatus(DWORD status)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_httpStatus = status;
}

DWORD DownloadTask::HttpStatus() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_httpStatus;
}

bool DownloadTask::AcceptRedirect(const wchar_t* target)
{
    // One redirect at most, and only where the first address could have gone.
    std::lock_guard<std::mutex> hold(m_lock);
    if (!target || m_redirects >= 1 || !IsAllowedDownloadUrl(target, strHost))
        m_refused = true;
    else
        ++m_redirects;
    return !m_refused;
}

bool DownloadTask::AcceptRequest()
{
    // A request beyond the first that no checked redirect announced went to an address nobody checked.
    std::lock_guard<std::mutex> hold(m_lock);
    if (++m_requests > 1 + m_redirects)
        m_refused = true;
    return !m_refused;
}

bool DownloadTask::AcceptLength(ULONGLONG announced, bool encoded)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_announced = announced;
    m_hasAnnounced = !encoded;
    if (announced > maxBytes)
        m_refused = true;
    return !m_refused;
}

bool DownloadTask::AcceptProgress(ULONGLONG received)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (received > maxBytes || (m_hasAnnounced && received > m_announced))
        m_refused = true;
    return !m_refused;
}

bool DownloadTask::AcceptArrivedFile()
{
    const CString file = CacheFile();
    if (!file.IsEmpty())
        return AcceptProgress(FileSize(file));
    // Before the moniker names its file, the file being written is found by its name: the largest of the
    // name that appeared after the download began (files of other downloads of that name made before are
    // left out). Such a guess is held only to the cap (an announced length does not bound a body that is
    // decoded as it arrives). The look costs one listing of the cache's folders for the download's name:
    // it is made every few milliseconds, and the cut comes no sooner than the look.
    std::set<std::wstring> before;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_filesNoted)
            return !m_refused;
        before = m_filesBefore;
    }
    CString largest;
    ULONGLONG largestBytes = 0;
    ForEachNewCacheFile([&](const CString& path, ULONGLONG bytes) {
        CString upper = path;
        upper.MakeUpper();
        if (bytes > maxBytes && bytes > largestBytes && before.count(upper.GetString()) == 0) {
            largest = upper;
            largestBytes = bytes;
        }
    });
    if (largest.IsEmpty())
        return !IsRefused();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_strGrownFile = largest;
    }
    return AcceptProgress(largestBytes);
}

void DownloadTask::NoteCacheFilesBefore()
{
    std::set<std::wstring> existing;
    ForEachNewCacheFile([&existing](const CString& path, ULONGLONG) {
        CString upper = path;
        upper.MakeUpper();
        existing.insert(upper.GetString());
    });
    std::lock_guard<std::mutex> hold(m_lock);
    m_filesBefore.swap(existing);
    m_filesNoted = true;
}

void DownloadTask::ForEachNewCacheFile(const std::function<void(const CString&, ULONGLONG)>& f) const
{
    FindNewCacheFiles(strUrl, m_since, f);
}

bool DownloadTask::AcceptsFileSize(ULONGLONG size) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return !m_refused && size <= maxBytes && (!m_hasAnnounced || size == m_announced);
}

bool DownloadTask::IsRefused() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_refused;
}

void DownloadTask::SetBinding(IBinding* binding)
{
    if (binding)
        binding->AddRef();
    IBinding* previous;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        previous = m_binding;
        m_binding = binding;
    }
    if (previous)
        previous->Release();
}

void DownloadTask::ReleaseBinding()
{
    SetBinding(nullptr);
}

bool DownloadTask::AbortTransfer()
{
    IBinding* binding;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_aborted)
            return true;
        binding = m_binding;
        if (!binding)
            return false;
        binding->AddRef();
        m_aborted = true;
    }
    // Outside the lock: the moniker may report to the callback from within Abort. The connection is shut
    // first: Wine's moniker goes on draining it after an abort for as long as data keeps coming.
    ShutConnectionsTo(strUrl);
    binding->Abort();
    binding->Release();
    return true;
}

void DownloadTask::Watch()
{
    if (IsCancelled() || IsRefused() || !AcceptArrivedFile())
        AbortTransfer();
}

void DownloadTask::SetCacheFile(const wchar_t* path)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_strCacheFile = path ? path : L"";
}

CString DownloadTask::CacheFile() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_strCacheFile;
}

CString DownloadTask::GrownFile() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_strGrownFile;
}

namespace {

// The watcher's thread: looks at the transfer until ended is set.
struct Watched {
    DownloadTask* task;
    HANDLE ended;
};

DWORD WINAPI WatchTransfer(LPVOID param)
{
    auto* watched = static_cast<Watched*>(param);
    while (::WaitForSingleObject(watched->ended, kWatchMs) == WAIT_TIMEOUT)
        watched->task->Watch();
    return 0;
}

}

UINT DownloadThreadProc(LPVOID param)
{
    std::unique_ptr<std::shared_ptr<DownloadTask>> hold(static_cast<std::shared_ptr<DownloadTask>*>(param));
    DownloadTask* task = hold->get();
    CBSCallbackImpl callback(task);
    task->NoteCacheFilesBefore();
    // The watcher aborts the transfer on Cancel and past the cap, also between (or without) progress reports.
    HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Watched watched{ task, ended };   // lives until the watcher has ended
    HANDLE watcher = ended ? ::CreateThread(nullptr, 0, &WatchTransfer, &watched, 0, nullptr) : nullptr;
    // It sleeps but for a look every few milliseconds; on a busy machine it must still get its turn while
    // the transfer writes.
    if (watcher)
        ::SetThreadPriority(watcher, THREAD_PRIORITY_HIGHEST);
    wchar_t buffer[MAX_PATH] = {};
    HRESULT result = ::URLDownloadToCacheFileW(nullptr, task->strUrl, buffer, MAX_PATH, 0, &callback);
    if (ended)
        ::SetEvent(ended);
    if (watcher) {
        ::WaitForSingleObject(watcher, INFINITE);
        ::CloseHandle(watcher);
    }
    if (ended)
        ::CloseHandle(ended);
    task->ReleaseBinding();
    buffer[MAX_PATH - 1] = L'\0';
    // Only a complete 200 answer counts: URL monikers report S_OK for an error page as well. Nor does a
    // file count that is longer or shorter than announced, or past the cap.
    CString localPath;
    if (SUCCEEDED(result) && task->HttpStatus() == HTTP_STATUS_OK && !task->IsCancelled()) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (::GetFileAttributesExW(buffer, GetFileExInfoStandard, &data) &&
            task->AcceptsFileSize((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow))
            localPath = buffer;
    }
    if (localPath.IsEmpty())
        RemoveFromCache(*task, SUCCEEDED(result) ? CString(buffer) : CString());
    task->Finish(localPath);
    return 0;
}

// ---- the dialog ---------------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CVersionUpdaterDlg, CDialogEx)
    ON_BN_CLICKED(IDOK, OnUpgrade)
    ON_MESSAGE(WM_DOWNLOAD_FINISHED, OnDownloadFinished)
    ON_MESSAGE(WM_DOWNLOAD_PROGRESS, OnDownloadProgress)
    ON_BN_CLICKED(IDCANCEL, OnCancelButton)
    ON_BN_CLICKED(IDC_UPDATE_REMIND_LATER, OnRemindLater)
    ON_WM_DESTROY()
END_MESSAGE_MAP()

CVersionUpdaterDlg::CVersionUpdaterDlg(const CUpdateInfo* info) : CDialogEx(IDD), m_pInfo(info)
{
}

CVersionUpdaterDlg::~CVersionUpdaterDlg()
{
    if (m_task)
        m_task->Detach();
    if (m_waitCursor)
        EndWaitCursor();
}

void CVersionUpdaterDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_UPDATE_DONT_SHOW, m_chkDontShowAgain);
    DDX_Control(pDX, IDC_UPDATE_PROGRESS, m_progressCtrl);
    DDX_Control(pDX, IDC_UPDATE_FEATURES, m_listFeatures);
}

BOOL CVersionUpdaterDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    ShowDownloadLayout(false);
    // The close box and Alt+F4 do nothing; Escape still reaches Cancel.
    if (CMenu* system = GetSystemMenu(FALSE))
        system->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    // Each line goes on top: the last feed line ends up first (inserted lines are not sorted).
    if (m_pInfo)
        for (const CString& line : m_pInfo->m_features)
            m_listFeatures.InsertString(0, line);
    return TRUE;
}

void CVersionUpdaterDlg::ShowDownloadLayout(bool downloading)
{
    const int offerControls[] = { IDC_UPDATE_FEATURES_LABEL, IDC_UPDATE_DETECTED, IDC_UPDATE_DONT_SHOW, IDOK,
                                  IDC_UPDATE_REMIND_LATER, IDC_UPDATE_FEATURES };
    for (int id : offerControls)
        ::ShowWindow(::GetDlgItem(m_hWnd, id), downloading ? SW_HIDE : SW_SHOW);
    ::ShowWindow(::GetDlgItem(m_hWnd, IDC_UPDATE_PROGRESS), downloading ? SW_SHOW : SW_HIDE);
    if (!downloading)
        return;
    // Two thirds of the height, top-left corner kept; Cancel 70 pixels up.
    CRect window;
    GetWindowRect(&window);
    MoveWindow(window.left, window.top, window.Width(), 2 * window.Height() / 3, TRUE);
    HWND cancel = ::GetDlgItem(m_hWnd, IDCANCEL);
    CRect button;
    ::GetWindowRect(cancel, &button);
    ScreenToClient(&button);
    ::MoveWindow(cancel, button.left, button.top - 70, button.Width(), button.Height(), TRUE);
}

void CVersionUpdaterDlg::EndDownloadState()
{
    if (m_waitCursor) {
        m_waitCursor = false;
        EndWaitCursor();
    }
}

void CVersionUpdaterDlg::OnUpgrade()
{
    if (m_task)
        return;   // one download at a time (Enter still reaches this while Upgrade is hidden)
    if (!m_pInfo || !IsAllowedDownloadUrl(m_pInfo->m_downloadUrl, m_pInfo->m_feedHost)) {
        m_addressRefused = true;
        EndDialog(IDCANCEL);
        return;
    }
    BeginWaitCursor();
    m_waitCursor = true;
    m_task = std::make_shared<DownloadTask>(m_hWnd, m_pInfo->m_downloadUrl, m_pInfo->m_feedHost, m_downloadLimit);
    CWinThread* thread = nullptr;
    if (m_task->hCancelEvent) {
        // The thread object deletes itself when the thread ends (closing its handle); the dialog never
        // waits for it: the shared task keeps alive what the thread uses.
        auto* threadReference = new std::shared_ptr<DownloadTask>(m_task);
        thread = AfxBeginThread(&DownloadThreadProc, threadReference, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        if (!thread)
            delete threadReference;
    }
    if (!thread) {
        m_task.reset();
        ShowDownloadLayout(false);
        EndDownloadState();
        return;
    }
    ShowDownloadLayout(true);
    thread->ResumeThread();
}

LRESULT CVersionUpdaterDlg::OnDownloadFinished(WPARAM, LPARAM)
{
    // Also the dialog manager's DM_SETDEFID: only our own finished download is handled here.
    if (!m_task || !m_task->IsFinished())
        return Default();
    EndDownloadState();
    if (!m_task->LocalPath().IsEmpty())
        OnOK();
    else
        OnCancel();
    return 0;
}

LRESULT CVersionUpdaterDlg::OnDownloadProgress(WPARAM wParam, LPARAM lParam)
{
    // Also the dialog manager's DM_REPOSITION: only while our download runs.
    if (!m_task || m_task->IsFinished())
        return Default();
    m_progressCtrl.SetRange32(0, static_cast<int>(lParam));
    m_progressCtrl.SetPos(static_cast<int>(wParam));
    return 0;
}

void CVersionUpdaterDlg::OnCancelButton()
{
    if (m_task)
        m_task->Detach();
    EndDownloadState();
    OnCancel();
}

void CVersionUpdaterDlg::OnRemindLater()
{
    OnCancel();
}

void CVersionUpdaterDlg::OnDestroy()
{
    if (m_task && !m_task->IsFinished())
        m_task->Detach();
    EndDownloadState();
    Default();
}
