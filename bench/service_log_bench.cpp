// links: quorvel_flash
// The service record written as a log line, and a line read back as --history reads each one.
#include "flash/History.h"
#include "updater/UpdateLog.h"

#include <benchmark/benchmark.h>

namespace {

UpdateRecord Completed() {
    UpdateRecord r;
    r.Start = "2026-12-08T09:00:00Z";
    r.End = "2026-12-08T09:00:19Z";
    r.Port = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0";
    r.Board = "KX27";
    r.SerialNumber = "A10342";
    r.FirmwareBefore = "4.4";
    r.MonitorVersion = "1.0";
    r.FirmwareWritten = "4.5";
    r.Blocks = r.BlockCount = 430;
    r.Result = "completed";
    r.Verified = true;
    r.FirmwareAfter = "4.5";
    return r;
}

} // namespace

static void BM_WriteRecord(benchmark::State& state) {
    const UpdateRecord r = Completed();
    for (auto _ : state)
        benchmark::DoNotOptimize(UpdateRecordJson(r));
}
BENCHMARK(BM_WriteRecord)->Unit(benchmark::kMicrosecond);

static void BM_ReadRecord(benchmark::State& state) {
    const std::string line = UpdateRecordJson(Completed());
    LogFields fields;
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadLogRecord(line, fields));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ReadRecord)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
