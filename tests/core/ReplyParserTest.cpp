#include "updater/ReplyParser.h"

#include "updater/ControllerState.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

const std::string Identification = "(KX27V4.4M1.0)";
const std::string Status = "<KX27V4.5M1.0A10342>";

// Writes down each report with the parser's state as the report saw it.
class Recorder : public ReplyReceiver {
public:
    void IdentificationReceived() override { Note("I"); }
    void StatusReceived() override { Note("S"); }
    void AckReceived(char code) override { Note(std::string("A") + code); }
    void CompletionReceived() override { Note("C"); }

    std::vector<std::string> Reports;
    std::function<void()> During; // runs inside the next report, as a modal box would allow

private:
    void Note(const std::string& what) {
        Reports.push_back(what + "@" + std::to_string(Parser.ParserState));
        if (auto nested = std::exchange(During, nullptr)) {
            nested();
        }
    }
};

class ReplyParserTest : public testing::Test {
protected:
    void SetUp() override {
        Parser = {};
        Controller = {};
    }
    void TearDown() override { SetUp(); }

    void Feed(const std::string& bytes) {
        ParseReplyBytes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, rec);
    }
    Log Reports() { return std::exchange(rec.Reports, {}); }

    Recorder rec;
};

TEST_F(ReplyParserTest, IdentificationThenStatusThenTransferReplies) {
    Feed(Identification);
    EXPECT_EQ(Reports(), Log{"I@14"});
    EXPECT_EQ(Parser.BoardName, "KX27");
    EXPECT_EQ(Parser.FirmwareVersion, "4.4");
    EXPECT_EQ(Parser.MonitorVersion, "1.0");

    Feed(Status);
    EXPECT_EQ(Reports(), Log{"S@14"});
    EXPECT_EQ(Parser.FirmwareVersion, "4.5");
    EXPECT_EQ(Parser.SerialNumber, "A10342");

    Controller.Updating = true;
    Feed("<DD><D?><DX>");
    EXPECT_EQ(Reports(), (Log{"AD@14", "A?@14", "AX@14"}));
    Feed("<FF>");
    EXPECT_EQ(Reports(), Log{"C@0"});
    EXPECT_EQ(Parser.ParserState, 0u);
}

TEST_F(ReplyParserTest, AcknowledgementsCountOnlyWhileUpdating) {
    Parser.ParserState = 14;
    Feed("<DD>");
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Parser.ParserState, 14u);
    // Status and completion replies pass whatever the controller is doing.
    Feed(Status + "<FF>");
    EXPECT_EQ(Reports(), (Log{"S@14", "C@0"}));
}

TEST_F(ReplyParserTest, MonitorRepliesNeedTheParserInItsMonitorStates) {
    Feed(Status + "<FF>");
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Parser.ParserState, 0u);
    // After an identification, a second one is ignored until a "<" comes.
    Feed(Identification + Identification + "<FF>");
    EXPECT_EQ(Reports(), (Log{"I@14", "C@0"}));
}

TEST_F(ReplyParserTest, BreakingByteIsConsumedByTheFallback) {
    // "(" in state 1 goes back to 0, and the "K" after it is not accepted.
    Feed("(" + Identification);
    EXPECT_TRUE(Reports().empty());
    Feed("(KX2(KX27V4.4M1.0)");
    EXPECT_TRUE(Reports().empty());
    Feed("(KX2)" + Identification);
    EXPECT_EQ(Reports(), Log{"I@14"});

    // A "<" that breaks a status reply leaves the parser waiting for the next "<".
    Feed("<KX2" + Status);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Parser.ParserState, 14u);
    Feed("<KX27V4.5M1.0A10342X");
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Parser.ParserState, 14u);
    Feed("<FX<F" + Status + "<FF>");
    EXPECT_EQ(Reports(), (Log{"C@0"}));

    // A state no one should have set is treated as waiting for the boot monitor.
    Parser.ParserState = 99;
    Feed("<FF>");
    EXPECT_EQ(Reports(), Log{"C@0"});
}

