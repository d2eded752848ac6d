// The whole transfer on a virtual clock against seeded fault plans: each run must end in the
// completion with the board holding exactly the image, or in the give-up, with no block sent
// before the previous one was accepted.
#include "tools/transfersim/TransferSim.h"
#include "updater/UpdateController.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace {

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
    std::set<int> rules, sizes;
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
        rules.insert(plan.KeyRule());
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

// Twelve blocks; without faults the answer to frame k is reply k + 1 (reply 1 is the status).
TEST(TransferSimulation, LateAnswersFollowedByARefusalStillComplete) {
    struct Case {
        const char* Name;
        std::vector<uint8_t> Faults; // what, reply number - 1 (two bytes), parameter
    } cases[] = {
        {"answer 0.95 s late, refusal later", {3, 3, 0, 79, 4, 7, 0, 0}},
        {"answer 1.5 s late, refusal later", {3, 3, 0, 125, 4, 8, 0, 0}},
        {"last answer late, its resend refused", {3, 12, 0, 100, 4, 13, 0, 0}},
        {"unknown code once", {5, 5, 0, 'x'}},
    };
    for (const Case& c : cases) {
        for (uint8_t rule : {0, 1}) {
            std::vector<uint8_t> bytes{static_cast<uint8_t>(2 | rule), 11};
            bytes.insert(bytes.end(), c.Faults.begin(), c.Faults.end());
            transfersim::BytesPlan plan(bytes);
            const RunResult r = transfersim::Run(plan, true);
            EXPECT_TRUE(r.Ok) << c.Name << "\n" << Report(plan, r);
            EXPECT_EQ(r.End, "completed") << c.Name << "\n" << Report(plan, r);
        }
    }
}

// A plan's bytes: the board in its monitor, key rule `rule`, every answer `latencyMs` late (a
// multiple of 50), `blocks` blocks (0: the built-in image); then faults.
struct PlanBytes {
    std::vector<uint8_t> Bytes;
    PlanBytes(uint8_t rule, int latencyMs, int blocks)
        : Bytes{static_cast<uint8_t>(2 | rule | latencyMs / 50 << 2),
                static_cast<uint8_t>(blocks ? blocks - 1 : 255)} {}
    // What (see BytesPlan), the reply, frame or tick number, and the parameter.
    PlanBytes& Add(uint8_t what, int n, uint8_t parameter = 0) {
        Bytes.insert(Bytes.end(), {what, static_cast<uint8_t>((n - 1) & 0xFF),
                                   static_cast<uint8_t>((n - 1) >> 8), parameter});
        return *this;
    }
    // The answer to every `every`-th frame refused, up to frame `last`.
    PlanBytes& RefuseEvery(int every, int last) {
        for (int frame = every; frame <= last; frame += every)
            Add(4, frame + 1);
        return *this;
    }
};
enum : uint8_t { LostAnswer = 2, Late12ms = 3, Refused = 4, Late40ms = 9, Twice = 10, MadeUp = 11 };

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

} // namespace
