#pragma once
// A bench file names a bench's sockets: "soquete 3 = /dev/serial/by-path/...", one a line, so
// the lines, events and records say which socket a board sat in.
#include <string>
#include <vector>

struct BenchSocket {
    std::string Name, Port;
};

// Reads `path`: "name = port" lines; blank lines and lines starting with '#' are skipped.
// False with `error` set (naming the line) for any other line, or a name or port given twice.
bool ReadBenchFile(const std::string& path, std::vector<BenchSocket>& sockets, std::string& error);

// The name of the socket whose port is `port` (the same device, however named); empty when
// the bench file has none.
std::string SocketName(const std::vector<BenchSocket>& sockets, const std::string& port);
