// links: quorvel_core
// Eight, then thirty-two boards updated at once by one quorvel-flash, each simulator pacing
// every byte at the line rate: the whole batch against one board's wire time at 19200 baud, and
// the CPU time the flasher itself spends over the run.
//
//   build/bin/flash_bench [boards...]    (quorvel-flash and quorvel-boardsim beside it; 8 32)
#include "BoardProcess.h"
#include "updater/FirmwareImage.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// One batch of `boards`; false when the flasher did not update every board.
bool RunBatch(const std::string& dir, int boards) {
    std::vector<Simulator> sims;
    for (int i = 0; i < boards; ++i)
        sims.push_back(StartSimulator(dir + "quorvel-boardsim", i));
    std::vector<std::string> args{dir + "quorvel-flash", "--quiet", "--no-log"};
    for (const Simulator& s : sims)
        args.push_back(s.Port);

    const FlashRun run = RunFlashProgram(args);
    StopSimulators(sims);
    if (!run.Ok) {
        std::fprintf(stderr, "quorvel-flash did not update every board of %d\n", boards);
        return false;
    }
    const double limit = WireSeconds();
    std::printf("%2d paced boards at once, whole batch: %.3f s  (%.2f%% above one board; target "
                "5%%)\n",
                boards, run.Wall, 100.0 * (run.Wall - limit) / limit);
    std::printf("%2d boards: quorvel-flash CPU time:  %.3f s  (%.2f%% of one core; target 10%%)\n",
                boards, run.Cpu, 100.0 * run.Cpu / run.Wall);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> batches;
    for (int i = 1; i < argc; ++i)
        batches.push_back(std::atoi(argv[i]));
    if (batches.empty())
        batches = {8, 32};
    std::string dir = argv[0];
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    LoadFirmwareImage();
    const double limit = WireSeconds();
    std::printf("one board's wire time (9600 + 19200 baud): %.3f s (%d blocks)\n", limit,
                BlockCount);
    std::fflush(stdout); // not again from a forked child's copy of the buffer
    bool ok = true;
    for (int boards : batches)
        ok = RunBatch(dir, boards) && ok;
    return ok ? 0 : 1;
}
