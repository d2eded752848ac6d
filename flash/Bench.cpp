#include "flash/Bench.h"

#include "flash/Options.h"
#include "flash/Printable.h"
#include "flash/SystemError.h"
#include "flash/Texts.h"

#include <cerrno>
#include <fstream>

namespace {

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

bool ReadBenchFile(const std::string& path, std::vector<BenchSocket>& sockets, std::string& error) {
    sockets.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = TrFormat("cannot read the bench file %s: %s",
                         {Printable(path), SystemErrorWords(errno)});
        return false;
    }
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string text = Trimmed(line);
        if (text.empty() || text[0] == '#')
            continue;
        const size_t equals = text.find('=');
        BenchSocket socket{Trimmed(text.substr(0, equals)), equals == std::string::npos
                                                                ? std::string()
                                                                : Trimmed(text.substr(equals + 1))};
        if (socket.Name.empty() || socket.Port.empty()) {
            error = TrFormat("%s, line %d: not \"name = port\"", {Printable(path), number});
            return false;
        }
        for (const BenchSocket& earlier : sockets) {
            if (earlier.Name == socket.Name ||
                SameDevice(earlier.Port) == SameDevice(socket.Port)) {
                error = TrFormat("%s, line %d: socket %s or its port given twice",
                                 {Printable(path), number, Printable(socket.Name)});
                return false;
            }
        }
        sockets.push_back(socket);
    }
    return true;
}

std::string SocketName(const std::vector<BenchSocket>& sockets, const std::string& port) {
    const std::string device = SameDevice(port);
    for (const BenchSocket& socket : sockets)
        if (SameDevice(socket.Port) == device)
            return socket.Name;
    return {};
}
