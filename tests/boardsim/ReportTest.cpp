#include "tools/boardsim/Report.h"
#include "TestFrames.h"
#include "framework/Sha256.h"

#include <gtest/gtest.h>

using namespace boardsim;

namespace {

std::string Sha(const std::string& text) {
    Sha256 sha;
    sha.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return sha.HexDigest();
}

// Reads Intel HEX back, checking every record's checksum.
std::map<uint32_t, uint8_t> ParseHex(const std::string& hex) {
    std::map<uint32_t, uint8_t> memory;
    uint32_t upper = 0;
    size_t pos = 0;
    bool eof = false;
    while ((pos = hex.find(':', pos)) != std::string::npos) {
        auto byte = [&](size_t i) {
            return static_cast<uint8_t>(std::stoi(hex.substr(pos + 1 + 2 * i, 2), nullptr, 16));
        };
        const uint8_t n = byte(0);
        uint8_t sum = 0;
        for (size_t i = 0; i < 5u + n; ++i)
            sum = static_cast<uint8_t>(sum + byte(i));
        EXPECT_EQ(sum, 0) << "record at " << pos;
        const uint16_t address = static_cast<uint16_t>(byte(1) << 8 | byte(2));
        switch (byte(3)) {
        case 0:
            for (size_t i = 0; i < n; ++i)
                memory[(upper << 16) + address + i] = byte(4 + i);
            break;
        case 1:
            eof = true;
            break;
        case 4:
            upper = static_cast<uint32_t>(byte(4) << 8 | byte(5));
            break;
        default:
            ADD_FAILURE() << "unexpected record type";
        }
        ++pos;
    }
    EXPECT_TRUE(eof);
    return memory;
}

} // namespace

TEST(Report, SegmentsJoinConsecutiveAddressesOnly) {
    std::map<uint32_t, uint8_t> memory{{0x800, 1}, {0x801, 2}, {0x803, 3}, {0x10000, 4}};
    auto segments = Segments(memory);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].Address, 0x800u);
    EXPECT_EQ(segments[0].Data, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(segments[1].Address, 0x803u);
    EXPECT_EQ(segments[2].Address, 0x10000u);
    EXPECT_EQ(ImageSha256(segments), Sha("\x01\x02\x03\x04"));
}

TEST(Report, IntelHexRecordsAndRoundTripAcross64KiB) {
    std::map<uint32_t, uint8_t> small{{0x800, 1}, {0x801, 2}};
    EXPECT_EQ(IntelHex(Segments(small)), ":020800000102F3\n:00000001FF\n");

    std::map<uint32_t, uint8_t> memory;
    for (uint32_t a = 0xFFF0; a < 0x10030; ++a)
        memory[a] = static_cast<uint8_t>(a * 7);
    for (uint32_t a = 0x20005; a < 0x20009; ++a)
        memory[a] = static_cast<uint8_t>(a);
    const std::string hex = IntelHex(Segments(memory));
    EXPECT_NE(hex.find(":020000040001F9\n"), std::string::npos);
    EXPECT_EQ(ParseHex(hex), memory);
}

TEST(Report, JsonCarriesCountersAndImageFingerprint) {
    BoardConfig c;
    c.StartInMonitor = true;
    c.SerialNumber = "A\"\\B\x01Z";
    Board b{c};
    testframes::Sender s;
    for (auto frame : {s.Next(0x800, {1, 2}), s.Next(0x802, {3})}) {
        b.Receive(frame.data(), frame.size(), BoardContract::BootMonitorBaud);
    }
    const std::string json = ReportJson(b);
    for (const char* field :
         {"\"frames\": 2,", "\"accepted\": 2,", "\"naks\": 0,", "\"bad_checksums\": 0,",
          "\"status_polls\": 0,", "\"wrong_speed_bytes\": 0,", "\"resends\": 0,",
          "\"flashed_bytes\": 3,", "\"key_rule\": \"A\",", "\"lost_frames\": 0,",
          "\"address_hex\": \"0x000800\", \"length\": 3",
          "\"serial_number\": \"A\\\"\\\\B\\u0001Z\"", "\"state\": \"boot monitor\""})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
    EXPECT_NE(json.find("\"flashed_sha256\": \"" + Sha("\x01\x02\x03") + "\""), std::string::npos);
    EXPECT_NE(json.find("\"first_frame_time\": \"20"), std::string::npos);
}
