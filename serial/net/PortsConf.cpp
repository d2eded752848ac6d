#include "serial/net/PortsConf.h"

#include "serial/net/NetAddress.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool Named(const std::vector<TNamedPort>& ports, const std::string& name) {
    return std::any_of(ports.begin(), ports.end(),
                       [&](const TNamedPort& p) { return p.Name == name; });
}

} // namespace

std::vector<TNamedPort> ReadPortsConf(const std::string& path,
                                      std::vector<TPortsConfProblem>& problems) {
    std::vector<TNamedPort> ports;
    std::ifstream in(path);
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        const std::string line = Trimmed(raw);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        TNamedPort port;
        if (equals != std::string::npos) {
            port.Name = Trimmed(line.substr(0, equals));
            port.Url = Trimmed(line.substr(equals + 1));
        }
        TNetAddress address;
        if (port.Name.empty() || !ParseNetAddress(port.Url, address) || Named(ports, port.Name)) {
            problems.push_back({path, number, line});
            continue;
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

std::vector<std::string> PortsConfPaths() {
    std::vector<std::string> paths;
#ifdef _WIN32
    if (const char* appData = std::getenv("APPDATA"))
        paths.push_back(std::string(appData) + "\\Quorvel\\ports.conf");
#else
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        paths.push_back(std::string(config) + "/quorvel/ports.conf");
    else if (const char* home = std::getenv("HOME"); home && *home)
        paths.push_back(std::string(home) + "/.config/quorvel/ports.conf");
    paths.push_back("/etc/quorvel/ports.conf");
#endif
    return paths;
}

std::vector<TNamedPort> NamedNetPorts(std::vector<TPortsConfProblem>& problems) {
    std::vector<TNamedPort> ports;
    for (const std::string& path : PortsConfPaths())
        for (TNamedPort& port : ReadPortsConf(path, problems))
            if (!Named(ports, port.Name))
                ports.push_back(std::move(port));
    return ports;
}

std::string ResolvePortName(const std::string& port, const std::vector<TNamedPort>& named) {
    for (const TNamedPort& p : named)
        if (p.Name == port)
            return p.Url;
    return port;
}
