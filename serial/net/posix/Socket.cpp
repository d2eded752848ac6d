// The network port's socket on POSIX systems (Linux): errno for errors, an eventfd to wake.
#include "serial/net/Socket.h"

#include "serial/ComBackend.h"

#include <cerrno>
#include <cstdint>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

const int NetInvalidError = EINVAL;
const int NetNotRfc2217Error = EPROTONOSUPPORT;
const int NetClosedError = ECONNABORTED;

namespace {

void SetSocketOptions(int fd) {
    int on = 1, idle = 2, interval = 1, probes = 3;
    unsigned userTimeout = TcpUserTimeoutMs;
    // Every frame waits for its answer: nothing may sit in Nagle's queue.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

// poll() that carries on after a signal.
int Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    int n;
    do
        n = poll(fds, count, timeoutMs);
    while (n < 0 && errno == EINTR);
    return n;
}

int ConnectOne(const addrinfo& ai, int limitMs, int& fd) {
    fd = socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0)
        return errno;
    int rc = 0;
    if (connect(fd, ai.ai_addr, ai.ai_addrlen) < 0) {
        rc = errno;
        if (rc == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            const int n = Poll(&pfd, 1, limitMs);
            socklen_t len = sizeof rc;
            if (n == 0)
                rc = ETIMEDOUT;
            else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &rc, &len) < 0)
                rc = errno;
        }
    }
    if (rc != 0) {
        ::close(fd);
        fd = -1;
    }
    return rc;
}

} // namespace

int ConnectTcp(const TNetAddress& address, int limitMs, TSocket& s) {
    s = NoSocket;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int gai = getaddrinfo(address.Host.c_str(), address.Service.c_str(), &hints, &list);
    if (gai == EAI_SYSTEM)
        return errno;
    if (gai != 0)
        return ComHostNotFoundError;
    int rc = ComHostNotFoundError, fd = -1;
    for (addrinfo* ai = list; ai; ai = ai->ai_next)
        if ((rc = ConnectOne(*ai, limitMs, fd)) == 0)
            break;
    freeaddrinfo(list);
    if (rc == 0) {
        SetSocketOptions(fd);
        s = fd;
    }
    return rc;
}

void CloseSocket(TSocket s, bool dropUnsent) {
    const int fd = static_cast<int>(s);
    if (dropUnsent) {
        linger drop{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
    }
    ::close(fd);
}

int SocketSend(TSocket s, const void* bytes, size_t count, size_t& sent) {
    sent = 0;
    ssize_t n;
    do
        n = ::send(static_cast<int>(s), bytes, count, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n >= 0) {
        sent = static_cast<size_t>(n);
        return 0;
    }
    if (errno == EAGAIN)
        return 0;
    return errno == EPIPE ? ECONNRESET : errno;
}

int SocketRecv(TSocket s, void* buffer, size_t size, size_t& got) {
    got = 0;
    const ssize_t n = ::recv(static_cast<int>(s), buffer, size, 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return 0;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    // An orderly end is the server closing the port; an error names itself.
    return n == 0 ? NetClosedError : errno;
}

int SocketUnsent(TSocket s, int& count) {
    count = 0;
    // Not yet sent plus sent but not acknowledged.
    return ioctl(static_cast<int>(s), SIOCOUTQ, &count) < 0 ? errno : 0;
}

int SocketError(TSocket s) {
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &error, &len);
    return error ? error : ECONNRESET;
}

int OpenWake(TSocketWake& wake) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return errno;
    wake.Handle = fd;
    return 0;
}

void Wake(const TSocketWake& wake) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(static_cast<int>(wake.Handle), &one, sizeof one);
}

void CloseWake(TSocketWake& wake) {
    if (wake.Handle != NoSocket)
        ::close(static_cast<int>(wake.Handle));
    wake.Handle = NoSocket;
}

int WaitSocket(TSocket s, unsigned want, const TSocketWake* wake, int timeoutMs, unsigned& ready) {
    ready = 0;
    const short events = static_cast<short>((want & SocketReadable ? POLLIN : 0) |
                                            (want & SocketWritable ? POLLOUT : 0));
    pollfd pfd[2] = {{static_cast<int>(s), events, 0},
                     {wake ? static_cast<int>(wake->Handle) : -1, POLLIN, 0}};
    if (Poll(pfd, wake ? 2 : 1, timeoutMs) < 0)
        return errno;
    if (pfd[0].revents & POLLIN)
        ready |= SocketReadable;
    if (pfd[0].revents & POLLOUT)
        ready |= SocketWritable;
    if (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        ready |= SocketFailed;
    if (pfd[1].revents & POLLIN) {
        uint64_t value;
        [[maybe_unused]] ssize_t r = ::read(static_cast<int>(wake->Handle), &value, sizeof value);
        ready |= SocketWoken;
    }
    return 0;
}
