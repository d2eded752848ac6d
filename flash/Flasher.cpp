#include "flash/Flasher.h"

#include "flash/Platform.h"
#include "flash/PortList.h"
#include "flash/RemotePorts.h"
#include "flash/Texts.h"
#include "framework/Sync.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"
#include "updater/UpdateLog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto TickPeriod = std::chrono::milliseconds(100);
constexpr int ProbeSeconds = 3;

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
        if (options_.NoLog || run.LastOutcome() == Outcome::NoBoard)
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

// --all: the USB, ACM and virtual ports nobody holds; those held are named and left alone.
std::vector<std::string> ProbedPorts(const FlashOptions& options) {
    std::vector<std::string> found;
    if (options.AllIn.empty())
        EnumComPorts(found);
    else
        found = flashplatform::PortsInFolder(options.AllIn);
    std::erase_if(found,
                  [](const std::string& port) { return !flashplatform::IsBoardAdapter(port); });
    std::vector<std::string> ports;
    const std::vector<std::vector<ComPortHolder>> held = ComPortHolders(found);
    for (size_t i = 0; i < found.size(); ++i) {
        const std::string& port = found[i];
        const std::vector<ComPortHolder>& holders = held[i];
        if (!holders.empty() || ComPortBusy(port)) {
            std::fprintf(
                stderr, "%s\n",
                TrFormat("%s: left alone, in use by %s", {port, HoldersText(holders)}).c_str());
            continue;
        }
        ports.push_back(port);
    }
    return ports;
}

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
    const std::vector<TNamedPort> named = LoadNamedPorts(stderr);
    std::vector<std::string> ports =
        options.All ? ProbedPorts(options) : ResolvePortNames(options.Ports, named);
    if (options.AllRemote)
        for (const TNamedPort& p : named)
            ports.push_back(p.Url);
    if (ports.empty()) {
        std::fprintf(stderr, "quorvel-flash: %s\n",
                     Tr("no free USB, ACM or virtual serial port to probe").c_str());
        return OutcomeExitCode(Outcome::NoAnswer);
    }
    // A board answers the probe within a second or two; a silent port is not worth the wait.
    const int waitTicks =
        options.All ? std::min(options.WaitSeconds, ProbeSeconds) * 10 : options.WaitSeconds * 10;
    for (const std::string& port : ports) {
        runs.push_back(std::make_unique<PortRun>(port, waitTicks, options.Loop, image));
        runs.back()->SetProbe(options.All);
        if (options.Verify)
            runs.back()->SetVerify(options.WaitSeconds * 10);
    }
    if (options.Verbose)
        for (auto& run : runs)
            run->SetTrace(stderr);
    session.Track(runs.size());
    const std::vector<std::vector<ComPortHolder>> held = ComPortHolders(ports);
    for (size_t i = 0; i < runs.size(); ++i)
        runs[i]->Start(held[i]);
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
