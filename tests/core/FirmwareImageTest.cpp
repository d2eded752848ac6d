#include "updater/FirmwareImage.h"

#include "updater/ImageKey.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// One Intel HEX record line with a correct checksum.
std::string Rec(int type, int address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address), static_cast<uint8_t>(type)};
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char hex[3];
    for (uint8_t b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", (0x100 - sum % 0x100) % 0x100);
    return line + hex + "\r\n";
}

std::vector<uint8_t> Bytes(int n, int first) {
    std::vector<uint8_t> v(n);
    for (int i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

const std::string Eof = ":00000001FF\r\n";

struct Block {
    uint32_t Address;
    std::vector<uint8_t> Data;
    bool operator==(const Block&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Block& b) {
    return os << "{0x" << std::hex << b.Address << std::dec << ", " << b.Data.size() << " bytes}";
}

// Loads from an exactly sized heap buffer, so a read past its end is a real out-of-bounds read.
std::vector<Block> Load(const std::string& text) {
    const std::vector<uint8_t> buffer(text.begin(), text.end());
    LoadIntelHex(buffer);
    std::vector<Block> blocks;
    const FirmwareBlock* last = nullptr;
    for (const FirmwareBlock* b = FirstBlock; b != nullptr; b = b->Next) {
        blocks.push_back({b->Address(), std::vector<uint8_t>(b->Data, b->Data + b->Count)});
        last = b;
    }
    EXPECT_EQ(static_cast<int32_t>(blocks.size()), BlockCount);
    EXPECT_EQ(last, CurrentBlock);
    return blocks;
}

class LoaderTest : public testing::Test {
protected:
    void TearDown() override { ResetFirmwareBlocks(); }
};

TEST_F(LoaderTest, RecordsBelowTheApplicationAreaAreSkipped) {
    const auto blocks =
        Load(Rec(4, 0, {0, 0}) + Rec(0, 0x0000, Bytes(16, 0)) + Rec(0, 0x07F0, Bytes(16, 0x10)) +
             Rec(0, 0x0800, Bytes(4, 0x20)) + Eof);
    EXPECT_EQ(blocks, (std::vector<Block>{{0x800, Bytes(4, 0x20)}}));
}

TEST_F(LoaderTest, ContiguousRecordsShareABlockAndAnyBreakStartsANewOne) {
    const auto blocks = Load(Rec(0, 0x0800, Bytes(16, 0)) + Rec(0, 0x0810, Bytes(16, 16)) +
                             Rec(0, 0x0821, Bytes(8, 50)) + // one byte further on
                             Rec(0, 0x0800, Bytes(2, 90)) + // an address seen before
                             Eof);
    EXPECT_EQ(blocks, (std::vector<Block>{
                          {0x800, Bytes(32, 0)}, {0x821, Bytes(8, 50)}, {0x800, Bytes(2, 90)}}));
}

TEST_F(LoaderTest, BlocksAreCutAtSixtyFourBytes) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        text += Rec(0, 0x0800 + 16 * i, Bytes(16, 16 * i));
    }
    // Exactly 64: one full block and no empty one after it.
    EXPECT_EQ(Load(text + Eof), (std::vector<Block>{{0x800, Bytes(64, 0)}}));
    // The 65th byte opens a block at its own address.
    EXPECT_EQ(Load(text + Rec(0, 0x0840, Bytes(3, 64)) + Eof),
              (std::vector<Block>{{0x800, Bytes(64, 0)}, {0x840, Bytes(3, 64)}}));
}

TEST_F(LoaderTest, LongestRecordIsStoredWholeAcrossBlocks) {
    const auto blocks = Load(Rec(0, 0x1000, Bytes(255, 0)) + Eof);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0], (Block{0x1000, Bytes(64, 0)}));
    EXPECT_EQ(blocks[1], (Block{0x1040, Bytes(64, 64)}));
    EXPECT_EQ(blocks[2], (Block{0x1080, Bytes(64, 128)}));
    EXPECT_EQ(blocks[3], (Block{0x10C0, Bytes(63, 192)}));
}

TEST_F(LoaderTest, EmptyRecordThatBreaksTheRunLeavesAnEmptyBlock) {
    EXPECT_EQ(
        Load(Rec(0, 0x0800, Bytes(16, 0)) + Rec(0, 0x0900, {}) + Rec(0, 0x0A00, Bytes(2, 7)) + Eof),
        (std::vector<Block>{{0x800, Bytes(16, 0)}, {0x900, {}}, {0xA00, Bytes(2, 7)}}));
    // A contiguous record then fills that block.
    EXPECT_EQ(Load(Rec(0, 0x0900, {}) + Rec(0, 0x0900, Bytes(5, 1)) + Eof),
              (std::vector<Block>{{0x900, Bytes(5, 1)}}));
}

