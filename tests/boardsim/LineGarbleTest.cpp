#include "tools/boardsim/LineGarble.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

using boardsim::ReceiveAtSpeed;
using testframes::Bytes;

TEST(LineGarble, SameSpeedPassesEveryByte) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(ReceiveAtSpeed(all, 19200, 19200), all);
}

TEST(LineGarble, CommandsAtTheWrongSpeedDoNotSurvive) {
    for (const char* command : {"(%B67)", "<S@>", "<F@>", "<KX27V4.4M1.0A10342>", "<DD>"}) {
        auto sent = Bytes(command);
        auto slow = ReceiveAtSpeed(sent, 9600, 19200);
        auto fast = ReceiveAtSpeed(sent, 19200, 9600);
        EXPECT_NE(slow, sent) << command;
        EXPECT_NE(fast, sent) << command;
        // Twice the speed: at most one receiver frame per sent byte can start.
        EXPECT_LE(slow.size(), 2 * sent.size()) << command;
        EXPECT_LT(fast.size(), sent.size()) << command;
    }
}

TEST(LineGarble, HalfSpeedReceiverSeesTheKnownPattern) {
    // 0xFF at 19200 is one short low pulse (its start bit); a 9600 receiver takes it for a
    // start bit and samples nothing but high levels after it.
    auto got = ReceiveAtSpeed({0xFF}, 19200, 9600);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], 0xFF);
    // 0x00 sent at 9600 to a 19200 receiver: the line stays low for 9 receiver bits of 0 and
    // the stop sample (9.5 receiver bits = 4.75 sent bits) is still low: a framing error.
    EXPECT_TRUE(ReceiveAtSpeed({0x00}, 9600, 19200).empty());
}
