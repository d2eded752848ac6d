#include "serial/net/NetProbe.h"

#include "serial/net/NetAddress.h"
#include "serial/net/TcpConnect.h"

#include <thread>

#include <unistd.h>

std::vector<bool> NetPortsReachable(const std::vector<std::string>& ports, int limitMs) {
    std::vector<char> reachable(ports.size(), 0);
    std::vector<std::thread> probes;
    for (size_t i = 0; i < ports.size(); ++i)
        probes.emplace_back([&, i] {
            TNetAddress address;
            int fd = -1;
            if (ParseNetAddress(ports[i], address) && ConnectTcp(address, limitMs, fd) == 0) {
                reachable[i] = 1;
                ::close(fd);
            }
        });
    for (std::thread& t : probes)
        t.join();
    return {reachable.begin(), reachable.end()};
}
