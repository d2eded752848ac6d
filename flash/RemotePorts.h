#pragma once
// Network ports in the flasher: names from ports.conf resolved in one place, their lines in
// --list, and the look at a server a loop waits for.
#include "serial/net/PortsConf.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The named ports of the ports.conf files; each skipped line is named on `warnings`.
std::vector<TNamedPort> LoadNamedPorts(std::FILE* warnings);
// Each name from the files becomes its URL; devices and URLs stay as given.
std::vector<std::string> ResolvePortNames(const std::vector<std::string>& ports,
                                          const std::vector<TNamedPort>& named);
// --list: one line (or JSON object, each after a comma when `comma`) per named port, with
// whether its server took a connection.
void PrintRemotePorts(std::FILE* out, bool json, bool comma, const std::vector<TNamedPort>& named);

// Whether a network port's server takes connections, looked at on a thread of its own: a
// connect to a host that is switched off waits out its whole limit, and a loop that waited for
// it on the main thread would hold up every other port's transfer meanwhile.
class ReachCheck {
public:
    explicit ReachCheck(std::string url) : url_(std::move(url)) {}
    // True when the last look, now finished, found the server; otherwise starts a new look
    // unless one is still running. The answer is taken: the next call looks again.
    bool Reachable();

private:
    enum State { Idle, Looking, Found, NotFound };
    std::string url_;
    // Shared with a look still running when the port's run ends (the look is not waited for).
    std::shared_ptr<std::atomic<int>> state_ = std::make_shared<std::atomic<int>>(Idle);
};
