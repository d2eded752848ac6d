// links: quorvel_core
// Start-up cost of the firmware image: unscramble the built-in image and load it into blocks.
#include "updater/FirmwareImage.h"

#include <benchmark/benchmark.h>

static void BM_UnscrambleAndLoadBuiltInImage(benchmark::State& state) {
    for (auto _ : state) {
        LoadFirmwareImage();
        benchmark::DoNotOptimize(BlockCount);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(FirmwareImageLength));
    ResetFirmwareBlocks();
}
BENCHMARK(BM_UnscrambleAndLoadBuiltInImage)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
