// links: quorvel_serial
// Throughput of the updater's read pattern: InputCount, then Read of one byte, repeated,
// while the far side of a pseudo-terminal keeps sending. Once straight from a loop, once from
// OnRxChar as the updater does it. Target: at least 1 MB/s.
#include "framework/Sync.h"
#include "serial/ComPort.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int total = 1 << 20;

int OpenMaster(std::string& slave) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slave = ptsname(m);
    termios t;
    tcgetattr(m, &t);
    cfmakeraw(&t);
    tcsetattr(m, TCSANOW, &t);
    return m;
}

// Sends `total` bytes through the master, blocking when the line is full.
std::thread Sender(int master) {
    return std::thread([master] {
        std::vector<char> chunk(4096, 'x');
        for (int sent = 0; sent < total;) {
            ssize_t n = write(master, chunk.data(), std::min<size_t>(chunk.size(), total - sent));
            if (n > 0)
                sent += static_cast<int>(n);
        }
    });
}

void BM_PatternInALoop(benchmark::State& state) {
    std::string slave;
    int master = OpenMaster(slave);
    TComPort port;
    port.SetPort(slave);
    port.SetEvents({});
    port.Open();
    for (auto _ : state) {
        std::thread sender = Sender(master);
        int got = 0;
        while (got < total) {
            while (port.InputCount() > 0) {
                char c;
                got += port.Read(&c, 1);
            }
        }
        sender.join();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
    port.Close();
    close(master);
}
BENCHMARK(BM_PatternInALoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_PatternFromRxChar(benchmark::State& state) {
    std::string slave;
    int master = OpenMaster(slave);
    TComPort port;
    port.SetPort(slave);
    port.SetEvents({evRxChar});
    std::atomic<int> got{0};
    port.OnRxChar = [&](TComponent*, int) {
        while (port.InputCount() > 0) {
            char c;
            got += port.Read(&c, 1);
        }
    };
    port.Open();
    for (auto _ : state) {
        got = 0;
        std::thread sender = Sender(master);
        Sync::WaitUntil([&] { return got.load() >= total; });
        sender.join();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
    port.Close();
    close(master);
}
BENCHMARK(BM_PatternFromRxChar)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
