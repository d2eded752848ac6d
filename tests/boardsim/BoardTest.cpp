#include "tools/boardsim/Board.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

using namespace boardsim;
using namespace testframes;

namespace {

constexpr int Slow = BoardContract::NormalFirmwareBaud;
constexpr int Fast = BoardContract::BootMonitorBaud;

std::string Send(Board& b, const std::vector<uint8_t>& bytes, int baud) {
    std::string out;
    for (const Reply& r : b.Receive(bytes.data(), bytes.size(), baud)) {
        EXPECT_EQ(r.Baud, r.Bytes[0] == '(' ? Slow : Fast) << r.Bytes;
        out += r.Bytes;
    }
    return out;
}

std::string Send(Board& b, const std::string& text, int baud) {
    return Send(b, Bytes(text), baud);
}

BoardConfig InMonitor() {
    BoardConfig c;
    c.StartInMonitor = true;
    return c;
}

} // namespace

TEST(Board, NormalFirmwareIdentifiesAndEntersTheMonitor) {
    Board b{BoardConfig{}};
    EXPECT_EQ(b.ListenBaud(), Slow);
    EXPECT_EQ(Send(b, "<S@>", Slow), "");
    EXPECT_EQ(Send(b, "((%B6(%B67)", Slow), "(KX27V4.4M1.0)");
    EXPECT_EQ(b.CurrentMode(), Board::Mode::BootMonitor);
    EXPECT_EQ(b.ListenBaud(), Fast);
    EXPECT_EQ(Send(b, "<S@>", Fast), "<KX27V4.4M1.0A10342>");
    EXPECT_EQ(b.Stats().Identifications, 1u);
    EXPECT_EQ(b.Stats().StatusPolls, 1u);
}

TEST(Board, BytesAtTheWrongSpeedAreGarbageAndCounted) {
    Board b{BoardConfig{}};
    EXPECT_EQ(Send(b, "(%B67)", Fast), "");
    EXPECT_EQ(b.Stats().WrongSpeedBytes, 6u);
    EXPECT_EQ(b.CurrentMode(), Board::Mode::NormalFirmware);

    Board m{InMonitor()};
    EXPECT_EQ(Send(m, "<S@>", Slow), "");
    EXPECT_EQ(m.Stats().WrongSpeedBytes, 4u);
    EXPECT_EQ(m.Stats().StatusPolls, 0u);
    // A status query sent right behind "(%B67)" at 9600 reaches the monitor at the wrong speed.
    Board n{BoardConfig{}};
    EXPECT_EQ(Send(n, "(%B67)<S@>", Slow), "(KX27V4.4M1.0)");
    EXPECT_EQ(n.Stats().WrongSpeedBytes, 4u);
}

TEST(Board, IdentityFlagsAndIncompatibleMonitor) {
    BoardConfig c;
    c.FirmwareVersion = "9.1";
    c.MonitorVersion = "2.2";
    c.SerialNumber = "Z00001";
    Board b{c};
    EXPECT_EQ(Send(b, "(%B67)", Slow), "(KX27V9.1M2.2)");
    EXPECT_EQ(Send(b, "<S@>", Fast), "<KX27V9.1M2.2Z00001>");
    c.IncompatibleMonitor = true;
    c.StartInMonitor = true;
    Board old{c};
    EXPECT_EQ(Send(old, "<S@>", Fast), "<KX27V9.1M0.9Z00001>");
}

TEST(Board, FlashesFramesAndTracksKeyAcrossStatusPolls) {
    Board b{InMonitor()};
    Sender s;
    EXPECT_EQ(Send(b, s.Next(0x800, Pattern(64, 1)), Fast), "<DD>");
    EXPECT_EQ(Send(b, s.Next(0x840, Pattern(3, 7)), Fast), "<DD>");
    // A status reply resets both keys.
    EXPECT_EQ(Send(b, "<S@>", Fast).size(), 20u);
    s.StatusReplied();
    EXPECT_EQ(Send(b, s.Next(0x1000, Pattern(1, 0xEE)), Fast), "<DD>");
    EXPECT_EQ(b.Stats().Accepted, 3u);
    EXPECT_EQ(b.Stats().Frames, 3u);
    EXPECT_EQ(b.Memory().size(), 68u);
    EXPECT_EQ(b.Memory().at(0x800), Pattern(64, 1)[0]);
    EXPECT_EQ(b.Memory().at(0x842), Pattern(3, 7)[2]);
    EXPECT_EQ(b.Memory().at(0x1000), 0xEE);
    ASSERT_TRUE(b.Stats().FirstFrame && b.Stats().LastFrame);
    EXPECT_LE(*b.Stats().FirstFrame, *b.Stats().LastFrame);
}

