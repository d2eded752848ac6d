#pragma once
// The last line of a text file, "" when it has none or cannot be read: the newest record of an
// append-only log such as the service log.
#include <fstream>
#include <string>

inline std::string LastLine(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}
