// The whole transfer on a virtual clock against seeded fault plans: each run must end in the
// completion with the board holding exactly the image, or in the give-up, with no block sent
// before the previous one was accepted.
#include "tools/transfersim/TransferSim.h"
#include "updater/FirmwareImage.h"
#include "updater/UpdateController.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace {

using boardsim::KeyRule;
using transfersim::BytesFault;
using transfersim::EndClass;
using transfersim::RunResult;

std::string Report(transfersim::FaultPlan& plan, const RunResult& r) {
    std::string text = plan.Describe() + "\n";
    for (const std::string& line : r.Schedule)
        text += "  " + line + "\n";
    return text + r.Failure;
}

// QUORVEL_SIM_RUNS overrides the number of seeds (make simulate runs millions elsewhere).
uint64_t Runs() {
    const char* runs = std::getenv("QUORVEL_SIM_RUNS");
    return runs ? std::strtoull(runs, nullptr, 10) : 10000;
}

TEST(TransferSimulation, EverySeededScheduleEndsSafely) {
    std::set<std::string> ends;
    std::set<KeyRule> rules;
    std::set<int> sizes;
    for (uint64_t seed = 0; seed < Runs(); ++seed) {
        transfersim::RandomPlan plan(seed);
        const RunResult r = transfersim::Run(plan);
        if (!r.Ok) {
            transfersim::RandomPlan again(seed);
            ADD_FAILURE() << Report(again, transfersim::Run(again, true))
                          << "\nreplay: quorvel-transfersim --seed " << seed;
            return;
        }
        ends.insert(r.End);
        rules.insert(plan.Board().Keys);
        sizes.insert(plan.Blocks() == 0 ? 0 : 1);
    }
    // The runs covered what they are meant to.
    EXPECT_TRUE(ends.count("completed") && ends.count("given-up"));
    EXPECT_EQ(rules.size(), 2u);
    EXPECT_EQ(sizes.size(), 2u) << "both short images and the built-in one";
}

// The edges: answers up to twice the longest wait late, a steady latency, duplicated and made
// up answers, lost answers. A completion over a wrong board needs two faults that cancel in
// the count: an answer too many and one too few.
TEST(TransferSimulation, EdgePlansEndSafely) {
    using transfersim::PlanKind;
    for (PlanKind kind :
         {PlanKind::LongDelays, PlanKind::Latency, PlanKind::Duplicates, PlanKind::LostAnswers}) {
        std::set<transfersim::EndClass> ends;
        for (uint64_t seed = 0; seed < Runs() / 20; ++seed) {
            transfersim::RandomPlan plan(seed, kind);
            const RunResult r = transfersim::Run(plan);
            ends.insert(transfersim::Classify(r.End));
            if (r.Ok)
                continue;
            if (!r.CountCanCancel) {
                transfersim::RandomPlan again(seed, kind);
                const RunResult traced = transfersim::Run(again, true);
                ADD_FAILURE() << Report(again, traced) << "\nreplay: quorvel-transfersim --plan "
                              << transfersim::PlanKindNames[static_cast<int>(kind)] << " --seed "
                              << seed;
                return;
            }
        }
        EXPECT_TRUE(ends.count(transfersim::EndClass::Completed))
            << transfersim::PlanKindNames[static_cast<int>(kind)];
    }
}

TEST(TransferSimulation, ASeedReplaysExactly) {
    for (uint64_t seed : {2u, 17u, 4242u}) {
        transfersim::RandomPlan first(seed), second(seed);
        const RunResult a = transfersim::Run(first, true), b = transfersim::Run(second, true);
        EXPECT_EQ(a.Schedule, b.Schedule);
        EXPECT_EQ(a.VirtualMs, b.VirtualMs);
        EXPECT_EQ(a.Frames, b.Frames);
        EXPECT_EQ(a.End, b.End);
    }
}

