// quorvel-transfersim: runs the transfer simulation over many seeds, or replays one.
//   quorvel-transfersim [--runs N] [--first SEED]   seeds SEED .. SEED+N-1 (default 0, 100000)
//   quorvel-transfersim --seed S                    one seed, its faults listed as they fire
#include "tools/transfersim/TransferSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

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

} // namespace

int main(int argc, char** argv) {
    uint64_t first = 0, runs = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seed")) {
            transfersim::RandomPlan plan(std::strtoull(argv[i + 1], nullptr, 10));
            transfersim::RunResult r = transfersim::Run(plan, true);
            Print(plan, r);
            return r.Ok ? 0 : 1;
        }
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--first"))
            first = std::strtoull(argv[i + 1], nullptr, 10);
    }
    const auto start = std::chrono::steady_clock::now();
    std::map<std::string, uint64_t> ends;
    uint64_t failures = 0;
    for (uint64_t seed = first; seed < first + runs; ++seed) {
        transfersim::RandomPlan plan(seed);
        transfersim::RunResult r = transfersim::Run(plan);
        if (r.Ok) {
            ++ends[r.End];
            continue;
        }
        ++failures;
        transfersim::RandomPlan again(seed);
        Print(again, transfersim::Run(again, true));
        std::printf("replay: quorvel-transfersim --seed %llu\n\n",
                    static_cast<unsigned long long>(seed));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu runs in %.1f s:", static_cast<unsigned long long>(runs), seconds);
    for (const auto& [end, count] : ends)
        std::printf(" %s %llu,", end.c_str(), static_cast<unsigned long long>(count));
    std::printf(" failed %llu\n", static_cast<unsigned long long>(failures));
    return failures ? 1 : 0;
}
