#pragma once
// Network ports by name: plain text files of "name = url" lines, "# comments" and blank lines.
// The user's file comes first (~/.config/quorvel/ports.conf, %APPDATA%\Quorvel\ports.conf on
// Windows), then the machine's (/etc/quorvel/ports.conf); a name in both is the user's.
#include <string>
#include <vector>

struct TNamedPort {
    std::string Name; // "Bancada 3"
    std::string Url;  // "rfc2217://10.0.4.23:4001"
};

// A line that was skipped: where, and the line as it stands.
struct TPortsConfProblem {
    std::string File;
    int Line = 0;
    std::string Text;
};

// The ports of one file, in its order; a file that is not there holds none. Bad lines (no "=",
// no name, not a network port URL, a name already given) are skipped and reported.
std::vector<TNamedPort> ReadPortsConf(const std::string& path,
                                      std::vector<TPortsConfProblem>& problems);
// The files looked at, the user's first.
std::vector<std::string> PortsConfPaths();
// Every named port of those files.
std::vector<TNamedPort> NamedNetPorts(std::vector<TPortsConfProblem>& problems);
// The URL of a port named in the files, or `port` as it stands (a device or a URL).
std::string ResolvePortName(const std::string& port, const std::vector<TNamedPort>& named);