// A plan's bytes: the board in its monitor, key rule `rule`, every answer `latencyMs` late (a
// multiple of 50), `blocks` blocks (0: the built-in image); then faults.
struct PlanBytes {
    std::vector<uint8_t> Bytes;
    PlanBytes(uint8_t rule, int latencyMs, int blocks)
        : Bytes{static_cast<uint8_t>(2 | rule | latencyMs / 50 << 2),
                static_cast<uint8_t>(blocks ? blocks - 1 : 255)} {}
    // What, the reply, frame or tick number, and the parameter.
    PlanBytes& Add(BytesFault what, int n, uint8_t parameter = 0) {
        Bytes.insert(Bytes.end(), {static_cast<uint8_t>(what), static_cast<uint8_t>((n - 1) & 0xFF),
                                   static_cast<uint8_t>((n - 1) >> 8), parameter});
        return *this;
    }
    // The answer to every `every`-th frame refused, up to frame `last`.
    PlanBytes& RefuseEvery(int every, int last) {
        for (int frame = every; frame <= last; frame += every)
            Add(BytesFault::Refused, frame + 1);
        return *this;
    }
};
constexpr BytesFault LostAnswer = BytesFault::LostAnswer, Late12ms = BytesFault::LateAnswer,
                     Late40ms = BytesFault::VeryLateAnswer, Twice = BytesFault::Twice,
                     MadeUp = BytesFault::MadeUp;

// Twelve blocks; without faults the answer to frame k is reply k + 1 (reply 1 is the status).
TEST(TransferSimulation, LateAnswersFollowedByARefusalStillComplete) {
    struct Case {
        const char* Name;
        PlanBytes Plan;
    } cases[] = {
        {"answer 0.95 s late, refusal later",
         PlanBytes(0, 0, 12).Add(Late12ms, 4, 79).Add(BytesFault::Refused, 8)},
        {"answer 1.5 s late, refusal later",
         PlanBytes(0, 0, 12).Add(Late12ms, 4, 125).Add(BytesFault::Refused, 9)},
        {"last answer late, its resend refused",
         PlanBytes(0, 0, 12).Add(Late12ms, 13, 100).Add(BytesFault::Refused, 14)},
        {"unknown code once", PlanBytes(0, 0, 12).Add(BytesFault::UnknownCode, 6, 'x')},
    };
    for (const Case& c : cases) {
        for (uint8_t rule : {0, 1}) {
            std::vector<uint8_t> bytes = c.Plan.Bytes;
            bytes[0] |= rule;
            transfersim::BytesPlan plan(bytes);
            const RunResult r = transfersim::Run(plan, true);
            EXPECT_TRUE(r.Ok) << c.Name << "\n" << Report(plan, r);
            EXPECT_EQ(r.End, "completed") << c.Name << "\n" << Report(plan, r);
        }
    }
}

// Lines that once ended wrongly or gave up where they should not: each ends as listed, never
// in a completion over a board that does not hold the image.
TEST(TransferSimulation, EdgesOfTheLineEndAsTheyShould) {
    struct Case {
        const char* Name;
        PlanBytes Plan;
        std::set<std::string> Ends;
    };
    const std::set<std::string> completedOrNotProven{"completed", "out-of-step"};
    std::vector<Case> cases = {
        // The board's answer to a resend 5 s late: the pairing shifts, the count shows it.
        {"resend answered 5 s late, every 100th frame refused",
         PlanBytes(0, 0, 0).Add(Late12ms, 12, 125).Add(Late40ms, 13, 125).RefuseEvery(100, 430),
         completedOrNotProven},
        {"resend answered 4.96 s late, every 100th frame refused",
         PlanBytes(1, 0, 0).Add(Late12ms, 12, 74).Add(Late40ms, 13, 124).RefuseEvery(100, 430),
         completedOrNotProven},
        {"one answer arrives twice", PlanBytes(0, 0, 12).Add(Twice, 5), completedOrNotProven},
        {"one answer made up by the line", PlanBytes(1, 0, 12).Add(MadeUp, 9), {"out-of-step"}},
        // A slow but healthy line.
        {"every answer 950 ms late", PlanBytes(0, 950, 12), {"completed"}},
        {"every answer 1.9 s late", PlanBytes(1, 1900, 12), {"completed"}},
        {"every answer 950 ms late, the built-in image", PlanBytes(0, 950, 0), {"completed"}},
        {"one answer lost", PlanBytes(0, 0, 12).Add(LostAnswer, 6), {"completed"}},
        // Ends that say what happened.
        {"a board refusing every frame", PlanBytes(0, 0, 12).RefuseEvery(1, 40), {"refused"}},
        {"a board refusing every 15th frame",
         PlanBytes(1, 0, 0).RefuseEvery(15, 600),
         {"completed"}},
        {"a board refusing every 8th frame",
         PlanBytes(0, 0, 0).RefuseEvery(8, 600),
         {"completed", "refused"}},
        {"a board refusing every 10th frame",
         PlanBytes(1, 0, 0).RefuseEvery(10, 600),
         {"completed", "refused"}},
        {"answers 1.5 s late, then none",
         PlanBytes(0, 1500, 12)
             .Add(LostAnswer, 5)
             .Add(LostAnswer, 6)
             .Add(LostAnswer, 7)
             .Add(LostAnswer, 8),
         {"slow-answers"}},
    };
    for (Case& c : cases) {
        transfersim::BytesPlan plan(c.Plan.Bytes);
        const RunResult r = transfersim::Run(plan, true);
        EXPECT_TRUE(r.Ok) << c.Name << "\n" << Report(plan, r);
        EXPECT_TRUE(c.Ends.count(r.End)) << c.Name << ": ended " << r.End << "\n"
                                         << Report(plan, r);
    }
}

