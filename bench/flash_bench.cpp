// links: quorvel_core
// Eight boards updated at once by quorvel-flash, each simulator pacing every byte at the line
// rate: the whole batch against one board's wire time at 19200 baud, and the CPU time the
// flasher itself spends over the run.
//
//   build/bin/flash_bench [boards]       (quorvel-flash and quorvel-boardsim beside it)
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

} // namespace

int main(int argc, char** argv) {
    const int boards = argc > 1 ? std::atoi(argv[1]) : 8;
    std::string dir = argv[0];
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    LoadFirmwareImage();

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
        std::fprintf(stderr, "quorvel-flash did not update every board (status %d)\n", status);
        return 1;
    }
    // "(%B67)" and the identification reply at 9600 baud first.
    const double limit = (6 + 14) * 10.0 / 9600 + WireBytes() * 10.0 / 19200;
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    std::printf("one board's wire time (9600 + 19200 baud): %.3f s (%d blocks)\n", limit,
                BlockCount);
    std::printf("%d paced boards at once, whole batch: %.3f s  (%.2f%% above one board; target "
                "5%%)\n",
                boards, wall, 100.0 * (wall - limit) / limit);
    std::printf("quorvel-flash CPU time over the run:  %.3f s  (%.2f%% of one core; target 5%%)\n",
                cpu, 100.0 * cpu / wall);
    return 0;
}
