// links: quorvel_core
// Eight, then thirty-two boards updated at once by one quorvel-flash, each simulator pacing
// every byte at the line rate: the whole batch against one board's wire time at 19200 baud, and
// the CPU time the flasher itself spends over the run.
//
//   build/bin/flash_bench [boards...]    (quorvel-flash and quorvel-boardsim beside it; 8 32)
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

// Bytes on the wire for one board at 19200 baud: the status query and reply, every frame with
// its answer, "<F@>" and "<FF>".
long WireBytes() {
    long bytes = 4 + 20 + 8;
    for (const FirmwareBlock* b = FirstBlock; b; b = b->Next)
        bytes += 15 + b->Count + 4;
    return bytes;
}

struct Simulator {
    pid_t Pid = -1;
    std::string Port;
};

Simulator StartSimulator(const std::string& program, int index) {
    int out[2];
    Simulator sim;
    if (pipe(out) != 0)
        return sim;
    sim.Pid = fork();
    if (sim.Pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        char serial[16];
        std::snprintf(serial, sizeof serial, "B%05d", index);
        // In its normal firmware, as a board arrives on the bench.
        execl(program.c_str(), program.c_str(), "--pace", "--exit-when-done", "--serial", serial,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        sim.Port.push_back(c);
    close(out[0]);
    return sim;
}

// One batch of `boards`; false when the flasher did not update every board.
bool RunBatch(const std::string& dir, int boards) {
    std::vector<Simulator> sims;
    for (int i = 0; i < boards; ++i)
        sims.push_back(StartSimulator(dir + "quorvel-boardsim", i));
    std::vector<std::string> args{dir + "quorvel-flash", "--quiet", "--no-log"};
    for (const Simulator& s : sims)
        args.push_back(s.Port);

    const auto start = std::chrono::steady_clock::now();
    pid_t flash = fork();
    if (flash == 0) {
        std::vector<char*> argvFlash;
        for (auto& a : args)
            argvFlash.push_back(a.data());
        argvFlash.push_back(nullptr);
        if (!freopen("/dev/null", "w", stdout))
            _exit(127);
        execv(argvFlash[0], argvFlash.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(flash, &status, 0, &usage);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const Simulator& s : sims) {
        kill(s.Pid, SIGTERM);
        waitpid(s.Pid, nullptr, 0);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "quorvel-flash did not update every board of %d (status %d)\n", boards,
                     status);
        return false;
    }
    // "(%B67)" and the identification reply at 9600 baud first.
    const double limit = (6 + 14) * 10.0 / 9600 + WireBytes() * 10.0 / 19200;
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    std::printf("%2d paced boards at once, whole batch: %.3f s  (%.2f%% above one board; target "
                "5%%)\n",
                boards, wall, 100.0 * (wall - limit) / limit);
    std::printf("%2d boards: quorvel-flash CPU time:  %.3f s  (%.2f%% of one core; target 10%%)\n",
                boards, cpu, 100.0 * cpu / wall);
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
    const double limit = (6 + 14) * 10.0 / 9600 + WireBytes() * 10.0 / 19200;
    std::printf("one board's wire time (9600 + 19200 baud): %.3f s (%d blocks)\n", limit,
                BlockCount);
    std::fflush(stdout); // not again from a forked child's copy of the buffer
    bool ok = true;
    for (int boards : batches)
        ok = RunBatch(dir, boards) && ok;
    return ok ? 0 : 1;
}
