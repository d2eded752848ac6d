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
    "given up, not proven (answers out of step with the frames), never connected, wrong\n"
    "monitor.\n"
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

// What the command line asks for.
struct Options {
    uint64_t First = 0, Runs = 100000;
    std::optional<uint64_t> One;
    transfersim::PlanKind Kind = transfersim::PlanKind::Faults;
    uint32_t LostRate = 100;
};

// Takes one option and its value; false for an unknown option or a bad value.
bool Take(Options& o, const char* option, const char* value) {
    if (!std::strcmp(option, "--seed"))
        o.One = std::strtoull(value, nullptr, 10);
    else if (!std::strcmp(option, "--runs"))
        o.Runs = std::strtoull(value, nullptr, 10);
    else if (!std::strcmp(option, "--first"))
        o.First = std::strtoull(value, nullptr, 10);
    else if (!std::strcmp(option, "--lost-rate"))
        o.LostRate = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else if (!std::strcmp(option, "--plan") && KindNamed(value))
        o.Kind = *KindNamed(value);
    else
        return false;
    return true;
}

// One seed, its faults listed as they fire.
int Replay(const Options& o) {
    transfersim::RandomPlan plan(*o.One, o.Kind, o.LostRate);
    const transfersim::RunResult r = transfersim::Run(plan, true);
    Print(plan, r);
    return r.Ok ? 0 : 1;
}

struct Tally {
    std::map<std::string, uint64_t> Ends;
    uint64_t Classes[static_cast<int>(transfersim::EndClass::Count)] = {};
    uint64_t Failures = 0, Cancelled = 0;
};

void PrintTally(const Options& o, const Tally& t, double seconds) {
    auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("%llu %s runs in %.1f s:", n(o.Runs),
                transfersim::PlanKindNames[static_cast<int>(o.Kind)], seconds);
    for (const auto& [end, count] : t.Ends)
        std::printf(" %s %llu,", end.c_str(), n(count));
    using transfersim::EndClass;
    auto of = [&](EndClass c) { return n(t.Classes[static_cast<int>(c)]); };
    std::printf("\ncompleted %llu, given up %llu, not proven %llu, never connected %llu, wrong "
                "monitor %llu, failed %llu (completed over a wrong board after an answer that "
                "may be one too many and one that may be missing: %llu)\n",
                of(EndClass::Completed), of(EndClass::GivenUp), of(EndClass::NotProven),
                of(EndClass::NoAnswer), of(EndClass::WrongMonitor), n(t.Failures), n(t.Cancelled));
}

// Seeds First .. First + Runs - 1; each failing one replayed with its faults.
int RunMany(const Options& o) {
    const auto start = std::chrono::steady_clock::now();
    Tally t;
    for (uint64_t seed = o.First; seed < o.First + o.Runs; ++seed) {
        transfersim::RandomPlan plan(seed, o.Kind, o.LostRate);
        const transfersim::RunResult r = transfersim::Run(plan);
        if (r.Ok) {
            ++t.Ends[r.End];
            ++t.Classes[static_cast<int>(transfersim::Classify(r.End))];
            continue;
        }
        ++t.Failures;
        t.Cancelled += r.CountCanCancel;
        Replay({.First = 0, .Runs = 0, .One = seed, .Kind = o.Kind, .LostRate = o.LostRate});
        std::printf("replay: quorvel-transfersim --plan %s --seed %llu\n\n",
                    transfersim::PlanKindNames[static_cast<int>(o.Kind)],
                    static_cast<unsigned long long>(seed));
    }
    PrintTally(o, t,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return t.Failures ? 1 : 0;
}

int Usage() {
    std::fputs(Help, stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i += 2) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(Help, stdout);
            return 0;
        }
        if (i + 1 == argc || !Take(o, argv[i], argv[i + 1]))
            return Usage();
    }
    return o.One ? Replay(o) : RunMany(o);
}
