#include <winsock2.h>
#include <ws2tcpip.h>

#include "UpdateTestUtil.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace updtest {

std::string FeedText(const std::string& version, const std::string& url, const std::vector<std::string>& features)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<PellumarVersion>\n  <Win32>\n"
                       "    <Text>Corvane Pellumar</Text>\n    <Version>" + version + "</Version>\n"
                       "    <Url>" + url + "</Url>\n  </Win32>\n";
    if (!features.empty()) {
        text += "  <Features>\n";
        for (const std::string& line : features)
            text += "    <Feature>" + line + "</Feature>\n";
        text += "  </Features>\n";
    }
    return text + "</PellumarVersion>\n";
}

namespace {

using OpenFn = decltype(::InternetOpenW);
using ConnectFn = decltype(::InternetConnectW);
using OpenRequestFn = decltype(::HttpOpenRequestW);
using CloseFn = decltype(::InternetCloseHandle);
using ResolveFn = decltype(::GetAddrInfoW);
using SocketConnectFn = decltype(::connect);
using CreateThreadFn = decltype(::CreateThread);

struct RedirectState {
    USHORT port = 0;
    INTERNET_PORT requested = 0;
    INTERNET_PORT relay = 0;
    std::mutex lock;
    std::map<HINTERNET, int> closes;   // handles handed out and how often each was closed
    std::set<HINTERNET> sessions;      // sessions handed out and not closed yet
    std::vector<HANDLE> threads;       // the threads started while a session was open, to wait on
    std::atomic<int> calls{ 0 };       // fakes running now (a check's thread may outlive the check)
    ImportPatch<ConnectFn>* connect = nullptr;
    ImportPatch<OpenRequestFn>* open = nullptr;
    ImportPatch<CloseFn>* close = nullptr;
};
RedirectState* g_state = nullptr;
std::unique_ptr<ImportPatch<OpenFn>> g_session;
std::unique_ptr<ImportPatch<ConnectFn>> g_connect;
std::unique_ptr<ImportPatch<OpenRequestFn>> g_open;
std::unique_ptr<ImportPatch<CloseFn>> g_close;
std::unique_ptr<ImportPatch<ResolveFn>> g_resolve;
std::unique_ptr<ImportPatch<SocketConnectFn>> g_socketConnect;
std::unique_ptr<ImportPatch<CreateThreadFn>> g_createThread;

struct CallUnderWay {
    CallUnderWay() { ++g_state->calls; }
    ~CallUnderWay() { --g_state->calls; }
};

// Sessions are counted too: WinINet hands a closed handle's value out again, to any kind of handle.
HINTERNET WINAPI SpyOpen(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags)
{
    CallUnderWay underWay;
    HINTERNET h = g_session->Original()(agent, access, proxy, bypass, flags);
    if (h) {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->closes[h] = 0;
        g_state->sessions.insert(h);
    }
    return h;
}

HINTERNET WINAPI FakeConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, LPCWSTR user, LPCWSTR password,
                             DWORD service, DWORD flags, DWORD_PTR context)
{
    CallUnderWay underWay;
    // A connection to the check's own relay on 127.0.0.1 is not the one to the feed's server.
    if (!server || std::wstring(server) != L"127.0.0.1")
        g_state->requested = port;
    else
        g_state->relay = port;
    if (port == INTERNET_DEFAULT_HTTP_PORT) {
        server = L"127.0.0.1";
        port = g_state->port;
    }
    HINTERNET h = g_connect->Original()(session, server, port, user, password, service, flags, context);
    if (h) {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->closes[h] = 0;
    }
    return h;
}

HINTERNET WINAPI FakeOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
                                 LPCWSTR* accept, DWORD flags, DWORD_PTR context)
{
    CallUnderWay underWay;
    HINTERNET h = g_open->Original()(connection, verb, object, version, referrer, accept, flags, context);
    if (h) {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->closes[h] = 0;
    }
    return h;
}

// The feed's host name stands for 127.0.0.1 (the test machine resolves no such name).
INT WSAAPI FakeResolve(PCWSTR name, PCWSTR service, const ADDRINFOW* hints, PADDRINFOW* result)
{
    CallUnderWay underWay;
    return g_resolve->Original()(name ? L"127.0.0.1" : nullptr, service, hints, result);
}

