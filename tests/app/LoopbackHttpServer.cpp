#include "LoopbackHttpServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>

namespace {

struct WinsockUp {
    WinsockUp()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
};
WinsockUp g_winsock;

bool SendAll(SOCKET s, const char* data, size_t size)
{
    while (size > 0) {
        int sent = ::send(s, data, static_cast<int>(size), 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

const char* Reason(int status)
{
    return status == 200 ? "OK" : status == 404 ? "Not Found" : status == 302 ? "Found" : "Error";
}

}

LoopbackHttpServer::LoopbackHttpServer()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof(address);
    if (m_listener == INVALID_SOCKET || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_listener, 16) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listener != INVALID_SOCKET)
            ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_stop = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    std::vector<std::thread> connections;
    {
        // Shut both ways: a send or receive under way fails at once. Each thread then closes its own
        // socket; those that do not within a second have theirs closed here.
        std::unique_lock<std::mutex> hold(m_lock);
        for (SOCKET s : m_open)
            ::shutdown(s, SD_BOTH);
        m_closed.wait_for(hold, std::chrono::seconds(1), [this] { return m_open.empty(); });
        for (SOCKET s : m_open)
            ::closesocket(s);
        m_open.clear();
        connections.swap(m_connections);
    }
    for (auto& t : connections)
        t.join();
    if (m_listener != INVALID_SOCKET)
        ::closesocket(m_listener);
}

void LoopbackHttpServer::Close(SOCKET client)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = std::find(m_open.begin(), m_open.end(), client);
    if (it == m_open.end())
        return;   // closed by the destructor
    m_open.erase(it);
    ::shutdown(client, SD_SEND);
    ::closesocket(client);
    m_closed.notify_all();
}

std::wstring LoopbackHttpServer::Url(const std::wstring& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(m_port) + path;
}

void LoopbackHttpServer::Set(const std::string& path, const Answer& answer)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_answers[path] = answer;
}

int LoopbackHttpServer::Requests(const std::string& path) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_requests.find(path);
    return it == m_requests.end() ? 0 : it->second;
}

int LoopbackHttpServer::Requests() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    int total = 0;
    for (auto& entry : m_requests)
        total += entry.second;
    return total;
}

size_t LoopbackHttpServer::Sent(const std::string& path) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_sent.find(path);
    return it == m_sent.end() ? 0 : it->second;
}

USHORT LoopbackHttpServer::ClosedPort()
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::closesocket(s);
    return ntohs(address.sin_port);
}

void LoopbackHttpServer::AcceptLoop()
{
    while (!m_stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listener, &readable);
        timeval wait{ 0, 20000 };
        if (::select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        const DWORD sendTimeout = kSendTimeoutMs;
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof(sendTimeout));
        std::lock_guard<std::mutex> hold(m_lock);
        m_open.push_back(client);
        m_connections.emplace_back([this, client] { Serve(client); });
    }
}

void LoopbackHttpServer::Serve(SOCKET client)
{
    // Reads one request (to its blank line), bounded by the stop flag.
    std::string request;
    while (!m_stop && request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait{ 0, 20000 };
        if (::select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        char buffer[2048];
        int got = ::recv(client, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
    }
    std::string path;
    size_t space = request.find(' ');
    if (space != std::string::npos) {
        size_t end = request.find(' ', space + 1);
        path = request.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1);
    }
    Answer answer;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!path.empty())
            ++m_requests[path];
        auto it = m_answers.find(path);
        if (it != m_answers.end())
            answer = it->second;
        else
            answer = Answer{ 404, "<html>not here</html>" };
    }
    auto waitStop = [this](DWORD ms) {
        for (DWORD waited = 0; waited < ms && !m_stop; waited += 10)
            ::Sleep((std::min)(10UL, ms - waited));
    };
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
    if (answer.send != Send::Unlimited)
        head += "Content-Length: " +
                (answer.announce >= 0 ? std::to_string(answer.announce) : std::to_string(answer.body.size())) + "\r\n";
    if (!answer.location.empty())
        head += "Location: " + answer.location + "\r\n";
    head += "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";

    switch (answer.send) {
    case Send::Whole: {
        // In one piece, as a server that has it all at hand sends it.
        const std::string whole = head + answer.body;
        SendAll(client, whole.data(), whole.size());
        break;
    }
    case Send::Stall:
        while (!m_stop)
            waitStop(50);
        break;
    case Send::Drip:
        if (SendAll(client, head.data(), head.size()))
            for (size_t i = 0; i < answer.body.size() && !m_stop; ++i) {
                if (!SendAll(client, &answer.body[i], 1))
                    break;
                waitStop(answer.dripMs);
            }
        break;
    case Send::CutShort: {
        if (SendAll(client, head.data(), head.size()))
            SendAll(client, answer.body.data(), answer.body.size() / 2);
        linger reset{ 1, 0 };   // close with a reset, not an orderly end
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof(reset));
        break;
    }
    case Send::DripStatus: {
        const size_t line = head.find("\r\n") + 2;
        bool sent = true;
        for (size_t i = 0; i < line && sent && !m_stop; ++i) {
            sent = SendAll(client, &head[i], 1);
            waitStop(answer.dripMs);
        }
        if (sent && !m_stop)
            SendAll(client, head.data() + line, head.size() - line) && SendAll(client, answer.body.data(), answer.body.size());
        break;
    }
    case Send::EndlessHeaders: {
        const std::string status = head.substr(0, head.find("\r\n") + 2);
        const std::string header = "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
        const ULONGLONG started = ::GetTickCount64();
        if (SendAll(client, status.data(), status.size()))
            while (!m_stop && ::GetTickCount64() - started < kEndlessMs && SendAll(client, header.data(), header.size()))
                waitStop(answer.dripMs);
        break;
    }
    case Send::Unlimited: {
        if (!SendAll(client, head.data(), head.size()))
            break;
        std::string chunk(4096, 'x');
        size_t sent = 0;
        while (!m_stop && (answer.limitBytes == 0 || sent < answer.limitBytes) && SendAll(client, chunk.data(), chunk.size())) {
            sent += chunk.size();
            std::lock_guard<std::mutex> hold(m_lock);
            m_sent[path] += chunk.size();
        }
        break;
    }
    }
    Close(client);
}
