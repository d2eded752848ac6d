#include "updater/FrameEncoder.h"

#include "updater/BoardContract.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr FrameKeyBytes SomeFrameKey{0x00, 0x7F, 0xFE, 0x10, 0xA5, 0x33, 0xC8};

FirmwareBlock MakeBlock(uint32_t address, const Bytes& data) {
    FirmwareBlock block;
    block.AddressHigh = static_cast<uint8_t>(address >> 16);
    block.AddressMiddle = static_cast<uint8_t>(address >> 8);
    block.AddressLow = static_cast<uint8_t>(address);
    block.Count = static_cast<int32_t>(data.size());
    std::copy(data.begin(), data.end(), block.Data);
    return block;
}

Bytes FrameBytes(const BlockFrame& frame) {
    return Bytes(frame.Bytes.begin(), frame.Bytes.begin() + frame.Length);
}

Bytes Pattern64() {
    Bytes data(64);
    for (int i = 0; i < 64; ++i) {
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    return data;
}

TEST(FrameEncoderTest, ScrambleSwapsHalvesThenXors) {
    EXPECT_EQ(ScrambleByte(0x12, 0x01), 0x20);
    EXPECT_EQ(ScrambleByte(0xAB, 0x00), 0xBA);
    EXPECT_EQ(ScrambleByte(0xAB, 0xFF), 0x45);
}

// Frames worked out by hand for HeaderKey at its start value and SomeFrameKey.
TEST(FrameEncoderTest, EmptyBlockFrame) {
    const auto frame =
        BuildBlockFrame(MakeBlock(0x000800, {}), BoardContract::InitialHeaderKey, SomeFrameKey);
    EXPECT_EQ(FrameBytes(frame), (Bytes{0x3C, 0x44, 0x55, 0x10, 0x3A, 0xA2, 0x3C, 0x12, 0x98, 0x54,
                                        0x4A, 0x89, 0x2E, 0xC0, 0x3E}));
}

TEST(FrameEncoderTest, FullBlockFrame) {
    const auto frame = BuildBlockFrame(MakeBlock(0x01F3C0, Pattern64()),
                                       BoardContract::InitialHeaderKey, SomeFrameKey);
    EXPECT_EQ(
        FrameBytes(frame),
        (Bytes{0x3C, 0x44, 0x51, 0x00, 0x85, 0xAE, 0x3C, 0x12, 0x98, 0x54, 0x4A, 0x89, 0x2E, 0xB0,
               0x7C, 0xAB, 0xB7, 0x5C, 0x7F, 0x56, 0xE0, 0x4C, 0x7B, 0xC7, 0x8F, 0x4F, 0x06, 0x11,
               0x1C, 0x4B, 0x18, 0xFF, 0x9F, 0x36, 0x41, 0xEC, 0x1B, 0x28, 0x2F, 0xEF, 0xE7, 0x71,
               0xBC, 0xE8, 0x78, 0x1F, 0x3E, 0x97, 0xA1, 0x8C, 0xB8, 0x88, 0x4F, 0x0E, 0x47, 0xD1,
               0x5B, 0x88, 0xD8, 0xBE, 0x5E, 0x77, 0x02, 0x2B, 0x58, 0xE8, 0xEE, 0xAE, 0x27, 0x32,
               0xFB, 0x28, 0x39, 0xDE, 0xFE, 0xD8, 0x62, 0x72, 0x3E}));
}

TEST(FrameEncoderTest, DataIsScrambledWithTheFrameKeyCycle) {
    // 0xAB everywhere, and at position 9 the swapped key byte 2 (0xFE -> 0xEF).
    Bytes data(20, 0xAB);
    data[9] = 0xEF;
    const auto frame =
        BuildBlockFrame(MakeBlock(0x0800, data), BoardContract::InitialHeaderKey, SomeFrameKey);
    ASSERT_EQ(frame.Length, 35);
    for (int j = 0; j < 20; ++j) {
        const uint8_t expected = j == 9 ? 0x00 : 0xBA ^ SomeFrameKey[j % 7];
        EXPECT_EQ(frame.Bytes[13 + j], expected) << "data byte " << j;
    }
    unsigned sum = 0;
    for (int p = 1; p <= 32; ++p) {
        sum += frame.Bytes[p];
    }
    EXPECT_EQ(frame.Bytes[33], sum % 256);
}

// The board's view of a header: XOR with the key byte, then swap the halves back.
FrameKeyBytes FrameKeyInHeader(const Bytes& frame, const FrameKeyBytes& headerKey) {
    FrameKeyBytes key;
    for (int i = 0; i < 7; ++i) {
        key[i] = ScrambleByte(frame[6 + i] ^ headerKey[(4 + i) % 7], 0);
    }
    return key;
}

FrameKeyBytes KeyForSeed(std::time_t seconds) {
    std::srand(static_cast<unsigned>(seconds));
    return FrameKeyFromGenerator();
}

TEST(FrameEncoderTest, FrameKeysLieInZeroTo254) {
    std::set<int> seen;
    for (unsigned seed = 0; seed < 4000; ++seed) {
        std::srand(seed);
        for (const uint8_t k : FrameKeyFromGenerator()) {
            seen.insert(k);
        }
    }
    EXPECT_EQ(seen.size(), 255u);
    EXPECT_EQ(*seen.rbegin(), 254);
}

TEST(FrameEncoderTest, FramesInTheSameSecondShareTheirKey) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        const auto first = DrawFrameKey();
        const auto second = DrawFrameKey();
        if (std::time(nullptr) != before) {
            continue; // crossed a second boundary: try again
        }
        EXPECT_EQ(first, second);
        EXPECT_EQ(first, KeyForSeed(before));
        return;
    }
    FAIL() << "never stayed within one second";
}