TEST_F(ReplyParserTest, FieldsTakeAnyByte) {
    Parser.ParserState = 14;
    const std::string status = std::string("<KX27V<>(M)\0\xFF", 13) + "A1>3<2" + ">";
    ASSERT_EQ(status.size(), 20u);
    Feed(status);
    EXPECT_EQ(Reports(), Log{"S@14"});
    EXPECT_EQ(Parser.FirmwareVersion, "<>(");
    EXPECT_EQ(Parser.MonitorVersion, std::string(")\0\xFF", 3));
    EXPECT_EQ(Parser.SerialNumber, "A1>3<2");

    Parser.ParserState = 0;
    Feed("(KX27V)))M<<<)");
    EXPECT_EQ(Reports(), Log{"I@14"});
    EXPECT_EQ(Parser.FirmwareVersion, ")))");
    EXPECT_EQ(Parser.MonitorVersion, "<<<");

    Controller.Updating = true;
    Feed("<D>>");
    EXPECT_EQ(Reports(), Log{"A>@14"});
    EXPECT_EQ(Parser.AckCode, '>');
}

// Feeds `reply` split at every possible set of places; each must give the one-piece result.
void ExpectEveryChunkingAlike(ReplyParserTest& t, const std::string& reply, uint32_t startState,
                              bool updating) {
    auto run = [&](uint32_t cuts) {
        Parser = {};
        Parser.ParserState = startState;
        Controller.Updating = updating;
        Recorder rec;
        std::size_t from = 0;
        for (std::size_t i = 1; i <= reply.size(); ++i) {
            if (i == reply.size() || (cuts >> (i - 1) & 1)) {
                ParseReplyBytes({reinterpret_cast<const uint8_t*>(reply.data()) + from, i - from},
                                rec);
                from = i;
            }
        }
        return rec.Reports;
    };
    const auto whole = run(0);
    const ReplyParserState parsed = Parser;
    EXPECT_EQ(whole.size(), 1u) << reply;
    for (uint32_t cuts = 1; cuts < (1u << (reply.size() - 1)); ++cuts) {
        ASSERT_EQ(run(cuts), whole) << reply << " cut " << cuts;
        ASSERT_EQ(Parser.ParserState, parsed.ParserState);
        ASSERT_EQ(Parser.SerialNumber, parsed.SerialNumber);
    }
    (void)t;
}

TEST_F(ReplyParserTest, EveryChunkingOfAReplyGivesTheSameReport) {
    ExpectEveryChunkingAlike(*this, Identification, 0, false);
    ExpectEveryChunkingAlike(*this, Status, 14, false);
    ExpectEveryChunkingAlike(*this, "<DD>", 14, true);
    ExpectEveryChunkingAlike(*this, "<D?>", 14, true);
    ExpectEveryChunkingAlike(*this, "<FF>", 14, false);
}

TEST_F(ReplyParserTest, LongStreamInRandomPiecesMatchesOnePiece) {
    const std::string noise = "xx<D\x01>(<)"; // an odd acknowledgement once past state 14
    std::string stream = noise + Identification + noise + Status + "<DD><D?>" + noise + "<FF>" +
                         Identification + Status + "<FF>";
    Controller.Updating = true;
    Feed(stream);
    const Log whole = Reports();
    EXPECT_EQ(whole, (Log{"I@14", "A\x01@14", "S@14", "AD@14", "A?@14", "A\x01@14", "C@0", "I@14",
                          "S@14", "C@0"}));
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        Parser = {};
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng() % 6, stream.size() - at);
            Feed(stream.substr(at, n));
            at += n;
        }
        ASSERT_EQ(Reports(), whole) << "round " << round;
    }
}

// A report that shows a modal box lets further receive events in; they continue the same
// program-wide state, and the outer run goes on from wherever they left it.
TEST_F(ReplyParserTest, NestedReceiveEventsContinueTheSameState) {
    Controller.Updating = true;
    rec.During = [this] { Feed("<D"); };
    Feed(Identification + "D>");
    EXPECT_EQ(Reports(), (Log{"I@14", "AD@14"}));
}

} // namespace