TEST(Board, BadChecksumAndLowAddressAreRefusedButKeepTheKeysInStep) {
    Board b{InMonitor()};
    Sender s;
    auto bad = s.Next(0x900, Pattern(10, 2));
    bad[14] ^= 0x01;
    EXPECT_EQ(Send(b, bad, Fast), "<D?>");
    EXPECT_EQ(Send(b, s.Next(0x7C0, Pattern(10, 2)), Fast), "<D?>");
    EXPECT_EQ(Send(b, s.Next(0x900, Pattern(10, 2)), Fast), "<DD>");
    EXPECT_EQ(b.Stats().BadChecksums, 1u);
    EXPECT_EQ(b.Stats().Naks, 2u);
    EXPECT_EQ(b.Stats().Accepted, 1u);
    EXPECT_EQ(b.Stats().Resends, 1u); // 0x900 came twice
    EXPECT_EQ(b.Memory().size(), 10u);
    EXPECT_EQ(b.Memory().count(0x7C0), 0u);
}

TEST(Board, FinishingSilencesTheBoardOrRebootsIt) {
    Board b{InMonitor()};
    EXPECT_EQ(Send(b, "<F@>", Fast), "<FF>");
    EXPECT_EQ(b.CurrentMode(), Board::Mode::Finished);
    EXPECT_EQ(Send(b, "<S@>", Fast), "");
    EXPECT_EQ(Send(b, "(%B67)", Slow), "");
    EXPECT_EQ(b.Stats().Completions, 1u);

    BoardConfig c = InMonitor();
    c.Reboot = true;
    Board r{c};
    EXPECT_EQ(Send(r, "<F@>", Fast), "<FF>");
    EXPECT_EQ(r.CurrentMode(), Board::Mode::NormalFirmware);
    EXPECT_EQ(Send(r, "(%B67)", Slow), "(KX27V4.5M1.0)");
}

TEST(Board, InjectedNaksDropsAndCorruption) {
    BoardConfig c = InMonitor();
    c.NakEvery = 3;
    c.DropAnswerTo = 2;
    c.CorruptEvery = 4;
    Board b{c};
    Sender s;
    EXPECT_EQ(Send(b, s.Next(0x800, Pattern(4, 1)), Fast), "<DD>");           // frame 1, reply 1
    EXPECT_EQ(Send(b, s.Next(0x804, Pattern(4, 2)), Fast), "");               // frame 2 dropped
    EXPECT_EQ(Send(b, s.Next(0x804, Pattern(4, 2)), Fast), "<D?>");           // frame 3, reply 2
    EXPECT_EQ(Send(b, s.Next(0x804, Pattern(4, 2)), Fast), "<DD>");           // frame 4, reply 3
    EXPECT_EQ(Send(b, "<S@>", Fast), std::string("<\xb4X27V4.4M1.0A10342>")); // reply 4
    EXPECT_EQ(b.Stats().Accepted, 3u); // the dropped frame was flashed all the same
    EXPECT_EQ(b.Stats().Naks, 1u);
    EXPECT_EQ(b.Stats().DroppedAnswers, 1u);
    EXPECT_EQ(b.Stats().Resends, 2u);
}

TEST(Board, SilentOrHungUpAfterAcceptedFrames) {
    BoardConfig c = InMonitor();
    c.SilentAfter = 2;
    Board b{c};
    Sender s;
    EXPECT_EQ(Send(b, s.Next(0x800, {1}), Fast), "<DD>");
    auto refused = s.Next(0x801, {2});
    refused[13] ^= 1;
    EXPECT_EQ(Send(b, refused, Fast), "<D?>"); // refused frames do not count
    EXPECT_EQ(Send(b, s.Next(0x801, {2}), Fast), "<DD>");
    EXPECT_EQ(b.CurrentMode(), Board::Mode::Silent);
    EXPECT_EQ(Send(b, "<S@>", Fast), "");

    c.SilentAfter = 0;
    c.HangUpAfter = 1;
    Board h{c};
    Sender t;
    EXPECT_EQ(Send(h, t.Next(0x800, {1}), Fast), "<DD>");
    EXPECT_EQ(h.CurrentMode(), Board::Mode::HungUp);
}

