#include "tools/boardsim/Report.h"

#include "framework/Json.h"
#include "framework/Sha256.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace boardsim {

namespace {

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string JsonTime(const std::optional<std::chrono::system_clock::time_point>& when) {
    if (!when)
        return "null";
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when->time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

const char* ModeName(Board::Mode mode) {
    switch (mode) {
    case Board::Mode::NormalFirmware:
        return "normal firmware";
    case Board::Mode::BootMonitor:
        return "boot monitor";
    case Board::Mode::Finished:
        return "finished";
    case Board::Mode::Silent:
        return "silent";
    case Board::Mode::HungUp:
        return "hung up";
    }
    return "";
}

void Record(std::string& out, uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    uint8_t sum = static_cast<uint8_t>(n + (address >> 8) + (address & 0xFF) + type);
    out += ":" + Hex(static_cast<uint32_t>(n), 2) + Hex(address, 4) + Hex(type, 2);
    for (size_t i = 0; i < n; ++i) {
        out += Hex(data[i], 2);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    out += Hex(static_cast<uint8_t>(-sum), 2) + "\n";
}

} // namespace

std::vector<Segment> Segments(const std::map<uint32_t, uint8_t>& memory) {
    std::vector<Segment> segments;
    for (const auto& [address, value] : memory) {
        if (segments.empty() || segments.back().Address + segments.back().Data.size() != address)
            segments.push_back({address, {}});
        segments.back().Data.push_back(value);
    }
    return segments;
}

std::string ImageSha256(const std::vector<Segment>& segments) {
    Sha256 sha;
    for (const Segment& s : segments)
        sha.Update(s.Data.data(), s.Data.size());
    return sha.HexDigest();
}

std::string ReportJson(const Board& board) {
    const BoardStats& s = board.Stats();
    const std::vector<Segment> segments = Segments(board.Memory());
    std::string out = "{\n";
    auto field = [&out](const char* name, const std::string& value) {
        out += std::string("  \"") + name + "\": " + value + ",\n";
    };
    field("state", JsonQuoted(ModeName(board.CurrentMode())));
    field("firmware_version", JsonQuoted(board.FirmwareVersion()));
    field("serial_number", JsonQuoted(board.Config().SerialNumber));
    field("identifications", std::to_string(s.Identifications));
    field("status_polls", std::to_string(s.StatusPolls));
    field("frames", std::to_string(s.Frames));
    field("accepted", std::to_string(s.Accepted));
    field("naks", std::to_string(s.Naks));
    field("bad_checksums", std::to_string(s.BadChecksums));
    field("resends", std::to_string(s.Resends));
    field("dropped_answers", std::to_string(s.DroppedAnswers));
    field("wrong_speed_bytes", std::to_string(s.WrongSpeedBytes));
    field("completions", std::to_string(s.Completions));
    field("key_rule", JsonQuoted(board.Config().Keys == KeyRule::ResetOnStatus ? "A" : "B"));
    field("flipped_bytes", std::to_string(s.FlippedBytes));
    field("lost_frames", std::to_string(s.LostFrames));
    field("late_status_answers", std::to_string(s.LateStatusAnswers));
    field("stray_completions", std::to_string(s.StrayCompletions));
    field("first_frame_time", JsonTime(s.FirstFrame));
    field("last_frame_time", JsonTime(s.LastFrame));
    size_t bytes = 0;
    std::string blocks = "[";
    for (size_t i = 0; i < segments.size(); ++i) {
        bytes += segments[i].Data.size();
        blocks += std::string(i ? ",\n" : "\n") +
                  "    {\"address\": " + std::to_string(segments[i].Address) +
                  ", \"address_hex\": \"0x" + Hex(segments[i].Address, 6) +
                  "\", \"length\": " + std::to_string(segments[i].Data.size()) + "}";
    }
    blocks += segments.empty() ? "]" : "\n  ]";
    field("flashed_bytes", std::to_string(bytes));
    field("flashed_blocks", blocks);
    out += "  \"flashed_sha256\": \"" + ImageSha256(segments) + "\"\n}\n";
    return out;
}

std::string IntelHex(const std::vector<Segment>& segments) {
    std::string out;
    uint32_t upper = 0;
    for (const Segment& s : segments) {
        size_t i = 0;
        while (i < s.Data.size()) {
            const uint32_t address = s.Address + static_cast<uint32_t>(i);
            if ((address >> 16) != upper) {
                upper = address >> 16;
                const uint8_t ext[2] = {static_cast<uint8_t>(upper >> 8),
                                        static_cast<uint8_t>(upper)};
                Record(out, 0x04, 0, ext, 2);
            }
            // A record never crosses a 64 KiB boundary.
            size_t n = std::min<size_t>({16, s.Data.size() - i, 0x10000 - (address & 0xFFFF)});
            Record(out, 0x00, static_cast<uint16_t>(address), s.Data.data() + i, n);
            i += n;
        }
    }
    Record(out, 0x01, 0, nullptr, 0);
    return out;
}

} // namespace boardsim
