// The network port's socket over Winsock: WSAGetLastError's numbers for errors, WSAPoll for the
// waits, and a datagram socket on the loopback sent to itself to wake a waiting thread (WSAPoll
// takes sockets only).

// SIO_TCP_INFO's declarations (Windows 10 1703); older systems refuse the call at run time.
#define NTDDI_VERSION 0x0A000003
#include "serial/net/Socket.h"

#include "serial/ComBackend.h"

#include <algorithm>
#include <climits>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>

const int NetInvalidError = WSAEINVAL;
const int NetNotRfc2217Error = WSAEPROTONOSUPPORT;
const int NetClosedError = WSAECONNABORTED;

namespace {

// Winsock's TCP_MAXRT (seconds of retransmission before the connection ends), which the
// cross compiler's headers lack: the nearest to Linux's TCP_USER_TIMEOUT.
constexpr int tcpMaxRt = 5;

// Started once for the whole program and never cleaned up: ports live until it ends.
int StartWinsock() {
    static const int rc = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return rc;
}

SOCKET Handle(TSocket s) {
    return static_cast<SOCKET>(s);
}

void SetSocketOptions(SOCKET s) {
    BOOL on = TRUE;
    // Every frame waits for its answer: nothing may sit in Nagle's queue.
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Windows sends its own fixed number of probes (10), one second apart here.
    tcp_keepalive keepAlive{1, 2000, 1000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr,
             nullptr);
    DWORD maxRt = (TcpUserTimeoutMs + 999) / 1000;
    setsockopt(s, IPPROTO_TCP, tcpMaxRt, reinterpret_cast<const char*>(&maxRt), sizeof maxRt);
}

// A connect that is under way: writable once it is made, "failed" (select's exceptions) when
// it is refused.
int AwaitConnect(SOCKET s, int limitMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    const int n = select(0, nullptr, &writable, &failed, &limit);
    if (n == 0)
        return WSAETIMEDOUT;
    if (n < 0)
        return WSAGetLastError();
    return FD_ISSET(s, &failed) ? SocketError(static_cast<TSocket>(s)) : 0;
}

int ConnectOne(const addrinfo& ai, int limitMs, SOCKET& s) {
    s = socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
    if (s == INVALID_SOCKET)
        return WSAGetLastError();
    u_long nonBlocking = 1;
    int rc = ioctlsocket(s, FIONBIO, &nonBlocking) == 0 ? 0 : WSAGetLastError();
    if (rc == 0 && connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) != 0) {
        rc = WSAGetLastError();
        if (rc == WSAEWOULDBLOCK)
            rc = AwaitConnect(s, limitMs);
    }
    if (rc != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    return rc;
}

} // namespace

int ConnectTcp(const TNetAddress& address, int limitMs, TSocket& s) {
    s = NoSocket;
    if (int rc = StartWinsock())
        return rc;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(address.Host.c_str(), address.Service.c_str(), &hints, &list) != 0)
        return ComHostNotFoundError;
    int rc = ComHostNotFoundError;
    SOCKET one = INVALID_SOCKET;
    for (addrinfo* ai = list; ai; ai = ai->ai_next)
        if ((rc = ConnectOne(*ai, limitMs, one)) == 0)
            break;
    freeaddrinfo(list);
    if (rc == 0) {
        SetSocketOptions(one);
        s = static_cast<TSocket>(one);
    }
    return rc;
}

void CloseSocket(TSocket s, bool dropUnsent) {
    if (dropUnsent) {
        linger drop{1, 0};
        setsockopt(Handle(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&drop),
                   sizeof drop);
    }
    closesocket(Handle(s));
}

int SocketSend(TSocket s, const void* bytes, size_t count, size_t& sent) {
    sent = 0;
    const int n = ::send(Handle(s), static_cast<const char*>(bytes),
                         static_cast<int>(std::min<size_t>(count, 1 << 30)), 0);
    if (n >= 0) {
        sent = static_cast<size_t>(n);
        return 0;
    }
    const int rc = WSAGetLastError();
    return rc == WSAEWOULDBLOCK ? 0 : rc;
}

