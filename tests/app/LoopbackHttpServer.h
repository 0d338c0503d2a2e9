#pragma once
// A small HTTP/1.1 server on 127.0.0.1 inside the test program, on threads of its own: each path answers
// as set (status, body, and how the body is sent); every request is counted.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackHttpServer {
public:
    enum class Send {
        Whole,        // headers and body at once
        Stall,        // accepts, reads the request and never answers
        Drip,         // headers, then the body one byte per dripMs
        CutShort,     // announces the whole body, sends half of it and resets the connection
        Unlimited,    // 200 without a length, body bytes until the client goes away
        DripStatus,   // the status line one byte per dripMs, then the rest at once
        EndlessHeaders,   // the status line, then header lines one per dripMs (0: as fast as possible), never the end
        // Hostile answers that go on until the client goes away or the server stops:
        HeaderFlood,      // the status line, then 1 KiB header lines as fast as the client takes them
        EndlessChunked,   // 200 with chunked transfer coding, a 1 KiB chunk per dripMs (0: as fast as the client takes them)
        DripHeaders,      // the status line, then header bytes one per dripMs
        EndlessChunk,     // 200 with chunked transfer coding, one chunk announced as 2 GiB, sent as fast as taken
        // The answers of an installer download that does not end where it should. Each counts its body
        // bytes (Sent) and records when its connection ended (Ended, EndedAt).
        Flood,        // 200 without a length, 64 KiB blocks until the client goes away (or limitBytes)
        FloodChunked, // the same in chunks (Transfer-Encoding: chunked), never the last chunk
        GzipZeros,    // limitBytes zero bytes, deflated (Content-Encoding: gzip, the encoded length announced)
        Silent,       // 200 announcing body's length, then nothing until the client goes away
    };
    // How long the endless modes last at most, so that a client that waits for the server ends too.
    static constexpr DWORD kEndlessMs = 6000;
    // A send that a client does not take for this long ends its connection: no thread of the server
    // waits for ever on a client that stopped reading.
    static constexpr DWORD kSendTimeoutMs = 1000;
    struct Answer {
        int status = 200;
        std::string body;
        Send send = Send::Whole;
        DWORD dripMs = 100;
        std::string location = "";     // sent as a Location header when not empty (a redirect)
        long long announce = -1;       // the Content-Length sent; -1: the body's own length
        size_t limitBytes = 0;         // Unlimited, Flood, FloodChunked: the server ends the body after this many
                                       // bytes (0: never); GzipZeros: the zero bytes the stream holds
    };

    LoopbackHttpServer();
    // Shuts every connection and waits for its threads: ends within a second or two whatever the clients
    // do (a client that stopped reading, or holds its connection open, included).
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool IsListening() const { return m_listener != INVALID_SOCKET; }
    USHORT Port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path
    std::wstring Url(const std::wstring& path) const;

    // Unknown paths get 404.
    void Set(const std::string& path, const Answer& answer);
    int Requests(const std::string& path) const;
    int Requests() const;
    // Body bytes of Unlimited answers sent for path so far, over all its requests.
    size_t Sent(const std::string& path) const;

    // Connections of the download modes (Flood to Silent) for path that have ended, and the tick count
    // (GetTickCount64) of the last end; 0 before.
    int Ended(const std::string& path) const;
    ULONGLONG EndedAt(const std::string& path) const;

    // The gzip stream (RFC 1952, one fixed-Huffman deflate block) of zeros zero bytes: its length, and
    // the stream itself handed out in pieces of about 64 KiB.
    static size_t GzipZerosLength(size_t zeros);
    static bool GzipZerosSend(size_t zeros, const std::function<bool(const std::string&)>& send);

    // A port on 127.0.0.1 on which nothing listens.
    static USHORT ClosedPort();

    // The head (request line and header lines) of the last request that came, as it came.
    std::string LastRequestHead() const;

private:
    void AcceptLoop();
    void Serve(SOCKET client);
    void ServeHostile(SOCKET client, const Answer& answer);
    void ServeDownload(SOCKET client, const std::string& path, const Answer& answer);
    void Close(SOCKET client);

    SOCKET m_listener = INVALID_SOCKET;
    USHORT m_port = 0;
    std::atomic<bool> m_stop{ false };
    std::thread m_acceptThread;
    mutable std::mutex m_lock;
    std::map<std::string, Answer> m_answers;
    std::map<std::string, int> m_requests;
    std::map<std::string, size_t> m_sent;
    std::vector<std::thread> m_connections;
    std::string m_lastHead;
    std::map<std::string, int> m_ended;
    std::map<std::string, ULONGLONG> m_endedAt;
    std::vector<SOCKET> m_open;            // client sockets not closed yet
    std::condition_variable m_closed;      // a client socket was closed
};