// A key bit flipped in a refused frame, the resend accepted with a wrong data byte, a second
// flip cancelling the key difference: the blocks the fault hit go again.
TEST(TransferSimulation, AKeyThatPartedAndJoinedAgainLeavesNoWrongByteInTheImage) {
    transfersim::RandomPlan plan(60116870);
    const RunResult r = transfersim::Run(plan, true);
    EXPECT_TRUE(r.Ok) << Report(plan, r);
    EXPECT_NE(r.Schedule.size(), 0u);
}

// A lost answer costs the wait and the copy-lost limit, not the longest wait.
TEST(TransferSimulation, ALostAnswerCostsTheWaitAndTheCopyLostLimit) {
    transfersim::BytesPlan clean(PlanBytes(0, 0, 12).Bytes);
    transfersim::BytesPlan lost(PlanBytes(0, 0, 12).Add(LostAnswer, 6).Bytes);
    const RunResult a = transfersim::Run(clean), b = transfersim::Run(lost);
    ASSERT_EQ(a.End, "completed");
    ASSERT_EQ(b.End, "completed");
    EXPECT_EQ(b.Frames, a.Frames + 1 + UpdateProtocol::EndBlocks) << "one resend, the blocks again";
    // Beyond the seven blocks sent again: the wait, the limit, and one tick of phase.
    const int64_t again = a.VirtualMs * UpdateProtocol::EndBlocks / 12;
    EXPECT_LE(b.VirtualMs - a.VirtualMs - again,
              (UpdateProtocol::AckWait + 1) * 100 + UpdateProtocol::LostCopyMs)
        << a.VirtualMs << " ms clean, " << b.VirtualMs << " ms with the answer lost";
}

// The run kept every invariant and ended in one of `ends`: a completion with the board
// holding exactly the image and every block counted, any other end with no "<FF>" from it.
void ExpectEnd(transfersim::FaultPlan& plan, const RunResult& r, const std::set<EndClass>& ends) {
    ASSERT_TRUE(r.Ok) << Report(plan, r);
    EXPECT_TRUE(ends.count(transfersim::Classify(r.End))) << "ended " << r.End;
    if (r.End == "completed") {
        EXPECT_TRUE(r.ExactImage);
        EXPECT_EQ(r.BlocksSent, BlockCount);
        EXPECT_EQ(r.Board.Completions, 1u);
    } else {
        EXPECT_EQ(r.Board.Completions, 0u);
    }
}

const std::set<EndClass> Completes{EndClass::Completed};
const std::set<EndClass> GivesUp{EndClass::GivenUp, EndClass::NotProven};
const std::set<EndClass> Either{EndClass::Completed, EndClass::GivenUp, EndClass::NotProven};