// A connection made with Winsock to port 80 goes to the test server.
int WSAAPI FakeSocketConnect(SOCKET s, const sockaddr* name, int length)
{
    CallUnderWay underWay;
    if (name && name->sa_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(name);
        g_state->requested = ntohs(address.sin_port);
        if (ntohs(address.sin_port) == INTERNET_DEFAULT_HTTP_PORT) {
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(g_state->port);
        }
        return g_socketConnect->Original()(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    }
    return g_socketConnect->Original()(s, name, length);
}

// A check starts its exchange's threads while its session is open (GoogleTest starts threads of its own,
// which live as long as the thread they serve).
HANDLE WINAPI SpyCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                              DWORD flags, LPDWORD id)
{
    CallUnderWay underWay;
    HANDLE thread = g_createThread->Original()(security, stack, routine, parameter, flags, id);
    std::lock_guard<std::mutex> hold(g_state->lock);
    HANDLE waitable = nullptr;
    if (thread && !g_state->sessions.empty() &&
        ::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &waitable, SYNCHRONIZE, FALSE, 0))
        g_state->threads.push_back(waitable);
    return thread;
}

BOOL WINAPI SpyClose(HINTERNET handle)
{
    CallUnderWay underWay;
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        auto it = g_state->closes.find(handle);
        if (it != g_state->closes.end())
            ++it->second;
        g_state->sessions.erase(handle);
    }
    return g_close->Original()(handle);
}

}

RedirectPort80::RedirectPort80(USHORT port)
{
    g_state = new RedirectState;
    g_state->port = port;
    g_session = std::make_unique<ImportPatch<OpenFn>>("InternetOpenW", &SpyOpen);
    g_connect = std::make_unique<ImportPatch<ConnectFn>>("InternetConnectW", &FakeConnect);
    g_open = std::make_unique<ImportPatch<OpenRequestFn>>("HttpOpenRequestW", &FakeOpenRequest);
    g_close = std::make_unique<ImportPatch<CloseFn>>("InternetCloseHandle", &SpyClose);
    g_resolve = std::make_unique<ImportPatch<ResolveFn>>("GetAddrInfoW", &FakeResolve);
    g_socketConnect = std::make_unique<ImportPatch<SocketConnectFn>>("connect", &FakeSocketConnect);
    g_createThread = std::make_unique<ImportPatch<CreateThreadFn>>("CreateThread", &SpyCreateThread);
}

RedirectPort80::~RedirectPort80()
{
    g_createThread.reset();
    g_socketConnect.reset();
    g_resolve.reset();
    g_close.reset();
    g_open.reset();
    g_connect.reset();
    g_session.reset();
    while (g_state->calls > 0)
        ::Sleep(1);
    for (HANDLE thread : g_state->threads)
        ::CloseHandle(thread);
    delete g_state;
    g_state = nullptr;
}

bool RedirectPort80::IsActive() const
{
    return g_session->IsActive() && g_connect->IsActive() && g_open->IsActive() && g_close->IsActive() &&
           g_resolve->IsActive() && g_socketConnect->IsActive() && g_createThread->IsActive();
}

int RedirectPort80::Opened() const
{
    std::lock_guard<std::mutex> hold(g_state->lock);
    return static_cast<int>(g_state->closes.size());
}

bool RedirectPort80::EachClosedOnce() const
{
    std::lock_guard<std::mutex> hold(g_state->lock);
    for (auto& entry : g_state->closes)
        if (entry.second != 1)
            return false;
    return true;
}

bool RedirectPort80::NoneClosedTwice() const
{
    std::lock_guard<std::mutex> hold(g_state->lock);
    for (auto& entry : g_state->closes)
        if (entry.second > 1)
            return false;
    return true;
}

INTERNET_PORT RedirectPort80::RequestedPort() const
{
    return g_state->requested;
}

INTERNET_PORT RedirectPort80::RelayPort() const
{
    return g_state->relay;
}

