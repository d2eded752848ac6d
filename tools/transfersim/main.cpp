// quorvel-transfersim: runs the transfer simulation over many seeds, or replays one.
#include "tools/transfersim/TransferSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>

namespace {

constexpr char Help[] =
    "usage: quorvel-transfersim [--plan KIND] [--runs N] [--first SEED] [--lost-rate N]\n"
    "       quorvel-transfersim [--plan KIND] --seed SEED\n"
    "\n"
    "Runs whole updates on a virtual clock: the real update controller, the board model and a\n"
    "line that follows a fault plan drawn from each seed. Checks that no run completes over a\n"
    "board that does not hold exactly the image.\n"
    "\n"
    "  --plan KIND      faults (default): lost, late (up to 3 s), refused, garbled frames and\n"
    "                   answers, stray replies; long-delays: the same, answers up to 10 s late;\n"
    "                   latency: the same on a line whose every answer is 0.5-2.5 s late;\n"
    "                   duplicates: the same, answers duplicated and made up by the line;\n"
    "                   lost-answers: only answers lost, one in --lost-rate\n"
    "  --runs N         seeds SEED .. SEED+N-1 (default 100000)\n"
    "  --first SEED     the first seed (default 0)\n"
    "  --lost-rate N    lost-answers plans lose one answer in N (default 100)\n"
    "  --seed SEED      one seed, its faults listed as they fire\n"
    "  --help           this text\n"
    "\n"
    "Prints each failing seed's plan and faults, then the count of each end: completed,\n"
    "given up, not proven (answers out of step with the frames), never connected.\n"
    "Exit status 1 when a run failed, 2 on a wrong command line.\n";

void Print(transfersim::FaultPlan& plan, const transfersim::RunResult& r) {
    std::printf("%s\n", plan.Describe().c_str());
    for (const std::string& line : r.Schedule)
        std::printf("  %s\n", line.c_str());
    if (r.Ok)
        std::printf("ended %s after %lld ms, %d frames\n", r.End.c_str(),
                    static_cast<long long>(r.VirtualMs), r.Frames);
    else
        std::printf("FAILED: %s\n", r.Failure.c_str());
}

std::optional<transfersim::PlanKind> KindNamed(const char* name) {
    for (size_t i = 0; i < std::size(transfersim::PlanKindNames); ++i)
        if (!std::strcmp(name, transfersim::PlanKindNames[i]))
            return static_cast<transfersim::PlanKind>(i);
    return std::nullopt;
}

int Usage() {
    std::fputs(Help, stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t first = 0, runs = 100000;
    std::optional<uint64_t> one;
    transfersim::PlanKind kind = transfersim::PlanKind::Faults;
    uint32_t lostRate = 100;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(Help, stdout);
            return 0;
        }
        if (i + 1 == argc)
            return Usage();
        const char* value = argv[++i];
        if (!std::strcmp(argv[i - 1], "--seed"))
            one = std::strtoull(value, nullptr, 10);
        else if (!std::strcmp(argv[i - 1], "--runs"))
            runs = std::strtoull(value, nullptr, 10);
        else if (!std::strcmp(argv[i - 1], "--first"))
            first = std::strtoull(value, nullptr, 10);
        else if (!std::strcmp(argv[i - 1], "--lost-rate"))
            lostRate = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
        else if (!std::strcmp(argv[i - 1], "--plan") && KindNamed(value))
            kind = *KindNamed(value);
        else
            return Usage();
    }
    if (one) {
        transfersim::RandomPlan plan(*one, kind, lostRate);
        transfersim::RunResult r = transfersim::Run(plan, true);
        Print(plan, r);
        return r.Ok ? 0 : 1;
    }
    const auto start = std::chrono::steady_clock::now();
    std::map<std::string, uint64_t> ends;
    uint64_t classes[4] = {};
    uint64_t failures = 0, cancelled = 0;
    for (uint64_t seed = first; seed < first + runs; ++seed) {
        transfersim::RandomPlan plan(seed, kind, lostRate);
        transfersim::RunResult r = transfersim::Run(plan);
        if (r.Ok) {
            ++ends[r.End];
            ++classes[static_cast<int>(transfersim::Classify(r.End))];
            continue;
        }
        ++failures;
        cancelled += r.CountCanCancel;
        transfersim::RandomPlan again(seed, kind, lostRate);
        Print(again, transfersim::Run(again, true));
        std::printf("replay: quorvel-transfersim --plan %s --seed %llu\n\n",
                    transfersim::PlanKindNames[static_cast<int>(kind)],
                    static_cast<unsigned long long>(seed));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu %s runs in %.1f s:", static_cast<unsigned long long>(runs),
                transfersim::PlanKindNames[static_cast<int>(kind)], seconds);
    for (const auto& [end, count] : ends)
        std::printf(" %s %llu,", end.c_str(), static_cast<unsigned long long>(count));
    std::printf(
        "\ncompleted %llu, given up %llu, not proven %llu, never connected %llu, failed "
        "%llu (completed over a wrong board after an answer that may be one too many and "
        "one that may be missing: %llu)\n",
        static_cast<unsigned long long>(classes[0]), static_cast<unsigned long long>(classes[1]),
        static_cast<unsigned long long>(classes[2]), static_cast<unsigned long long>(classes[3]),
        static_cast<unsigned long long>(failures), static_cast<unsigned long long>(cancelled));
    return failures ? 1 : 0;
}
