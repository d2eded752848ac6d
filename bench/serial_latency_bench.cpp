// links: quorvel_serial
// Latency from a byte written on the far side of a pseudo-terminal to OnRxChar running on the
// main thread, which sleeps in Sync::WaitUntil as an event loop would. Reports the median and
// the 99th percentile in microseconds. Target: median under 1 ms.
#include "framework/Sync.h"
#include "serial/ComPort.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

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

void BM_ByteToRxChar(benchmark::State& state) {
    std::string slave;
    int master = OpenMaster(slave);
    TComPort port;
    port.SetPort(slave);
    port.SetEvents({evRxChar});
    std::atomic<int> handled{0};
    Clock::time_point arrived;
    port.OnRxChar = [&](TComponent*, int) {
        arrived = Clock::now();
        char buf[16];
        port.Read(buf, sizeof buf);
        ++handled;
    };
    port.Open();
    std::vector<double> samples;
    for (auto _ : state) {
        int before = handled;
        auto sent = Clock::now();
        if (write(master, "U", 1) != 1)
            state.SkipWithError("write failed");
        Sync::WaitUntil([&] { return handled.load() != before; });
        Sync::CheckSynchronize();
        samples.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
    }
    port.Close();
    close(master);
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    }
}
BENCHMARK(BM_ByteToRxChar)->Iterations(5000)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