using Config = boardsim::BoardConfig;
Config With(void (*set)(Config&)) {
    Config c;
    set(c);
    return c;
}

// One bit of byte `offset` of frame `frame` turned over on its way to the board.
Config FlippedByte(int frame, int offset) {
    Config c;
    c.Flips = {{frame, offset}};
    return c;
}

struct OneFault {
    const char* Name;
    Config Board;
    std::set<EndClass> Ends;
    uint64_t LeastResends = 0; // the fault was felt
};

const OneFault OneFaults[] = {
    // Key byte 1 carries the error into the next frames' addresses and data before the board
    // stops reading them.
    {"flipped key byte", FlippedByte(100, 7), GivesUp},
    {"flipped data byte", FlippedByte(100, 20), Completes},
    // Frames sent in the same second share their key, so the keys may still agree.
    {"lost frame", With([](Config& c) { c.LoseFrame = 100; }), Either},
    {"lost answer", With([](Config& c) { c.DropAnswerTo = 100; }), Completes},
    {"stray completion while polling", With([](Config& c) { c.StrayCompletionAtPoll = 1; }),
     Completes},
    {"stray completion during the transfer",
     With([](Config& c) { c.StrayCompletionAtFrame = 100; }), Completes},
    {"refuses every frame", With([](Config& c) { c.NakEvery = 1; }), GivesUp},
    // Answered late past the wait, so the frame went again, then a refusal further on: every
    // answer is the answer of the copy it belongs to, no block is stepped past unsent.
    {"late answer, then a refusal", With([](Config& c) {
         c.AckDelayMs = {{200, 950}};
         c.AckCode = {{300, '?'}};
     }),
     Completes, 1},
    {"very late answer, then a refusal", With([](Config& c) {
         c.AckDelayMs = {{200, 1500}};
         c.AckCode = {{300, '?'}};
     }),
     Completes, 1},
    // Frame 430 carries the built-in image's last block.
    {"late answer to the last block", With([](Config& c) {
         c.AckDelayMs = {{430, 1200}};
     }),
     Completes, 1},
    {"unknown code once", With([](Config& c) {
         c.AckCode = {{100, 'x'}};
     }),
     Completes},
    {"unknown code always", With([](Config& c) {
         for (int frame = 1; frame <= 2 * UpdateProtocol::RefusalLimit; ++frame)
             c.AckCode[frame] = 'x';
     }),
     GivesUp},
    // A key byte flipped in one of the last seven frames: the last blocks go again, the parted
    // key reaches the count and the board falls silent.
    {"flipped key byte in frame 424", FlippedByte(424, 7), GivesUp},
    {"flipped key byte in frame 425", FlippedByte(425, 7), GivesUp},
    {"flipped key byte in frame 426", FlippedByte(426, 8), GivesUp},
    {"flipped key byte in frame 427", FlippedByte(427, 9), GivesUp},
    {"flipped key byte in frame 428", FlippedByte(428, 10), GivesUp},
    {"flipped key byte in frame 429", FlippedByte(429, 11), GivesUp},
    {"flipped key byte in frame 430", FlippedByte(430, 12), GivesUp},
};

// One fault of the board's under each of its plausible key rules: never a wrong image reported
// as complete; a handful of frames for the one block the fault hurt, never a stream.
TEST(TransferSimulation, EachFaultOfTheBoardEndsSafely) {
    for (const OneFault& c : OneFaults) {
        for (KeyRule rule : {KeyRule::ResetOnStatus, KeyRule::KeepUntilRestart}) {
            SCOPED_TRACE(std::string(c.Name) +
                         (rule == KeyRule::ResetOnStatus ? ", key rule A" : ", key rule B"));
            Config board = c.Board;
            board.Keys = rule;
            transfersim::BoardPlan plan(board);
            const RunResult r = transfersim::Run(plan, true);
            ExpectEnd(plan, r, c.Ends);
            const boardsim::BoardStats& s = r.Board;
            EXPECT_LE(s.Frames, s.Accepted + UpdateProtocol::RefusalLimit + 3) << s.Frames;
            EXPECT_GE(s.Resends, c.LeastResends);
            if (c.Board.NakEvery == 1 || c.Board.AckCode.size() > 1) {
                EXPECT_EQ(s.Frames, uint64_t(UpdateProtocol::RefusalLimit));
            }
            EXPECT_EQ(s.StrayCompletions,
                      uint64_t(c.Board.StrayCompletionAtPoll || c.Board.StrayCompletionAtFrame));
            EXPECT_EQ(s.FlippedBytes, c.Board.Flips.size());
        }
    }
}