TEST_F(LoaderTest, ExtendedAddressAboveTheFirstSixtyFourKilobytesSkipsData) {
    const auto blocks = Load(Rec(0, 0x0800, Bytes(2, 0)) + Rec(4, 0, {0x00, 0x01}) +
                             Rec(0, 0x0802, Bytes(2, 2)) + Rec(0, 0x2000, Bytes(2, 4)) +
                             // Only the last two digits count: "0100" means segment 0.
                             Rec(4, 0, {0x01, 0x00}) + Rec(0, 0x0802, Bytes(2, 6)) + Eof);
    // The run went on at 0x802 across the skipped records.
    EXPECT_EQ(blocks, (std::vector<Block>{{0x800, {0, 1, 6, 7}}}));
}

TEST_F(LoaderTest, RunningPastSixtyFourKilobytesSkipsLaterLowRecords) {
    // 0xFFF0 + 32 leaves the running address at 0x10010, so the next record counts as above 0xFFFF.
    const auto blocks = Load(Rec(0, 0xFFF0, Bytes(32, 0)) + Rec(0, 0x0900, Bytes(2, 0)) + Eof);
    EXPECT_EQ(blocks, (std::vector<Block>{{0xFFF0, Bytes(32, 0)}}));
}

TEST_F(LoaderTest, NothingAfterEndOfFileIsReadAndChecksumsAreNot) {
    EXPECT_EQ(Load(Rec(0, 0x0800, Bytes(2, 0)) + Eof + Rec(0, 0x0900, Bytes(2, 0))),
              (std::vector<Block>{{0x800, Bytes(2, 0)}}));
    // Without an end-of-file record the text's end ends loading.
    EXPECT_EQ(Load(Rec(0, 0x0800, Bytes(2, 0))), (std::vector<Block>{{0x800, Bytes(2, 0)}}));
    // Wrong checksum, lower-case digits and unknown record types are all fine.
    EXPECT_EQ(Load(":0208000012abFF\r\n" + Rec(5, 0, {1, 2, 3, 4}) + Eof),
              (std::vector<Block>{{0x800, {0x12, 0xAB}}}));
}

TEST_F(LoaderTest, NoApplicationDataGivesAnEmptyList) {
    EXPECT_TRUE(Load(Rec(4, 0, {0, 0}) + Rec(0, 0x0100, Bytes(16, 0)) + Eof).empty());
    EXPECT_EQ(FirstBlock, nullptr);
    EXPECT_EQ(BlockCount, 0);
    EXPECT_TRUE(Load("").empty());
    EXPECT_TRUE(Load("no records here\r\n").empty());
}

TEST_F(LoaderTest, LoadingAgainReplacesTheEarlierList) {
    Load(Rec(0, 0x0800, Bytes(64, 0)) + Rec(0, 0x0900, Bytes(64, 0)) + Eof);
    EXPECT_EQ(Load(Rec(0, 0x3000, Bytes(1, 9)) + Eof), (std::vector<Block>{{0x3000, {9}}}));
}

// A record cut off by the end of the text is ignored whole; nothing outside the text is read.
TEST_F(LoaderTest, CutOffRecordsAreIgnored) {
    const std::string good = Rec(0, 0x0800, Bytes(16, 0));
    const std::string next = Rec(0, 0x0810, Bytes(16, 16));
    // The data ends 41 characters in; the checksum after it is never read.
    for (std::size_t cut = 0; cut < next.size(); ++cut) {
        SCOPED_TRACE(cut);
        const auto blocks = Load(good + next.substr(0, cut));
        EXPECT_EQ(blocks, (std::vector<Block>{{0x800, Bytes(cut < 41 ? 16 : 32, 0)}}));
    }
    // A cut-off extended address record leaves the running address alone.
    EXPECT_EQ(Load(good + ":02000004000"), (std::vector<Block>{{0x800, Bytes(16, 0)}}));
}

// A record with a non-hex character where a digit is read is ignored whole: no block, no
// bytes, running address unchanged. Scanning goes on right after its ":".
TEST_F(LoaderTest, RecordsWithNonHexDigitsAreIgnored) {
    const std::string a = Rec(0, 0x0800, Bytes(16, 0));
    const std::string c = Rec(0, 0x0820, Bytes(16, 32));
    std::string bad = Rec(0, 0x0810, Bytes(16, 16));
    bad[20] = 'G';
    EXPECT_EQ(Load(a + bad + c + Eof),
              (std::vector<Block>{{0x800, Bytes(16, 0)}, {0x820, Bytes(16, 32)}}));

    // A byte count larger than the line: the read runs into the line end and the next ":".
    auto joined = Bytes(16, 0);
    joined.push_back(1);
    EXPECT_EQ(Load(a + ":10081000AABB\r\n" + Rec(0, 0x0810, {1}) + Eof),
              (std::vector<Block>{{0x800, joined}}));

    // Bad digits in the address, the count or an extended address are ignored the same way;
    // characters that are never read do not matter.
    EXPECT_TRUE(Load(":0208Z000AABB00\r\n" + Eof).empty());
    EXPECT_TRUE(Load(":Z20800000102FF\r\n" + Eof).empty());
    EXPECT_EQ(Load(":020000040X00FF\r\n" + Rec(0, 0x0800, {5}) + Eof),
              (std::vector<Block>{{0x800, {5}}}));
    EXPECT_EQ(Load(":0200000400X1FF\r\n" + Rec(0, 0x0800, {5}) + Eof),
              (std::vector<Block>{{0x800, {5}}}));
}

