// The update feed: fetch, bounds and parse.
// Winsock before the header, whose windows.h would otherwise bring the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "app/VersionChecker.h"

#include <tinyxml.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "framework/Wnd.h"

namespace {

// Splits the feed address once for both halves.
void SplitFeedUrl(const CString& url, CString* server, CString* path)
{
    CString rest(url);
    rest.Replace(L"http://", L"");
    int slash = rest.Find(L'/');
    if (slash < 0) {
        server->Empty();
        path->Empty();
        return;
    }
    *server = rest.Left(slash);
    *path = rest.Mid(slash);
}

// One piece of a version text, read as a signed decimal clamped to 32 bits.
int ReadPiece(const std::string& piece)
{
    size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || (piece[i] >= '\t' && piece[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
        negative = piece[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
        value = value * 10 + (piece[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;   // enough to clamp either way
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// The text of an element: its first child when that is a text node.
CString ElementText(const TiXmlNode* element)
{
    const TiXmlNode* first = element ? element->FirstChild() : nullptr;
    const TiXmlText* text = first ? first->ToText() : nullptr;
    return text ? DecodeFeedText(text->Value()) : CString();
}

const char* ElementBytes(const TiXmlNode* element)
{
    const TiXmlNode* first = element ? element->FirstChild() : nullptr;
    const TiXmlText* text = first ? first->ToText() : nullptr;
    return text ? text->Value() : nullptr;
}

// Past the first occurrence of close at or after p; the end of the text when there is none.
const char* SkipPast(const char* p, const char* close)
{
    const char* found = std::strstr(p, close);
    return found ? found + std::strlen(close) : p + std::strlen(p);
}

bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// What TinyXML takes for the first character of an element's name: a letter, '_', or any byte from 0x7F.
bool IsNameStart(char c)
{
    return IsLetter(c) || c == '_' || static_cast<unsigned char>(c) >= 0x7F;
}

// "<?xml" in any case: the parser reads a declaration there.
bool IsDeclarationStart(const char* p)
{
    if (p[0] != '<' || p[1] != '?')
        return false;
    for (int i = 0; i < 3; ++i)
        if (!p[2 + i] || (p[2 + i] | 0x20) != "xml"[i])
            return false;
    return true;
}

// The end (past its '>') of the declaration at p when it is plainly "<?xml" followed by blank-separated
// name="value" pairs (names of letters, values of letters, digits and ".-_:", either quote) and "?>" or
// ">": the parser then ends it at that same '>'. nullptr for any other form.
const char* PlainDeclarationEnd(const char* p)
{
    p += 5;
    for (;;) {
        const char* const start = p;
        while (IsBlank(*p))
            ++p;
        if (*p == '>')
            return p + 1;
        if (*p == '?' && p[1] == '>')
            return p + 2;
        if (p == start || !IsLetter(*p))
            return nullptr;
        while (IsLetter(*p))
            ++p;
        while (IsBlank(*p))
            ++p;
        if (*p++ != '=')
            return nullptr;
        while (IsBlank(*p))
            ++p;
        const char quote = *p;
        if (quote != '"' && quote != '\'')
            return nullptr;
        ++p;
        while (IsLetter(*p) || (*p >= '0' && *p <= '9') || *p == '.' || *p == '-' || *p == '_' || *p == ':')
            ++p;
        if (*p++ != quote)
            return nullptr;
    }
}

void SetStepTimeouts(HINTERNET handle, const CVersionChecker::Limits& limits)
{
    DWORD timeout = limits.stepTimeoutMs;
    ::InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    ::InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    ::InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
    DWORD retries = limits.connectRetries;
    ::InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof(retries));
}

// Bytes the relay takes from the feed's server at most: room for the largest body the check accepts,
// its chunk framing and the headers. A server that sends more is cut off there.
size_t WireBound(const CVersionChecker::Limits& limits)
{
    return 2 * limits.maxBodyBytes + 64 * 1024;
}
// Bytes of the request that WinINet sends through the relay at most (a GET of a few hundred bytes).
constexpr size_t kRequestBound = 64 * 1024;
// How long the check waits past its deadline for the exchange's threads to end.
constexpr DWORD kLetGoMs = 1000;
// How often the relay looks whether its exchange has ended or its deadline has passed.
constexpr long kRelayPollMs = 50;

// True while an exchange lives (its threads, its sockets): the next check then starts none.
std::atomic<bool> g_exchangeLives{ false };

void CloseSocket(SOCKET* s, bool reset)
{
    if (*s == INVALID_SOCKET)
        return;
    if (reset) {
        linger hard{ 1, 0 };   // closed with a reset, so that the peer's waiting call fails at once
        ::setsockopt(*s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
    }
    ::closesocket(*s);
    *s = INVALID_SOCKET;
}

// One exchange with the feed's server, shared by the check and the two threads that run it.
//
// WinINet speaks HTTP, but nothing ends a WinINet call while a server keeps sending (header lines
// without end are read without a bound), and closing its handle from another thread does not end the
// call. So WinINet talks to a relay inside the program: a socket on 127.0.0.1 that takes WinINet's
// connection, while the relay's own connection goes to the feed's server. The relay forwards the bytes
// both ways, counts what the server sends and resets both connections when the count passes its bound
// or the deadline passes; WinINet's waiting call then fails at once and its thread ends.
struct FeedExchange {
    CString server;
    CString path;
    CVersionChecker::Limits limits;
    ULONGLONG started = 0;
    HINTERNET session = nullptr;
    HANDLE done = nullptr;       // set when WinINet's part has ended and closed its handles
    HANDLE ended = nullptr;      // set when both threads have ended their part (relay sockets closed)
    std::atomic<int> threads{ 2 };   // the relay's and WinINet's, until each has ended its part
    std::string body;
    bool answered = false;       // an HTTP 200 answer, read to its end within the deadline
    bool winsock = false;        // WSAStartup succeeded for this exchange
    SOCKET listener = INVALID_SOCKET;
    USHORT relayPort = 0;
    std::atomic<bool> requestEnded{ false };   // WinINet's part has ended: the relay ends too

    FeedExchange()
    {
        WSADATA data;
        winsock = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~FeedExchange()
    {
        CloseSocket(&listener, false);
        if (done)
            ::CloseHandle(done);
        if (ended)
            ::CloseHandle(ended);
        if (winsock)
            ::WSACleanup();
    }
    // Called by each thread as its part ends: the last one lets the next exchange start.
    void ThreadEnded()
    {
        if (--threads == 0) {
            g_exchangeLives = false;
            ::SetEvent(ended);
        }
    }
    bool PastDeadline() const { return ::GetTickCount64() - started >= limits.deadlineMs; }
    // What is left of the deadline, at most capMs.
    long RemainingMs(long capMs) const
    {
        const ULONGLONG elapsed = ::GetTickCount64() - started;
        if (elapsed >= limits.deadlineMs)
            return 0;
        return static_cast<long>((std::min)(static_cast<ULONGLONG>(capMs), limits.deadlineMs - elapsed));
    }
    bool Ending() const { return requestEnded || PastDeadline(); }

    // The relay's socket on 127.0.0.1, on a port the system picks.
    bool Listen()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (listener == INVALID_SOCKET ||
            ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            CloseSocket(&listener, false);
            return false;
        }
        relayPort = ntohs(address.sin_port);
        return true;
    }
};

// Waits until s is ready (for reading, or for writing when write is set) or the exchange is ending.
// 1: ready; 0: ending; -1: the socket failed.
int WaitReady(const FeedExchange& exchange, SOCKET s, bool write)
{
    while (!exchange.Ending()) {
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        const long ms = exchange.RemainingMs(kRelayPollMs);
        timeval wait{ ms / 1000, (ms % 1000) * 1000 };
        const int result = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
        if (result < 0 || FD_ISSET(s, &failed))
            return -1;
        if (result > 0)
            return 1;
    }
    return 0;
}

// The relay's connection to the feed's server on port 80, made without blocking, so that the deadline
// and the end of the exchange bound it.
SOCKET ConnectToServer(const FeedExchange& exchange)
{
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    if (exchange.server.IsEmpty() || ::GetAddrInfoW(exchange.server, L"80", &hints, &found) != 0)
        return INVALID_SOCKET;
    SOCKET s = INVALID_SOCKET;
    for (const ADDRINFOW* a = found; a && s == INVALID_SOCKET && !exchange.Ending(); a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        u_long nonBlocking = 1;
        if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
            CloseSocket(&s, false);
            continue;
        }
        const bool pending = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0;
        if (pending && (::WSAGetLastError() != WSAEWOULDBLOCK || WaitReady(exchange, s, true) != 1)) {
            CloseSocket(&s, false);
            continue;
        }
        int error = 0;
        int size = sizeof(error);
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0)
            CloseSocket(&s, false);
    }
    ::FreeAddrInfoW(found);
    return s;
}

// Takes WinINet's connection from the relay's socket, then closes that socket: one connection only.
SOCKET AcceptRequest(FeedExchange& exchange)
{
    SOCKET s = INVALID_SOCKET;
    if (WaitReady(exchange, exchange.listener, false) == 1)
        s = ::accept(exchange.listener, nullptr, nullptr);
    CloseSocket(&exchange.listener, false);
    u_long nonBlocking = 1;
    if (s != INVALID_SOCKET && ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
        CloseSocket(&s, false);
    return s;
}

// Forwards between WinINet's connection and the server's until one of them ends, the exchange ends, the
// server has sent more than the bound or the deadline passes. True for an orderly end: the server closed
// its side and all it sent has been handed on.
bool Forward(const FeedExchange& exchange, SOCKET wininet, SOCKET server)
{
    std::string toServer, toWininet;
    size_t requestBytes = 0, answerBytes = 0;
    bool serverEnded = false;
    char buffer[16 * 1024];
    for (;;) {
        if (exchange.Ending())
            return false;
        if (serverEnded && toWininet.empty())
            return true;
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        if (toServer.empty())
            FD_SET(wininet, &readable);
        if (toWininet.empty() && !serverEnded)
            FD_SET(server, &readable);
        if (!toServer.empty())
            FD_SET(server, &writable);
        if (!toWininet.empty())
            FD_SET(wininet, &writable);
        const long ms = exchange.RemainingMs(kRelayPollMs);
        timeval wait{ ms / 1000, (ms % 1000) * 1000 };
        const int ready = ::select(0, &readable, &writable, nullptr, &wait);
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        if (FD_ISSET(wininet, &readable)) {
            const int got = ::recv(wininet, buffer, sizeof(buffer), 0);
            if (got <= 0)
                return false;   // WinINet has let go (or its connection failed): nothing more to hand on
            requestBytes += static_cast<size_t>(got);
            if (requestBytes > kRequestBound)
                return false;
            toServer.append(buffer, static_cast<size_t>(got));
        }
        if (FD_ISSET(server, &readable)) {
            const int got = ::recv(server, buffer, sizeof(buffer), 0);
            if (got < 0)
                return false;
            if (got == 0) {
                serverEnded = true;
            } else {
                answerBytes += static_cast<size_t>(got);
                if (answerBytes > WireBound(exchange.limits))
                    return false;
                toWininet.append(buffer, static_cast<size_t>(got));
            }
        }
        for (auto [s, pending] : { std::pair<SOCKET, std::string*>{ server, &toServer }, { wininet, &toWininet } }) {
            if (!FD_ISSET(s, &writable))
                continue;
            const int sent = ::send(s, pending->data(), static_cast<int>(pending->size()), 0);
            if (sent < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK)
                return false;
            if (sent > 0)
                pending->erase(0, static_cast<size_t>(sent));
        }
    }
}

DWORD WINAPI RelayThread(void* parameter)
{
    std::unique_ptr<std::shared_ptr<FeedExchange>> held(static_cast<std::shared_ptr<FeedExchange>*>(parameter));
    FeedExchange& exchange = **held;
    SOCKET server = ConnectToServer(exchange);
    SOCKET wininet = AcceptRequest(exchange);
    bool orderly = false;
    if (server != INVALID_SOCKET && wininet != INVALID_SOCKET)
        orderly = Forward(exchange, wininet, server);
    if (orderly)
        ::shutdown(wininet, SD_SEND);   // WinINet reads the end of the answer
    CloseSocket(&wininet, !orderly);
    CloseSocket(&server, !orderly);
    exchange.ThreadEnded();
    return 0;
}

// Reads the whole body into *body; false when a read fails, the body is too long or the deadline passes.
// Each step asks what has arrived first (bounded by the receive time-out) and reads only that, so a
// server that drips its answer cannot hold a read past the deadline.
bool ReadBody(HINTERNET request, const FeedExchange& exchange, std::string* body)
{
    char buffer[1024];
    for (;;) {
        if (exchange.PastDeadline())
            return false;
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(request, &available, 0, 0))
            return false;
        DWORD got = 0;
        if (available > 0 && !::InternetReadFile(request, buffer, (std::min)(available, 1023UL), &got))
            return false;
        if (got == 0) {
            // A connection that ended before the announced length is a failed read, not a short feed.
            DWORD announced = 0;
            DWORD size = sizeof(announced);
            if (::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &size, nullptr))
                return body->size() == announced;
            return true;
        }
        if (body->size() + got > exchange.limits.maxBodyBytes)
            return false;
        body->append(buffer, got);
    }
}

// Connect (to the relay), send, status and body, then every handle closed once (the session included).
void RunExchange(FeedExchange& exchange)
{
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    if (!exchange.server.IsEmpty())
        connection = ::InternetConnectW(exchange.session, L"127.0.0.1", exchange.relayPort, nullptr, nullptr,
                                        INTERNET_SERVICE_HTTP, 0, 0);
    // The answer is not written into the Internet cache: it would be kept under the relay's address, one
    // of this exchange's own that is never asked for again, with whatever headers the server sent. Under
    // Wine nothing takes such entries out again, and a full cache fails every download into it, the
    // update's own included.
    if (connection && !exchange.PastDeadline())
        request = ::HttpOpenRequestW(connection, L"GET", exchange.path, L"HTTP/1.1", nullptr, nullptr,
                                     INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request) {
        // Wine does not pass the session's time-outs on to its requests: the request gets its own.
        SetStepTimeouts(request, exchange.limits);
        // The server is asked for by its own name, not by the relay's address.
        const CString host = L"Host: " + exchange.server;
        DWORD status = 0;
        DWORD size = sizeof(status);
        exchange.answered = ::HttpAddRequestHeadersW(request, host, static_cast<DWORD>(-1),
                                                     HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE) &&
                            ::HttpSendRequestW(request, L"Content-Type: text/html", 23, nullptr, 0) &&
                            !exchange.PastDeadline() &&
                            ::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) &&
                            status == HTTP_STATUS_OK && ReadBody(request, exchange, &exchange.body) &&
                            !exchange.PastDeadline();
    }
    if (request)
        ::InternetCloseHandle(request);
    if (connection)
        ::InternetCloseHandle(connection);
    if (exchange.session)
        ::InternetCloseHandle(exchange.session);
}

DWORD WINAPI ExchangeThread(void* parameter)
{
    std::unique_ptr<std::shared_ptr<FeedExchange>> exchange(static_cast<std::shared_ptr<FeedExchange>*>(parameter));
    RunExchange(**exchange);
    (*exchange)->requestEnded = true;
    ::SetEvent((*exchange)->done);
    (*exchange)->ThreadEnded();
    return 0;
}

// Runs routine on a thread of its own that shares exchange; false when the thread could not be made.
bool StartThread(LPTHREAD_START_ROUTINE routine, const std::shared_ptr<FeedExchange>& exchange)
{
    auto* handOver = new std::shared_ptr<FeedExchange>(exchange);
    HANDLE thread = ::CreateThread(nullptr, 0, routine, handOver, 0, nullptr);
    if (!thread) {
        delete handOver;
        return false;
    }
    ::CloseHandle(thread);
    return true;
}

// Waits for event until deadlineMs after started, answering the calling thread's messages meanwhile (a
// window of the thread stays responsive). True when the event came in time. A WM_QUIT ends the answering
// and is posted again for the loops around.
bool WaitAnsweringMessages(HANDLE event, ULONGLONG started, DWORD deadlineMs)
{
    bool quit = false;
    WPARAM quitCode = 0;
    bool arrived = false;
    for (;;) {
        const ULONGLONG elapsed = ::GetTickCount64() - started;
        if (elapsed >= deadlineMs) {
            arrived = ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
            break;
        }
        const DWORD remaining = static_cast<DWORD>(deadlineMs - elapsed);
        const DWORD woke = quit ? ::WaitForSingleObject(event, remaining)
                                : ::MsgWaitForMultipleObjectsEx(1, &event, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) {
            arrived = true;
            break;
        }
        if (woke == WAIT_TIMEOUT)
            continue;
        if (woke != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        while (!quit && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
                break;
            }
            if (!CWnd::WalkPreTranslateTree(&msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
    }
    if (quit)
        ::PostQuitMessage(static_cast<int>(quitCode));
    return arrived;
}

}

bool IsUpToDate(const ProductVersion& running, const ProductVersion& offered)
{
    if (running.major != offered.major)
        return running.major > offered.major;
    if (running.minor != offered.minor)
        return running.minor > offered.minor;
    return running.build >= offered.build;
}

BOOL ParseVersionString(ProductVersion* version, const char* text)
{
    if (!version || !text)
        return FALSE;
    int* fields[] = { &version->major, &version->minor, &version->build };
    size_t found = 0;
    const char* p = text;
    while (*p && found < 3) {
        const char* end = std::strchr(p, '.');
        size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (length > 0)
            *fields[found++] = ReadPiece(std::string(p, length));
        p += length;
        if (*p == '.')
            ++p;
    }
    return found == 3 ? TRUE : FALSE;
}

CString DecodeFeedText(const char* text)
{
    if (!text || !*text)
        return CString();
    for (UINT codePage : { static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_THREAD_ACP) }) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        int length = ::MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
        if (length <= 0)
            continue;
        CString result;
        wchar_t* buffer = result.GetBufferSetLength(length);
        ::MultiByteToWideChar(codePage, flags, text, -1, buffer, length);
        result.ReleaseBuffer(length - 1);
        return result;
    }
    return CString();
}

CVersionChecker::CVersionChecker(const wchar_t* feedUrl) : m_strFeedUrl(feedUrl)
{
}

CVersionChecker::~CVersionChecker() = default;

CString CVersionChecker::GetServerName() const
{
    CString server, path;
    SplitFeedUrl(m_strFeedUrl, &server, &path);
    return server;
}

CString CVersionChecker::GetObjectPath() const
{
    CString server, path;
    SplitFeedUrl(m_strFeedUrl, &server, &path);
    return path;
}

bool CVersionChecker::NestsDeeperThan(const char* text, int maxDepth)
{
    if (!text)
        return false;
    // The count follows TinyXML's reading of the text, so that it never falls below the parser's depth:
    // every element the parser could open is counted, and the count goes down only where the parser's
    // does. What the parser ends at its first '>' ("<!" markup, "<?" other than a declaration, end tags,
    // a '<' before anything that cannot start a name) is skipped to that '>'; an end tag lowers the count
    // only inside an element (at the top the parser takes it for an unknown node); a character
    // reference ("&#") runs to the next ';' in text and in quoted values, because the parser's does,
    // whatever lies between; and a declaration that is not plainly name="value" pairs is refused whole,
    // since the parser may read a '>' inside it as part of a quoted value.
    int depth = 0;
    const char* p = text;
    while (*p) {
        if (*p == '&' && p[1] == '#') {
            p = SkipPast(p + 2, ";");
            continue;
        }
        if (*p != '<') {
            ++p;
            continue;
        }
        if (std::strncmp(p, "<!--", 4) == 0) {
            p = SkipPast(p + 4, "-->");
        } else if (std::strncmp(p, "<![CDATA[", 9) == 0) {
            p = SkipPast(p + 9, "]]>");
        } else if (IsDeclarationStart(p)) {
            p = PlainDeclarationEnd(p);
            if (!p)
                return true;
        } else if (IsNameStart(p[1])) {
            // A start tag, to its '>' with quoted values skipped whole (a quoted "/>" ends nothing).
            ++p;
            char previous = 0;
            while (*p && *p != '>') {
                if (*p == '"' || *p == '\'') {
                    const char quote = *p++;
                    while (*p && *p != quote)
                        p = (*p == '&' && p[1] == '#') ? SkipPast(p + 2, ";") : p + 1;
                    if (*p)
                        ++p;
                    previous = quote;
                    continue;
                }
                previous = *p++;
            }
            if (!*p)
                return false;   // an unfinished tag: the parser stops there
            ++p;
            if (previous != '/' && ++depth > maxDepth)
                return true;
        } else {
            if (p[1] == '/' && depth > 0)
                --depth;
            p = SkipPast(p + 1, ">");
        }
    }
    return false;
}

BOOL CVersionChecker::ParseFeed(const char* text)
{
    m_pInfo.reset();
    if (!text || NestsDeeperThan(text, m_limits.maxNesting))
        return FALSE;
    auto info = std::make_unique<CUpdateInfo>();
    info->m_feedHost = GetServerName();

    // A feed in UTF-8 is parsed as UTF-8. Any other bytes are parsed one by one: taken as UTF-8, an ANSI
    // letter would swallow the characters after it ("\xE9</" as one character) and break the structure.
    const bool utf8 = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0) > 0;
    TiXmlDocument document;
    document.Parse(text, nullptr, utf8 ? TIXML_ENCODING_UTF8 : TIXML_ENCODING_LEGACY);

    const TiXmlElement* root = document.FirstChildElement();
    const TiXmlNode* win32 = root ? root->FirstChild("Win32") : nullptr;
    const TiXmlNode* firstNode = win32 ? win32->FirstChild() : nullptr;
    const TiXmlElement* first = firstNode ? firstNode->ToElement() : nullptr;
    if (!first)
        return FALSE;
    const TiXmlElement* version = first->NextSiblingElement();
    if (!version || !ParseVersionString(&info->m_version, ElementBytes(version)))
        return FALSE;
    const TiXmlElement* url = version->NextSiblingElement();
    if (!url)
        return FALSE;
    info->m_downloadUrl = ElementText(url);

    const TiXmlNode* features = root->FirstChild("Features");
    const TiXmlNode* firstFeature = features ? features->FirstChild() : nullptr;
    for (const TiXmlElement* item = firstFeature ? firstFeature->ToElement() : nullptr; item;
         item = item->NextSiblingElement()) {
        CString line = ElementText(item);
        if (!line.IsEmpty())
            info->m_features.push_back(line);
    }
    m_pInfo = std::move(info);
    return TRUE;
}

CUpdateInfo* CVersionChecker::Check(const ProductVersion& running, HINTERNET session)
{
    m_pInfo.reset();
    SetStepTimeouts(session, m_limits);

    // One exchange at a time: while an earlier one is still letting go of its server, this check ends
    // as a check that got no answer.
    if (g_exchangeLives.exchange(true)) {
        if (session)
            ::InternetCloseHandle(session);
        return nullptr;
    }

    // The exchange runs on threads of its own, and the check waits for it only until the deadline: a
    // server that answers a byte at a time, or with header lines that never end, holds neither the check
    // nor the caller's window (step time-outs restart with every byte and cannot bound the whole). The
    // relay ends the exchange by itself at the same deadline.
    auto exchange = std::make_shared<FeedExchange>();
    exchange->server = GetServerName();
    exchange->path = GetObjectPath();
    exchange->limits = m_limits;
    exchange->session = session;
    exchange->done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    exchange->ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    exchange->started = ::GetTickCount64();
    const bool relaying = exchange->done && exchange->ended && exchange->winsock && exchange->Listen() &&
                          StartThread(RelayThread, exchange);
    if (!relaying || !StartThread(ExchangeThread, exchange)) {
        if (session)
            ::InternetCloseHandle(session);
        if (relaying) {
            exchange->requestEnded = true;   // the relay ends at once, and then lets the next exchange start
            exchange->ThreadEnded();
        } else {
            g_exchangeLives = false;
        }
        return nullptr;
    }

    const bool arrived = WaitAnsweringMessages(exchange->done, exchange->started, m_limits.deadlineMs);
    // The relay has reset its connections by now (or ends with WinINet's part): the threads end within
    // moments, and the next check finds none left.
    WaitAnsweringMessages(exchange->ended, ::GetTickCount64(), kLetGoMs);
    if (arrived && exchange->answered && ParseFeed(exchange->body.c_str())) {
        m_pInfo->m_upToDate = IsUpToDate(running, m_pInfo->m_version) ? TRUE : FALSE;
        return m_pInfo.get();
    }
    m_pInfo.reset();
    return nullptr;
}