bool RedirectPort80::ThreadsEnded(DWORD timeoutMs) const
{
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        threads = g_state->threads;
    }
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (HANDLE thread : threads) {
        const ULONGLONG now = ::GetTickCount64();
        if (::WaitForSingleObject(thread, now < deadline ? static_cast<DWORD>(deadline - now) : 0) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

void RunWhen(std::function<bool()> pred, std::function<void()> action, DWORD timeoutMs, std::function<void()> onTimeout)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    struct Poll {
        static void Next(std::function<bool()> pred, std::function<void()> action, ULONGLONG deadline,
                         std::function<void()> onTimeout)
        {
            RunSoon(20, [=] {
                if (pred())
                    action();
                else if (::GetTickCount64() > deadline) {
                    if (onTimeout)
                        onTimeout();
                } else
                    Next(pred, action, deadline, onTimeout);
            });
        }
    };
    Poll::Next(std::move(pred), std::move(action), deadline, std::move(onTimeout));
}

StepScript& StepScript::Step(const char* name, std::function<bool()> until, std::function<void()> action)
{
    m_steps.push_back(Entry{ name, std::move(until), std::move(action) });
    return *this;
}

void StepScript::Start(std::function<void()> giveUp, DWORD stepTimeoutMs)
{
    m_giveUp = std::move(giveUp);
    m_timeout = stepTimeoutMs;
    m_next = 0;
    m_deadline = ::GetTickCount64() + m_timeout;
    RunSoon(20, [this] { Poll(); });
}

void StepScript::Poll()
{
    if (m_next >= m_steps.size())
        return;
    Entry& step = m_steps[m_next];
    if (step.until()) {
        ++m_next;
        m_deadline = ::GetTickCount64() + m_timeout;
        // Scheduled before the action: an action that runs a loop of its own (a menu, a message box)
        // still lets the next step come.
        if (m_next < m_steps.size())
            RunSoon(20, [this] { Poll(); });
        step.action();
        return;
    }
    if (::GetTickCount64() > m_deadline) {
        m_failed = step.name;
        if (m_giveUp)
            m_giveUp();
        return;
    }
    RunSoon(20, [this] { Poll(); });
}

// ---- the stand-in installer ----------------------------------------------------------------------------

StandInRun::StandInRun(const std::wstring& dir) : m_report(dir + L"\\stand-in-report.bin")
{
    static std::atomic<int> runs{ 0 };
    const std::wstring name = L"PellumarStandIn-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++runs);
    m_read = ::CreateEventW(nullptr, TRUE, FALSE, (name + L"-read").c_str());
    m_go = ::CreateEventW(nullptr, TRUE, FALSE, (name + L"-go").c_str());
    ::SetEnvironmentVariableW(L"PELLUMAR_STANDIN_REPORT", m_report.c_str());
    ::SetEnvironmentVariableW(L"PELLUMAR_STANDIN_EVENTS", name.c_str());
}

StandInRun::~StandInRun()
{
    ::SetEnvironmentVariableW(L"PELLUMAR_STANDIN_REPORT", nullptr);
    ::SetEnvironmentVariableW(L"PELLUMAR_STANDIN_EVENTS", nullptr);
    Go();
    ::CloseHandle(m_read);
    ::CloseHandle(m_go);
}

bool StandInRun::WaitUntilRead(HANDLE process) const
{
    if (!process)
        return false;
    HANDLE both[] = { m_read, process };
    return ::WaitForMultipleObjects(2, both, FALSE, 60000) == WAIT_OBJECT_0;
}

std::string StandInRun::Reported() const
{
    return ReadAllBytes(m_report);
}

bool CacheEntryMadeSince(const std::wstring& url, ULONGLONG since)
{
    DWORD size = 0;
    if (::GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    std::vector<BYTE> buffer(size);
    auto* entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    if (!::GetUrlCacheEntryInfoW(url.c_str(), entry, &size))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!entry->lpszLocalFileName || !::GetFileAttributesExW(entry->lpszLocalFileName, GetFileExInfoStandard, &data))
        return true;   // an entry whose time cannot be told counts as new
    const ULONGLONG made = (static_cast<ULONGLONG>(data.ftCreationTime.dwHighDateTime) << 32) | data.ftCreationTime.dwLowDateTime;
    return made >= since;
}

std::string ReadAllBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    ::CloseHandle(h);
    return bytes;
}

std::vector<std::string> TrySwaps(const std::wstring& path, const std::wstring& swap, const std::wstring& aside,
                                  const std::string& bytes)
{
    std::vector<std::string> swapped;
    if (::CopyFileW(swap.c_str(), (swap + L".copy").c_str(), FALSE) &&
        ::MoveFileExW((swap + L".copy").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        swapped.push_back("replaced");
    if (::MoveFileW(path.c_str(), aside.c_str())) {
        swapped.push_back("renamed away");
        ::CopyFileW(swap.c_str(), path.c_str(), FALSE);
    }
    if (::DeleteFileW(path.c_str())) {
        swapped.push_back("deleted");
        ::CopyFileW(swap.c_str(), path.c_str(), FALSE);
    }
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written > 0)
            swapped.push_back("written over");
        ::CloseHandle(h);
    }
    ::DeleteFileW((swap + L".copy").c_str());
    return swapped;
}

}
