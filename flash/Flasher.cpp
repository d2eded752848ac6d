#include "flash/Flasher.h"

#include "flash/Platform.h"
#include "flash/Texts.h"
#include "framework/Sync.h"
#include "updater/UpdateLog.h"

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto TickPeriod = std::chrono::milliseconds(100);

class Session {
public:
    Session(const FlashOptions& options, Progress& progress)
        : options_(options), progress_(progress),
          logPath_(options.LogPath.empty() ? DefaultUpdateLogPath() : options.LogPath) {}

    // Reports and records every attempt that ended since the last look.
    void Collect(std::vector<std::unique_ptr<PortRun>>& runs) {
        for (size_t i = 0; i < runs.size(); ++i) {
            while (ended_[i] < runs[i]->AttemptsEnded()) {
                ++ended_[i];
                progress_.AttemptEnded(*runs[i]);
                Record(*runs[i]);
            }
        }
    }
    void Track(size_t count) { ended_.assign(count, 0); }

private:
    void Record(const PortRun& run) {
        if (options_.NoLog)
            return;
        std::string error;
        // A log that cannot be written costs the record, never the update.
        if (!AppendUpdateRecord(logPath_, run.LastRecord(), error))
            std::fprintf(stderr, "%s\n",
                         TrFormat("warning: cannot write the service log %s: %s", {logPath_, error})
                             .c_str());
    }

    const FlashOptions& options_;
    Progress& progress_;
    std::string logPath_;
    std::vector<int> ended_;
};

bool AllFinished(const std::vector<std::unique_ptr<PortRun>>& runs) {
    for (const auto& run : runs)
        if (!run->Finished())
            return false;
    return true;
}

} // namespace

int RunFlasher(const FlashOptions& options, const ImageFacts& image, Progress& progress) {
    flashplatform::WatchInterrupt();
    Sync::SetWakeMainThread(&flashplatform::WakeMainLoop);

    Session session(options, progress);
    std::vector<std::unique_ptr<PortRun>> runs;
    for (const std::string& port : options.Ports)
        runs.push_back(
            std::make_unique<PortRun>(port, options.WaitSeconds * 10, options.Loop, image));
    if (options.Verbose)
        for (auto& run : runs)
            run->SetTrace(stderr);
    session.Track(runs.size());
    for (auto& run : runs)
        run->Start();
    session.Collect(runs);

    auto nextTick = Clock::now() + TickPeriod;
    while (!AllFinished(runs) && !flashplatform::InterruptRequested()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        if (wait.count() > 0)
            flashplatform::WaitForWake(static_cast<int>(wait.count()) + 1);
        // The ports' receive events, each run here as the event thread hands it over.
        Sync::CheckSynchronize();
        session.Collect(runs);
        auto now = Clock::now();
        if (now < nextTick)
            continue;
        for (auto& run : runs)
            run->Tick();
        session.Collect(runs);
        progress.Update(runs);
        nextTick += TickPeriod;
        // A loop held up (a suspended process) does not make up the ticks in a burst.
        if (nextTick < now)
            nextTick = now + TickPeriod;
    }
    bool interrupted = flashplatform::InterruptRequested();
    if (interrupted) {
        for (auto& run : runs)
            run->Interrupt();
        session.Collect(runs);
    }
    progress.Finish(runs);
    int status = 0;
    for (const auto& run : runs)
        status = std::max(status, OutcomeExitCode(run->WorstOutcome()));
    runs.clear();
    // A port closed from its own receive handler leaves its thread to be joined here.
    Sync::CheckSynchronize();
    Sync::SetWakeMainThread(nullptr);
    return status;
}