// Boards that misbehave all along, or never let the transfer start.
TEST(TransferSimulation, MisbehavingBoardsEndAsTheyShould) {
    using transfersim::BoardLine;
    const BoardLine clean;
    struct Case {
        const char* Name;
        Config Board;
        BoardLine Line;
        std::set<EndClass> Ends;
        void (*Check)(const RunResult&);
    } cases[] = {
        // Refusals further apart than the last blocks sent again after one of them: a board
        // refusing more often never shows seven blocks in a row without a fault.
        {"refuses every 15th frame", With([](Config& c) { c.NakEvery = 15; }), clean, Completes,
         [](const RunResult& r) {
             EXPECT_GE(r.Board.Naks, uint64_t(BlockCount / 15));
             EXPECT_EQ(r.Unanswered, 0);
         }},
        {"no answer to the 7th frame", With([](Config& c) { c.DropAnswerTo = 7; }), clean,
         Completes,
         [](const RunResult& r) {
             EXPECT_EQ(r.Board.DroppedAnswers, 1u);
             EXPECT_GE(r.Board.Resends, 1u) << "the missing answer is made up by a resend";
             EXPECT_EQ(r.Unanswered, 0) << "one missing answer is not a lost board";
         }},
        {"one reply byte in fifty corrupted", With([](Config& c) { c.CorruptEvery = 50; }), clean,
         Completes,
         [](const RunResult& r) {
             EXPECT_GE(r.Board.Resends, 1u) << "a corrupt acknowledgement is waited out";
         }},
        // The board must answer a poll within 4 ticks; 250 ms is well past a tick.
        {"every answer 250 ms late, polled 3 s first",
         With([](Config& c) { c.StatusDelayMs = 250; }),
         {.LatencyMs = 250, .StartAfterMs = 3000},
         Completes,
         [](const RunResult& r) {
             EXPECT_EQ(r.Unanswered, 0) << "slow answers within the limit are answers";
             EXPECT_GE(r.Board.LateStatusAnswers, 5u);
         }},
        // Past the wait "SEM RESPOSTA" shows; the reply that comes after all makes the board
        // ready.
        {"status answers 600 ms late, past the wait",
         With([](Config& c) { c.StatusDelayMs = 600; }), clean, Completes,
         [](const RunResult& r) {
             EXPECT_GT(r.Unanswered, 0) << "an answer past the wait is no answer";
         }},
        {"noise before every reply",
         Config{},
         {.NoiseBeforeReplies = true},
         Completes,
         [](const RunResult& r) {
             EXPECT_EQ(r.Board.Resends, 0u) << "every reply was read through the noise";
         }},
        {"an incompatible boot monitor",
         With([](Config& c) { c.IncompatibleMonitor = true; }),
         clean,
         {EndClass::WrongMonitor},
         [](const RunResult& r) { EXPECT_EQ(r.Board.Frames, 0u); }},
        {"a board that never enters its monitor",
         With([](Config& c) { c.MonitorMute = true; }),
         clean,
         {EndClass::NoAnswer},
         [](const RunResult& r) {
             EXPECT_GE(r.Board.Identifications, 1u);
             EXPECT_GT(r.Unanswered, 0);
             EXPECT_EQ(r.Board.Frames, 0u) << "nothing is sent to a board that is not ready";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        transfersim::BoardPlan plan(c.Board, c.Line);
        const RunResult r = transfersim::Run(plan, true);
        ExpectEnd(plan, r, c.Ends);
        c.Check(r);
    }
}

} // namespace
