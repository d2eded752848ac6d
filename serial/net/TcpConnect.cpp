#include "serial/net/TcpConnect.h"

#include "serial/ComBackend.h"

#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

int ConnectOne(const addrinfo& ai, int limitMs, int& fd) {
    fd = socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0)
        return errno;
    int rc = 0;
    if (connect(fd, ai.ai_addr, ai.ai_addrlen) < 0) {
        rc = errno;
        if (rc == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            int n;
            do
                n = poll(&pfd, 1, limitMs);
            while (n < 0 && errno == EINTR);
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

int ConnectTcp(const TNetAddress& address, int limitMs, int& fd) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int gai = getaddrinfo(address.Host.c_str(), address.Service.c_str(), &hints, &list);
    if (gai == EAI_SYSTEM)
        return errno;
    if (gai != 0)
        return ComHostNotFoundError;
    int rc = ComHostNotFoundError;
    for (addrinfo* ai = list; ai; ai = ai->ai_next)
        if ((rc = ConnectOne(*ai, limitMs, fd)) == 0)
            break;
    freeaddrinfo(list);
    if (rc == 0)
        SetSocketOptions(fd);
    return rc;
}
