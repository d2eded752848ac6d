#include "serial/net/NetProbe.h"

#include "serial/net/NetAddress.h"
#include "serial/net/Socket.h"

#include <thread>

std::vector<bool> NetPortsReachable(const std::vector<std::string>& ports, int limitMs) {
    std::vector<char> reachable(ports.size(), 0);
    std::vector<std::thread> probes;
    for (size_t i = 0; i < ports.size(); ++i)
        probes.emplace_back([&, i] {
            TNetAddress address;
            TSocket s = NoSocket;
            if (ParseNetAddress(ports[i], address) && ConnectTcp(address, limitMs, s) == 0) {
                reachable[i] = 1;
                CloseSocket(s, false);
            }
        });
    for (std::thread& t : probes)
        t.join();
    return {reachable.begin(), reachable.end()};
}
