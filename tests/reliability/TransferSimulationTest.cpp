// The whole transfer on a virtual clock against seeded fault plans: each run must end in the
// completion with the board holding exactly the image, or in the give-up, with no block sent
// before the previous one was accepted.
#include "tools/transfersim/TransferSim.h"

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

} // namespace
