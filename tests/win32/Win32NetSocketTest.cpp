// The network port's socket over Winsock (Wine's, on the host's loopback): what each way a
// server can end a connection reads as, and the wake that ends the reader thread's wait.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "serial/ComBackend.h"
#include "serial/net/Socket.h"
#include "serial/win32/ComDevice.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

// A listening socket on a free port of 127.0.0.1.
class Listener {
public:
    Listener() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof address;
        bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &len);
        port_ = ntohs(address.sin_port);
        listen(socket_, 1);
    }
    ~Listener() {
        closesocket(socket_);
        WSACleanup();
    }
    TNetAddress Address() const { return {false, "127.0.0.1", std::to_string(port_)}; }
    SOCKET Accept() { return accept(socket_, nullptr, nullptr); }
    // Stops listening: the port then refuses connections.
    void Close() {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    int port_ = 0;
};

// Waits with no time limit until the socket has something to say, then reads it.
int RecvWhenReady(TSocket s, std::string& got) {
    unsigned ready = 0;
    if (int rc = WaitSocket(s, SocketReadable, nullptr, -1, ready))
        return rc;
    char buffer[64];
    size_t n = 0;
    const int rc = SocketRecv(s, buffer, sizeof buffer, n);
    got.assign(buffer, n);
    return rc;
}

TEST(Win32NetSocket, EachWayAConnectionEndsReadsAsItsCause) {
    const struct {
        const char* Case;
        // The server leaves bytes unread as it closes: the system then resets the connection
        // instead of closing it in order (Wine's own close ignores a zero linger).
        bool Unread;
        int Want;
    } cases[] = {
        {"closed in order", false, WSAECONNABORTED},
        // Wine's server takes a reset's error for itself: recv() then sees an orderly end.
        {"reset", true, RunningUnderWine() ? WSAECONNABORTED : WSAECONNRESET},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        Listener server;
        TSocket s = NoSocket;
        ASSERT_EQ(ConnectTcp(server.Address(), 5000, s), 0);
        SOCKET peer = server.Accept();
        ASSERT_NE(peer, INVALID_SOCKET);
        send(peer, "pong", 4, 0);
        std::string got;
        EXPECT_EQ(RecvWhenReady(s, got), 0);
        EXPECT_EQ(got, "pong");
        size_t sent = 0;
        ASSERT_EQ(SocketSend(s, "ping", 4, sent), 0);
        EXPECT_EQ(sent, 4u);
        char buffer[8];
        if (!c.Unread) {
            ASSERT_EQ(recv(peer, buffer, sizeof buffer, 0), 4);
        }
        closesocket(peer);
        EXPECT_EQ(RecvWhenReady(s, got), c.Want);
        // Whatever recv() said, a reset connection takes nothing more.
        if (c.Unread) {
            EXPECT_EQ(SocketSend(s, "x", 1, sent), WSAECONNRESET);
        }
        CloseSocket(s, true);
    }
}

TEST(Win32NetSocket, ConnectFailuresNameTheirCause) {
    Listener closed;
    closed.Close();
    const struct {
        const char* Case;
        TNetAddress Address;
        int Want;
    } cases[] = {
        {"nobody listens", closed.Address(), WSAECONNREFUSED},
        {"unknown host", {false, "quorvel-no-such-host.invalid", "4001"}, ComHostNotFoundError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        TSocket s = NoSocket;
        EXPECT_EQ(ConnectTcp(c.Address, 5000, s), c.Want);
        EXPECT_EQ(s, NoSocket);
    }
}

// The reader thread waits on its socket with no end; Close wakes it from another thread. A
// wake given before the wait began is not lost.
TEST(Win32NetSocket, AWakeEndsAWaitThatHasNoLimit) {
    Listener server;
    TSocket s = NoSocket;
    ASSERT_EQ(ConnectTcp(server.Address(), 5000, s), 0);
    SOCKET peer = server.Accept();
    TSocketWake wake;
    ASSERT_EQ(OpenWake(wake), 0);
    unsigned ready = 0;
    std::thread waker([&] { Wake(wake); });
    EXPECT_EQ(WaitSocket(s, SocketReadable, &wake, -1, ready), 0);
    waker.join();
    EXPECT_EQ(ready, SocketWoken);
    // Taken by that wait: a second one with a limit finds nothing.
    EXPECT_EQ(WaitSocket(s, SocketReadable, &wake, 100, ready), 0);
    EXPECT_EQ(ready, 0u);
    Wake(wake);
    EXPECT_EQ(WaitSocket(s, 0, &wake, -1, ready), 0);
    EXPECT_EQ(ready, SocketWoken);
    CloseWake(wake);
    closesocket(peer);
    CloseSocket(s, true);
}

} // namespace
