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

// Sends bytes while going() holds, waiting for the client to take them in short steps, so that a client
// that stops reading holds the sender only as long as going() does. False when the client has gone or
// going() ended first.
bool SendWhile(SOCKET s, const std::string& bytes, const std::function<bool()>& going)
{
    size_t done = 0;
    while (done < bytes.size()) {
        if (!going())
            return false;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait{ 0, 20000 };
        const int ready = ::select(0, nullptr, &writable, nullptr, &wait);
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        const int sent = ::send(s, bytes.data() + done, static_cast<int>((std::min)(bytes.size() - done, size_t(65536))), 0);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
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
        m_lastHead = request.substr(0, request.find("\r\n\r\n"));
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
    case Send::HeaderFlood:
    case Send::EndlessChunked:
    case Send::DripHeaders:
    case Send::EndlessChunk:
        ServeHostile(client, answer);
        break;
    case Send::Flood:
    case Send::FloodChunked:
    case Send::GzipZeros:
    case Send::Silent:
        ServeDownload(client, path, answer);
        break;
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

std::string LoopbackHttpServer::LastRequestHead() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lastHead;
}

void LoopbackHttpServer::ServeHostile(SOCKET client, const Answer& answer)
{
    // Sends while the client takes the bytes; a client that stops reading holds the server only until
    // it stops.
    auto send = [this, client](const std::string& bytes) { return SendWhile(client, bytes, [this] { return !m_stop; }); };
    const std::string status = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
    switch (answer.send) {
    case Send::HeaderFlood: {
        const std::string line = "X-Filler: " + std::string(1012, 'h') + "\r\n";
        std::string lines;
        for (int i = 0; i < 16; ++i)
            lines += line;
        if (send(status))
            while (send(lines)) {
            }
        break;
    }
    case Send::EndlessChunked: {
        const std::string chunk = "400\r\n" + std::string(1024, 'c') + "\r\n";
        std::string chunks;
        for (int i = 0; i < (answer.dripMs ? 1 : 16); ++i)
            chunks += chunk;
        if (send(status + "Content-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n"))
            while (send(chunks))
                for (DWORD waited = 0; waited < answer.dripMs && !m_stop; waited += 10)
                    ::Sleep(10);
        break;
    }
    case Send::EndlessChunk: {
        const std::string bytes(16 * 1024, 'c');
        if (send(status + "Content-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFF\r\n"))
            while (send(bytes)) {
            }
        break;
    }
    case Send::DripHeaders: {
        const std::string line = "X-Filler: 0123456789abcdef\r\n";
        if (send(status))
            for (size_t i = 0; !m_stop && send(std::string(1, line[i % line.size()])); ++i)
                for (DWORD waited = 0; waited < answer.dripMs && !m_stop; waited += 10)
                    ::Sleep(10);
        break;
    }
    default:
        break;
    }
}

// ---- the download modes -------------------------------------------------------------------------------

namespace {

// How long a download mode holds a connection at most, so that a client that neither reads nor goes away
// still lets the server end.
constexpr ULONGLONG kDownloadHoldMs = 30000;

// Writes the fixed-Huffman codes of a deflate block LSB first, as RFC 1951 packs them.
class BitWriter {
public:
    void Bits(unsigned value, int count)   // value's count low bits, least significant first
    {
        for (int i = 0; i < count; ++i)
            Bit((value >> i) & 1);
    }
    void Code(unsigned code, int length)   // a Huffman code, most significant bit first
    {
        for (int i = length - 1; i >= 0; --i)
            Bit((code >> i) & 1);
    }
    void Flush()
    {
        if (m_used) {
            out.push_back(static_cast<char>(m_byte));
            m_byte = 0;
            m_used = 0;
        }
    }
    std::string out;

private:
    void Bit(unsigned bit)
    {
        m_byte |= bit << m_used;
        if (++m_used == 8) {
            out.push_back(static_cast<char>(m_byte));
            m_byte = 0;
            m_used = 0;
        }
    }
    unsigned m_byte = 0;
    int m_used = 0;
};

// The stream: one literal zero, matches of 258 at distance 1, the rest as literal zeros, end of block.
constexpr size_t kMatch = 258;
size_t Matches(size_t zeros) { return zeros > 1 ? (zeros - 1) / kMatch : 0; }
size_t Literals(size_t zeros) { return zeros - Matches(zeros) * kMatch; }

unsigned Crc32OfZeros(size_t zeros)
{
    unsigned table[256];
    for (unsigned n = 0; n < 256; ++n) {
        unsigned c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    unsigned crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < zeros; ++i)
        crc = table[crc & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

}

size_t LoopbackHttpServer::GzipZerosLength(size_t zeros)
{
    const size_t bits = 3 + 8 * Literals(zeros) + 13 * Matches(zeros) + 7;
    return 10 + (bits + 7) / 8 + 8;
}

bool LoopbackHttpServer::GzipZerosSend(size_t zeros, const std::function<bool(const std::string&)>& send)
{
    BitWriter writer;
    writer.out = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    writer.Bits(1, 1);   // the last block
    writer.Bits(1, 2);   // fixed Huffman codes
    const size_t literals = Literals(zeros), matches = Matches(zeros);
    if (literals > 0)
        writer.Code(0x30, 8);   // the first zero, which the matches repeat
    for (size_t i = 0; i < matches; ++i) {
        writer.Code(0xC5, 8);   // length 258 (code 285)
        writer.Code(0, 5);      // distance 1 (code 0)
        if (writer.out.size() >= 65536) {
            if (!send(writer.out))
                return false;
            writer.out.clear();
        }
    }
    for (size_t i = 1; i < literals; ++i)
        writer.Code(0x30, 8);
    writer.Code(0, 7);   // end of block
    writer.Flush();
    const unsigned crc = Crc32OfZeros(zeros);
    const unsigned size = static_cast<unsigned>(zeros);
    for (unsigned value : { crc, size })
        for (int i = 0; i < 4; ++i)
            writer.out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return send(writer.out);
}

int LoopbackHttpServer::Ended(const std::string& path) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_ended.find(path);
    return it == m_ended.end() ? 0 : it->second;
}

ULONGLONG LoopbackHttpServer::EndedAt(const std::string& path) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_endedAt.find(path);
    return it == m_endedAt.end() ? 0 : it->second;
}

void LoopbackHttpServer::ServeDownload(SOCKET client, const std::string& path, const Answer& answer)
{
    const ULONGLONG started = ::GetTickCount64();
    auto running = [&] { return !m_stop && ::GetTickCount64() - started < kDownloadHoldMs; };
    // Sends while the server runs; false once the client has gone (or the server stops).
    auto send = [&](const std::string& data) { return SendWhile(client, data, running); };
    auto count = [&](size_t bytes) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_sent[path] += bytes;
    };
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
    if (answer.send == Send::FloodChunked)
        head += "Transfer-Encoding: chunked\r\n";
    if (answer.send == Send::GzipZeros)
        head += "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(GzipZerosLength(answer.limitBytes)) + "\r\n";
    if (answer.send == Send::Silent)
        head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    head += "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";

    bool more = send(head);
    switch (answer.send) {
    case Send::Flood:
    case Send::FloodChunked: {
        const std::string block(65536, 'x');
        char size[32];
        snprintf(size, sizeof(size), "%zx\r\n", block.size());
        const std::string chunk = answer.send == Send::FloodChunked ? size + block + "\r\n" : block;
        size_t sent = 0;
        while (more && (answer.limitBytes == 0 || sent < answer.limitBytes) && (more = send(chunk))) {
            sent += block.size();
            count(block.size());
        }
        break;
    }
    case Send::GzipZeros:
        more = more && GzipZerosSend(answer.limitBytes, [&](const std::string& piece) {
            if (!send(piece))
                return false;
            count(piece.size());
            return true;
        });
        break;
    case Send::Silent:
        // Nothing more: the client waits for a body that never comes, and only it ends the connection.
        while (more && running()) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(client, &readable);
            timeval wait{ 0, 20000 };
            const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
            char buffer[512];
            if (ready < 0 || (ready > 0 && ::recv(client, buffer, sizeof(buffer), 0) <= 0))
                more = false;
        }
        break;
    default:
        break;
    }
    // A body that ended: the server ends its side and waits for the client to go away.
    if (more) {
        ::shutdown(client, SD_SEND);
        while (running()) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(client, &readable);
            timeval wait{ 0, 20000 };
            const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
            if (ready < 0)
                break;
            char buffer[512];
            if (ready > 0 && ::recv(client, buffer, sizeof(buffer), 0) <= 0)
                break;
        }
    }
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_ended[path];
    m_endedAt[path] = ::GetTickCount64();
}
