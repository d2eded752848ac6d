// Network ports' reachability over Winsock: a connect to each server, all at once.
#include "serial/net/NetProbe.h"

#include "serial/net/NetAddress.h"

#include <thread>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

bool Reachable(const TNetAddress& address, int limitMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(address.Host.c_str(), address.Service.c_str(), &hints, &list) != 0)
        return false;
    bool ok = false;
    for (addrinfo* ai = list; ai && !ok; ai = ai->ai_next) {
        SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
            ok = true;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
            ok = select(0, nullptr, &writable, &failed, &limit) > 0 && FD_ISSET(s, &writable);
        }
        closesocket(s);
    }
    freeaddrinfo(list);
    return ok;
}

} // namespace

std::vector<bool> NetPortsReachable(const std::vector<std::string>& ports, int limitMs) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return std::vector<bool>(ports.size(), false);
    std::vector<char> reachable(ports.size(), 0);
    std::vector<std::thread> probes;
    for (size_t i = 0; i < ports.size(); ++i)
        probes.emplace_back([&, i] {
            TNetAddress address;
            reachable[i] = ParseNetAddress(ports[i], address) && Reachable(address, limitMs);
        });
    for (std::thread& t : probes)
        t.join();
    WSACleanup();
    return {reachable.begin(), reachable.end()};
}