// A port over the slave side of a real pseudo-terminal, in raw mode, as the updater's device.
class PtyPort {
public:
    PtyPort() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        tcgetattr(slave_, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);
    }
    ~PtyPort() {
        close(slave_);
        close(master_);
    }

    void ClearBuffer(bool input, bool output) {
        ASSERT_TRUE(input && output);
        ASSERT_EQ(tcflush(slave_, TCIOFLUSH), 0);
    }
    int Write(const void* buffer, int count) {
        ++Writes;
        return static_cast<int>(write(slave_, buffer, count));
    }

    int InputCount() const {
        int n = 0;
        ioctl(slave_, FIONREAD, &n);
        return n;
    }
    // What the board would receive, waiting up to 10 s for `count` bytes.
    Bytes BoardReads(std::size_t count) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                uint8_t buf[256];
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0) {
                    got.insert(got.end(), buf, buf + n);
                }
            }
        }
        return got;
    }
    bool BoardHasMore() {
        pollfd p{master_, POLLIN, 0};
        return poll(&p, 1, 200) > 0;
    }
    void BoardSends(const std::string& text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (InputCount() < static_cast<int>(text.size()) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    int Writes = 0;

private:
    int master_ = -1;
    int slave_ = -1;
};

class SendBlockFrameTest : public testing::Test {
protected:
    void SetUp() override { ResetHeaderKey(); }
    void TearDown() override { ResetHeaderKey(); }
};

TEST_F(SendBlockFrameTest, PurgesPendingInputThenWritesOneFrame) {
    PtyPort port;
    port.BoardSends("<KX27V4.4M1.0A1");
    ASSERT_EQ(port.InputCount(), 15);

    const FirmwareBlock block = MakeBlock(0x0840, Pattern64());
    const std::time_t before = std::time(nullptr);
    SendBlockFrame(port, block);
    const std::time_t after = std::time(nullptr);

    EXPECT_EQ(port.InputCount(), 0);
    EXPECT_EQ(port.Writes, 1);
    const Bytes sent = port.BoardReads(79);
    ASSERT_EQ(sent.size(), 79u);
    EXPECT_FALSE(port.BoardHasMore());

    const FrameKeyBytes key = FrameKeyInHeader(sent, BoardContract::InitialHeaderKey);
    EXPECT_TRUE(key == KeyForSeed(before) || key == KeyForSeed(after));
    EXPECT_EQ(sent, FrameBytes(BuildBlockFrame(block, BoardContract::InitialHeaderKey, key)));
    EXPECT_EQ(HeaderKey, key);
}

TEST_F(SendBlockFrameTest, EachHeaderIsScrambledWithThePreviousFramesKey) {
    PtyPort port;
    const FirmwareBlock first = MakeBlock(0x0800, {1, 2, 3});
    const FirmwareBlock second = MakeBlock(0x0803, {});
    // The board takes each frame in before the next goes out: the purge before a frame also
    // drops output still waiting to be sent.
    SendBlockFrame(port, first);
    const Bytes frame1 = port.BoardReads(18);
    SendBlockFrame(port, second);
    const Bytes frame2 = port.BoardReads(15);
    EXPECT_EQ(port.Writes, 2);
    ASSERT_EQ(frame1.size(), 18u);
    ASSERT_EQ(frame2.size(), 15u);

    const FrameKeyBytes key1 = FrameKeyInHeader(frame1, BoardContract::InitialHeaderKey);
    const FrameKeyBytes key2 = FrameKeyInHeader(frame2, key1);
    EXPECT_EQ(frame1, FrameBytes(BuildBlockFrame(first, BoardContract::InitialHeaderKey, key1)));
    EXPECT_EQ(frame2, FrameBytes(BuildBlockFrame(second, key1, key2)));
    EXPECT_EQ(HeaderKey, key2);

    // Count and address come back only with the right key.
    EXPECT_EQ(ScrambleByte(frame2[5] ^ key1[3], 0), 0x03);
    ResetHeaderKey();
    EXPECT_EQ(HeaderKey, BoardContract::InitialHeaderKey);
}

} // namespace