// Frame 2 of three hurt on its way in; frame 3 is the updater's next frame, scrambled with the
// key frame 2 carried. Where the two keys part, the board reads frame 3 wrongly or not at all.
TEST(Board, LineFaultsOnTheSecondFrame) {
    struct Case {
        const char* Name;
        LineFlip Flip;
        int Lose;
        const char* Answers;
        uint64_t Accepted;
    };
    const Case cases[] = {
        {"data byte", {2, 13}, 0, "<DD><D?><DD>", 2},
        {"address byte", {2, 5}, 0, "<DD><D?><DD>", 2},
        {"count byte", {2, 2}, 0, "<DD>", 1},
        {"key byte 0", {2, 6}, 0, "<DD><D?>", 1},
        // The second key byte scrambles the address: frame 3 is taken, at the wrong place.
        {"key byte 1", {2, 7}, 0, "<DD><D?><DD>", 2},
        {"lost frame", {}, 2, "<DD>", 1},
    };
    for (const Case& c : cases) {
        BoardConfig config = InMonitor();
        config.Flips = {c.Flip};
        config.LoseFrame = c.Lose;
        Board b{config};
        Sender s;
        std::string answers = Send(b, s.Next(0x800, Pattern(8, 1)), Fast);
        answers += Send(b, s.Next(0x808, Pattern(8, 2)), Fast);
        answers += Send(b, s.Next(0x808, Pattern(8, 2)), Fast);
        EXPECT_EQ(answers, c.Answers) << c.Name;
        EXPECT_EQ(b.Stats().Accepted, c.Accepted) << c.Name;
        EXPECT_EQ(b.Stats().FlippedBytes, c.Lose ? 0u : 1u) << c.Name;
        EXPECT_EQ(b.Stats().LostFrames, c.Lose ? 1u : 0u) << c.Name;
        const bool exact = b.Memory().count(0x80F) && b.Memory().at(0x80F) == Pattern(8, 2)[7];
        EXPECT_EQ(exact, c.Accepted == 2 && c.Flip.Offset != 7) << c.Name;
    }
}

TEST(Board, KeyRulesOnAStatusQueryAfterAFrame) {
    for (KeyRule rule : {KeyRule::ResetOnStatus, KeyRule::KeepUntilRestart}) {
        BoardConfig config = InMonitor();
        config.Keys = rule;
        Board b{config};
        Sender s;
        EXPECT_EQ(Send(b, "<S@>", Fast).size(), 20u); // before any frame both rules reset
        EXPECT_EQ(Send(b, s.Next(0x800, {1}), Fast), "<DD>");
        EXPECT_EQ(Send(b, "<S@>", Fast).size(), 20u);
        Sender reset = s;
        reset.StatusReplied();
        const bool keeps = rule == KeyRule::KeepUntilRestart;
        EXPECT_EQ(Send(b, (keeps ? s : reset).Next(0x801, {2}), Fast), "<DD>");
        EXPECT_EQ(b.Stats().Accepted, 2u);
    }
    // Rule B: a board that has rolled its key does not read a frame made after a status reset.
    BoardConfig config = InMonitor();
    config.Keys = KeyRule::KeepUntilRestart;
    Board b{config};
    Sender s;
    EXPECT_EQ(Send(b, s.Next(0x800, {1}), Fast), "<DD>");
    EXPECT_EQ(Send(b, "<S@>", Fast).size(), 20u);
    s.StatusReplied();
    EXPECT_EQ(Send(b, s.Next(0x801, {2}), Fast), "");
    EXPECT_EQ(b.Stats().Accepted, 1u);
}

TEST(Board, StrayCompletionsAndLateStatusReplies) {
    BoardConfig config = InMonitor();
    config.StrayCompletionAtPoll = 2;
    config.StrayCompletionAtFrame = 1;
    config.StatusDelayMs = 300;
    Board b{config};
    Sender s;
    auto first = s.Next(0x800, {1});
    auto replies = b.Receive(first.data(), first.size(), Fast);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].Bytes + replies[1].Bytes, "<FF><DD>");
    EXPECT_EQ(replies[1].DelayMs, 0);
    for (int poll = 1; poll <= 2; ++poll) {
        replies = b.Receive(reinterpret_cast<const uint8_t*>("<S@>"), 4, Fast);
        ASSERT_EQ(replies.size(), size_t(poll)) << poll;
        EXPECT_EQ(replies.back().Bytes.size(), 20u);
        EXPECT_EQ(replies.back().DelayMs, 300);
    }
    EXPECT_EQ(replies[0].Bytes, "<FF>");
    EXPECT_EQ(replies[0].DelayMs, 0);
    EXPECT_EQ(b.Stats().StrayCompletions, 2u);
    EXPECT_EQ(b.Stats().LateStatusAnswers, 2u);
    EXPECT_EQ(b.Stats().Completions, 0u);
    EXPECT_EQ(b.CurrentMode(), Board::Mode::BootMonitor) << "a stray reply finishes nothing";
}