TEST(ImageTest, UnscramblingUsesTheLowByteOfEachKeyConstant) {
    const uint32_t key[5] = {0xFFFFFF12, 0x0000AB00, 0x12345601, 0x80000080, 0xDEADBEEF};
    // t = image XOR low byte, then the halves swap. Index 5 wraps to key 0.
    const std::vector<uint8_t> image{0x00, 0x01, 0x00, 0x81, 0xEF, 0x13};
    EXPECT_EQ(UnscrambleImage(image, key),
              (std::vector<uint8_t>{0x21, 0x10, 0x10, 0x10, 0x00, 0x10}));
    EXPECT_TRUE(UnscrambleImage({}, key).empty());
    for (const uint32_t k : ImageKey) {
        EXPECT_NE(k >> 8, 0u) << "high bytes of the key must not be blank";
    }
}

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint8_t HexByte(const std::vector<uint8_t>& t, std::size_t at) {
    return static_cast<uint8_t>(
        std::stoi(std::string(t.begin() + at, t.begin() + at + 2), nullptr, 16));
}

TEST(ImageTest, BuiltInImageIsTheScrambledSourceText) {
    const auto source = ReadFile(QUORVEL_FIRMWARE_HEX);
    ASSERT_EQ(source.size(), 77320u);
    ASSERT_EQ(FirmwareImageLength, source.size());
    const std::vector<uint8_t> stored(FirmwareImage, FirmwareImage + FirmwareImageLength);
    EXPECT_NE(stored, source);
    EXPECT_EQ(UnscrambleImage(stored, ImageKey), source);
}

// The source text is valid Intel HEX: CRLF lines, correct checksums, one end record last.
// Its data at 0x800 and above, in order, is what the blocks must hold.
std::vector<std::pair<uint32_t, uint8_t>> ApplicationBytes(const std::vector<uint8_t>& t) {
    std::vector<std::pair<uint32_t, uint8_t>> bytes;
    std::size_t p = 0;
    bool ended = false;
    while (p < t.size()) {
        EXPECT_FALSE(ended) << "text after the end record";
        EXPECT_EQ(t[p], ':');
        const int n = HexByte(t, p + 1);
        const uint32_t address = HexByte(t, p + 3) << 8 | HexByte(t, p + 5);
        const int type = HexByte(t, p + 7);
        unsigned sum = 0;
        for (int i = 0; i < n + 5; ++i) {
            sum += HexByte(t, p + 1 + 2 * i);
        }
        EXPECT_EQ(sum % 256, 0u) << "checksum at offset " << p;
        if (type == 0 && address >= 0x800) {
            for (int i = 0; i < n; ++i) {
                bytes.emplace_back(address + i, HexByte(t, p + 9 + 2 * i));
            }
        }
        ended = type == 1;
        p += 11 + 2 * n;
        EXPECT_EQ(t[p], '\r');
        EXPECT_EQ(t[p + 1], '\n');
        p += 2;
    }
    EXPECT_TRUE(ended);
    return bytes;
}

TEST(ImageTest, BuiltInImageLoadsIntoItsBlocks) {
    const auto expected = ApplicationBytes(ReadFile(QUORVEL_FIRMWARE_HEX));
    LoadFirmwareImage();
    ASSERT_EQ(BlockCount, 430);
    ASSERT_NE(FirstBlock, nullptr);
    EXPECT_EQ(FirstBlock->Address(), 0x800u);

    // Runs start at 0x800, 0x2200, 0x3600 and 0x5A10; two of them end part-way into a block.
    std::vector<std::pair<uint32_t, int>> shortBlocks;
    std::size_t i = 0;
    int n = 0;
    for (const FirmwareBlock* b = FirstBlock; b != nullptr; b = b->Next, ++n) {
        ASSERT_LT(i, expected.size());
        EXPECT_EQ(b->Address(), expected[i].first);
        for (int k = 0; k < b->Count; ++k, ++i) {
            ASSERT_EQ(b->Data[k], expected[i].second) << "block " << n << " byte " << k;
        }
        if (b->Count != 64) {
            shortBlocks.emplace_back(b->Address(), b->Count);
        }
        if (b->Next == nullptr) {
            EXPECT_EQ(b, CurrentBlock);
        }
    }
    EXPECT_EQ(i, expected.size());
    EXPECT_EQ(shortBlocks, (std::vector<std::pair<uint32_t, int>>{{0x34C0, 16}, {0x7A10, 6}}));
    ResetFirmwareBlocks();
}

} // namespace
