#pragma once
// A small HTTP/1.1 server on 127.0.0.1 inside the test program, on threads of its own: each path answers
// as set (status, body, and how the body is sent); every request is counted.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
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
        size_t limitBytes = 0;         // Unlimited: the server ends the body after this many bytes (0: never)
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

    // A port on 127.0.0.1 on which nothing listens.
    static USHORT ClosedPort();

private:
    void AcceptLoop();
    void Serve(SOCKET client);
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
    std::vector<SOCKET> m_open;            // client sockets not closed yet
    std::condition_variable m_closed;      // a client socket was closed
};
