#pragma once
// What the simulator tells at exit: the counters and the flashed image as JSON, and the
// flashed image as Intel HEX.
#include "tools/boardsim/Board.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace boardsim {

// A run of consecutive flashed addresses.
struct Segment {
    uint32_t Address = 0;
    std::vector<uint8_t> Data;
};

std::vector<Segment> Segments(const std::map<uint32_t, uint8_t>& memory);

// SHA-256 over the flashed bytes in address order, gaps left out (the segments' addresses
// are listed beside it).
std::string ImageSha256(const std::vector<Segment>& segments);

std::string ReportJson(const Board& board);

// Data records of up to 16 bytes, an extended linear address record wherever the upper 16
// address bits change, and the end-of-file record.
std::string IntelHex(const std::vector<Segment>& segments);

} // namespace boardsim
