#pragma once
// What the flasher benches share: paced board simulators as child processes, and the wire time
// of one board's update.
#include "updater/FirmwareImage.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Bytes on the wire for one board at 19200 baud: the status query and reply, every frame with
// its answer, "<F@>" and "<FF>".
inline long WireBytes() {
    long bytes = 4 + 20 + 8;
    for (const FirmwareBlock* b = FirstBlock; b; b = b->Next)
        bytes += 15 + b->Count + 4;
    return bytes;
}

struct Simulator {
    pid_t Pid = -1;
    std::string Port;
};

inline Simulator StartSimulator(const std::string& program, int index) {
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

// One board's wire time: "(%B67)" and the identification reply at 9600 baud, the rest at 19200.
inline double WireSeconds() {
    return (6 + 14) * 10.0 / 9600 + WireBytes() * 10.0 / 19200;
}

inline void StopSimulators(const std::vector<Simulator>& sims) {
    for (const Simulator& s : sims) {
        kill(s.Pid, SIGTERM);
        waitpid(s.Pid, nullptr, 0);
    }
}

struct FlashRun {
    bool Ok = false; // every board updated
    double Wall = 0; // seconds
    double Cpu = 0;  // the flasher's own, user and system
};

// quorvel-flash with `args` (the program first), its output into `output` (dropped by default).
inline FlashRun RunFlashProgram(std::vector<std::string> args, const char* output = "/dev/null") {
    const auto start = std::chrono::steady_clock::now();
    pid_t flash = fork();
    if (flash == 0) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (!freopen(output, "w", stdout))
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(flash, &status, 0, &usage);
    FlashRun run;
    run.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.Cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
              usage.ru_stime.tv_usec / 1e6;
    run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}
