// The test HTTP server itself: whatever its clients do, stopping it ends within a few seconds, so that a
// download under test that stops reading never holds a test program up.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "LoopbackHttpServer.h"

using Send = LoopbackHttpServer::Send;

namespace {

// A raw client on 127.0.0.1 that sends what it is given and then reads nothing.
struct DeafClient {
    explicit DeafClient(USHORT port, const std::string& request)
    {
        s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected = s != INVALID_SOCKET &&
                    ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                    (request.empty() || ::send(s, request.data(), static_cast<int>(request.size()), 0) ==
                                            static_cast<int>(request.size()));
    }
    ~DeafClient() { Close(); }
    void Close()
    {
        if (s != INVALID_SOCKET)
            ::closesocket(s);
        s = INVALID_SOCKET;
    }
    SOCKET s = INVALID_SOCKET;
    bool connected = false;
};

}

TEST(LoopbackServer, StopsWithinSecondsWhateverItsClientsDo)
{
    struct Case {
        const char* name;
        LoopbackHttpServer::Answer answer;
        const char* request;
    };
    LoopbackHttpServer::Answer whole{ 200, std::string(32 * 1024 * 1024, 'w') };
    LoopbackHttpServer::Answer endless{ 200, "", Send::Unlimited };
    LoopbackHttpServer::Answer stall{ 200, "", Send::Stall };
    const Case cases[] = {
        // A body far larger than what the sockets buffer: the one send of it waits on the client.
        { "a large body that is never read", whole, "GET /file HTTP/1.1\r\nHost: x\r\n\r\n" },
        { "an endless body that is never read", endless, "GET /file HTTP/1.1\r\nHost: x\r\n\r\n" },
        { "an answer that never comes", stall, "GET /file HTTP/1.1\r\nHost: x\r\n\r\n" },
        { "a request that never ends", whole, "GET /file HTTP/1.1\r\n" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_unique<LoopbackHttpServer>();
        ASSERT_TRUE(server->IsListening());
        server->Set("/file", c.answer);
        DeafClient client(server->Port(), c.request);
        ASSERT_TRUE(client.connected);
        // Wait until the server has taken the request, and for an endless body until the sockets are
        // full (nothing more goes out for a while): its thread then waits in a send.
        const bool complete = std::string(c.request).find("\r\n\r\n") != std::string::npos;
        for (int i = 0; i < 500 && complete && server->Requests("/file") == 0; ++i)
            ::Sleep(10);
        if (c.answer.send == Send::Unlimited) {
            size_t before = 0;
            for (int i = 0; i < 100 && (server->Sent("/file") == 0 || server->Sent("/file") != before); ++i) {
                before = server->Sent("/file");
                ::Sleep(100);
            }
        }

        std::packaged_task<void()> stop([&server] { server.reset(); });
        std::future<void> stopped = stop.get_future();
        std::thread stopper(std::move(stop));
        const bool ended = stopped.wait_for(std::chrono::seconds(8)) == std::future_status::ready;
        if (!ended)
            client.Close();   // lets a server that waits on its client go, so that the test ends
        stopper.join();
        EXPECT_TRUE(ended) << "the server was still waiting on its client 8 s after it was told to stop";
    }
}