int SocketRecv(TSocket s, void* buffer, size_t size, size_t& got) {
    got = 0;
    const int n = ::recv(Handle(s), static_cast<char*>(buffer),
                         static_cast<int>(std::min<size_t>(size, 1 << 30)), 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return 0;
    }
    if (n == 0)
        return NetClosedError;
    const int rc = WSAGetLastError();
    return rc == WSAEWOULDBLOCK ? 0 : rc;
}

int SocketUnsent(TSocket s, int& count) {
    count = 0;
    // Winsock tells nothing of the bytes still in its send buffer; the bytes sent and not yet
    // acknowledged are the nearest it knows (Windows 10 1703 on). Where it does not know (older
    // systems, Wine), the queue reads as empty once send() took everything.
    DWORD version = 0, returned = 0;
    TCP_INFO_v0 info{};
    if (WSAIoctl(Handle(s), SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &returned,
                 nullptr, nullptr) == 0)
        count = static_cast<int>(std::min<ULONG>(info.BytesInFlight, INT_MAX));
    return 0;
}

int SocketError(TSocket s) {
    int error = 0;
    int len = sizeof error;
    getsockopt(Handle(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
    return error ? error : WSAECONNRESET;
}

int OpenWake(TSocketWake& wake) {
    if (int rc = StartWinsock())
        return rc;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return WSAGetLastError();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof address;
    u_long nonBlocking = 1;
    // Bound to a free port of the loopback and connected to itself: what it sends, it reads.
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        const int rc = WSAGetLastError();
        closesocket(s);
        return rc;
    }
    wake.Handle = static_cast<TSocket>(s);
    return 0;
}

void Wake(const TSocketWake& wake) {
    const char one = 1;
    // A full buffer already holds a wake.
    ::send(Handle(wake.Handle), &one, 1, 0);
}

void CloseWake(TSocketWake& wake) {
    if (wake.Handle != NoSocket)
        closesocket(Handle(wake.Handle));
    wake.Handle = NoSocket;
}

namespace {

void DrainWake(const TSocketWake& wake) {
    char bytes[64];
    while (::recv(Handle(wake.Handle), bytes, sizeof bytes, 0) > 0) {
    }
}

} // namespace

int WaitSocket(TSocket s, unsigned want, const TSocketWake* wake, int timeoutMs, unsigned& ready) {
    ready = 0;
    WSAPOLLFD fds[2] = {};
    ULONG count = 0;
    // WSAPoll refuses a socket asked for nothing: one that may not read now is left out, and its
    // failure is seen once it may read again.
    const SHORT events = static_cast<SHORT>((want & SocketReadable ? POLLRDNORM : 0) |
                                            (want & SocketWritable ? POLLWRNORM : 0));
    WSAPOLLFD* socketFd = nullptr;
    if (events) {
        socketFd = &fds[count++];
        *socketFd = {Handle(s), events, 0};
    }
    WSAPOLLFD* wakeFd = nullptr;
    if (wake) {
        wakeFd = &fds[count++];
        *wakeFd = {Handle(wake->Handle), POLLRDNORM, 0};
    }
    if (WSAPoll(fds, count, timeoutMs) == SOCKET_ERROR)
        return WSAGetLastError();
    if (socketFd) {
        const SHORT r = socketFd->revents;
        ready |= (r & POLLRDNORM ? SocketReadable : 0) | (r & POLLWRNORM ? SocketWritable : 0) |
                 (r & (POLLHUP | POLLERR | POLLNVAL) ? SocketFailed : 0);
    }
    if (wakeFd && (wakeFd->revents & POLLRDNORM)) {
        DrainWake(*wake);
        ready |= SocketWoken;
    }
    return 0;
}
