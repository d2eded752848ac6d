#include "tools/boardsim/FrameDecoder.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

using namespace boardsim;
using namespace testframes;

namespace {

std::vector<Message> FeedAll(FrameDecoder& d, const std::vector<uint8_t>& bytes) {
    d.Push(bytes.data(), bytes.size());
    std::vector<Message> out;
    Message m;
    while (d.Next(m))
        out.push_back(m);
    return out;
}

const Key SomeKey{1, 2, 3, 4, 5, 6, 7};

} // namespace

TEST(FrameDecoder, ScramblingExampleRoundTrips) {
    EXPECT_EQ(Scramble(0x12, 0x01), 0x20);
    EXPECT_EQ(Unscramble(0x20, 0x01), 0x12);
    for (int b = 0; b < 256; b += 7)
        EXPECT_EQ(Unscramble(Scramble(static_cast<uint8_t>(b), 0xA5), 0xA5), b);
}

TEST(FrameDecoder, DecodesFullAndEmptyFramesAndRollsTheKey) {
    FrameDecoder d;
    const auto data = Pattern(64, 0xAB);
    auto full = Frame(0x012345, data, BoardContract::InitialHeaderKey, SomeKey);
    ASSERT_EQ(full.size(), 79u);
    auto msgs = FeedAll(d, full);
    ASSERT_EQ(msgs.size(), 1u);
    ASSERT_EQ(msgs[0].kind, Message::Kind::Frame);
    const DataFrame& f = msgs[0].frame;
    EXPECT_TRUE(f.ChecksumOk);
    EXPECT_EQ(f.Count, 64);
    EXPECT_EQ(f.Address, 0x012345u);
    EXPECT_EQ(f.FrameKey, SomeKey);
    EXPECT_EQ(f.Data, data);
    EXPECT_EQ(d.HeaderKey(), SomeKey);

    // The next header is scrambled with the previous frame's random bytes.
    const Key next{200, 0, 254, 9, 9, 9, 100};
    auto empty = Frame(0x000800, {}, SomeKey, next);
    ASSERT_EQ(empty.size(), 15u);
    msgs = FeedAll(d, empty);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_TRUE(msgs[0].frame.ChecksumOk);
    EXPECT_EQ(msgs[0].frame.Count, 0);
    EXPECT_EQ(msgs[0].frame.Address, 0x800u);
    EXPECT_EQ(d.HeaderKey(), next);
}

TEST(FrameDecoder, FrameArrivingByteByByteEqualsFrameAtOnce) {
    FrameDecoder d;
    auto frame = Frame(0x1000, Pattern(17, 3), BoardContract::InitialHeaderKey, SomeKey);
    std::vector<Message> msgs;
    for (size_t i = 0; i < frame.size(); ++i) {
        auto got = FeedAll(d, {frame[i]});
        if (i + 1 < frame.size()) {
            EXPECT_TRUE(got.empty()) << "complete too early at byte " << i;
        }
        msgs.insert(msgs.end(), got.begin(), got.end());
    }
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].frame.Data, Pattern(17, 3));
}

TEST(FrameDecoder, BadChecksumIsReportedButTheWellFormedHeaderStillRollsTheKey) {
    FrameDecoder d;
    auto frame = Frame(0x2000, Pattern(10, 1), BoardContract::InitialHeaderKey, SomeKey);
    frame[15] ^= 0x40; // a data byte hit on the line
    auto msgs = FeedAll(d, frame);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_FALSE(msgs[0].frame.ChecksumOk);
    EXPECT_EQ(d.HeaderKey(), SomeKey);

    frame = Frame(0x2000, Pattern(10, 1), SomeKey, BoardContract::InitialHeaderKey);
    frame[frame.size() - 2] ^= 1; // the checksum byte itself
    msgs = FeedAll(d, frame);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_FALSE(msgs[0].frame.ChecksumOk);
}

TEST(FrameDecoder, CommandsAndResynchronisationOnGarbage) {
    FrameDecoder d;
    auto stream = Bytes("xx<<S@>\xff<F<D<S@@><F@>");
    auto frame = Frame(0x0900, Pattern(5, 9), BoardContract::InitialHeaderKey, SomeKey);
    stream.insert(stream.end(), frame.begin(), frame.end());
    auto msgs = FeedAll(d, stream);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].kind, Message::Kind::StatusQuery);
    EXPECT_EQ(msgs[1].kind, Message::Kind::Finish);
    EXPECT_EQ(msgs[2].kind, Message::Kind::Frame);
    EXPECT_EQ(msgs[2].frame.Data, Pattern(5, 9));
    EXPECT_EQ(d.PendingBytes(), 0u);
}

TEST(FrameDecoder, CommandHiddenInsideABrokenFrameIsFound) {
    FrameDecoder d;
    // A frame cut short: the bytes counted for it include the next command, whose "<" is
    // read again once the missing terminator shows the frame was not one.
    auto frame = Frame(0x0900, Pattern(20, 9), BoardContract::InitialHeaderKey, SomeKey);
    std::vector<uint8_t> stream(frame.begin(), frame.begin() + 10);
    auto status = Bytes("<S@>");
    for (int i = 0; i < 8; ++i)
        stream.insert(stream.end(), status.begin(), status.end());
    auto msgs = FeedAll(d, stream);
    ASSERT_EQ(msgs.size(), 8u);
    for (const auto& m : msgs)
        EXPECT_EQ(m.kind, Message::Kind::StatusQuery);
    EXPECT_EQ(d.HeaderKey(), BoardContract::InitialHeaderKey) << "no frame was accepted";
}

TEST(FrameDecoder, OversizedCountOrWrongKeyIsNotAFrame) {
    FrameDecoder d;
    auto frame = Frame(0x0900, Pattern(8, 1), BoardContract::InitialHeaderKey, SomeKey);
    frame[2] = Scramble(65, BoardContract::InitialHeaderKey[0]);
    EXPECT_TRUE(FeedAll(d, frame).empty());
    EXPECT_EQ(d.HeaderKey(), BoardContract::InitialHeaderKey);

    // Scrambled with a key the board does not hold: the announced count is wrong, so the
    // terminator is not where it should be, and the key must not roll to garbage.
    Key other{9, 9, 9, 9, 9, 9, 9};
    auto wrong = Frame(0x0900, Pattern(8, 1), other, SomeKey);
    EXPECT_TRUE(FeedAll(d, wrong).empty());
    EXPECT_EQ(d.HeaderKey(), BoardContract::InitialHeaderKey);
}
