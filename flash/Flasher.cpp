#include "flash/Flasher.h"

#include "flash/Bench.h"
#include "flash/Platform.h"
#include "flash/PortList.h"
#include "flash/Printable.h"
#include "flash/RemotePorts.h"
#include "flash/SystemError.h"
#include "flash/Texts.h"
#include "framework/Sync.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"
#include "updater/OpenFailure.h"
#include "updater/UpdateLog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto TickPeriod = std::chrono::milliseconds(100);
constexpr int ProbeSeconds = 3;

class Session {
public:
    Session(const FlashOptions& options, Progress& progress)
        : options_(options), progress_(progress),
          logPath_(options.LogPath.empty() ? DefaultUpdateLogPath() : options.LogPath) {}

    // Records and reports every attempt that ended since the last look: the record is on the
    // disk before its result line is printed.
    void Collect(std::vector<std::unique_ptr<PortRun>>& runs) {
        for (size_t i = 0; i < runs.size(); ++i) {
            while (ended_[i] < runs[i]->AttemptsEnded()) {
                ++ended_[i];
                Record(*runs[i]);
                progress_.AttemptEnded(*runs[i]);
            }
        }
    }
    void Track(size_t count) { ended_.assign(count, 0); }

    // The last try for records the log did not take; those still left go to standard error as
    // JSON so the technician can keep them. Their count.
    int Finish() {
        WritePending();
        if (unwritten_.empty())
            return 0;
        const int count = static_cast<int>(unwritten_.size());
        std::fprintf(stderr, "%s\n",
                     TrPlural("%d record was not written to the service log %s; here it is:",
                              "%d records were not written to the service log %s; here they are:",
                              count, {count, Printable(logPath_)})
                         .c_str());
        for (const UpdateRecord& r : unwritten_)
            std::fprintf(stderr, "%s\n", UpdateRecordJson(r).c_str());
        return count;
    }

private:
    void Record(const PortRun& run) {
        if (options_.NoLog || run.LastEnd() == AttemptEnd{PortEnd::NoBoard} ||
            run.LastEnd() == AttemptEnd{PortEnd::Probed})
            return;
        unwritten_.push_back(run.LastRecord());
        // A log that cannot be written costs the update nothing: its records wait for the
        // next one and for the end.
        if (!WritePending())
            std::fprintf(stderr, "%s\n",
                         TrFormat("warning: cannot write the service log %s: %s",
                                  {Printable(logPath_),
                                   errorCode_ ? SystemErrorWords(errorCode_) : Printable(error_)})
                             .c_str());
    }

    // Oldest first, so the log keeps the order the attempts ended in.
    bool WritePending() {
        size_t written = 0;
        while (written < unwritten_.size() &&
               AppendUpdateRecord(logPath_, unwritten_[written], error_, &errorCode_))
            ++written;
        unwritten_.erase(unwritten_.begin(), unwritten_.begin() + written);
        return unwritten_.empty();
    }

    const FlashOptions& options_;
    Progress& progress_;
    std::string logPath_;
    std::vector<int> ended_;
    std::vector<UpdateRecord> unwritten_;
    std::string error_;
    int errorCode_ = 0;
};

// --all: the USB, ACM and virtual ports nobody holds; those held are named and left alone.
// A bench file's sockets stand for the ports the system lists. False with the reason printed
// when the --all-in folder cannot be read.
bool ProbedPorts(const FlashOptions& options, const std::vector<BenchSocket>& bench,
                 Progress& progress, std::vector<std::string>& ports) {
    std::vector<std::string> found;
    if (!options.AllIn.empty()) {
        if (!ReadPortFolder(options.AllIn, found))
            return false;
    } else if (!bench.empty()) {
        for (const BenchSocket& socket : bench)
            found.push_back(socket.Port);
    } else {
        EnumComPorts(found);
    }
    std::erase_if(found,
                  [](const std::string& port) { return !flashplatform::IsBoardAdapter(port); });
    const std::vector<std::vector<ComPortHolder>> held = ComPortHolders(found);
    for (size_t i = 0; i < found.size(); ++i) {
        const std::string& port = found[i];
        const std::vector<ComPortHolder>& holders = held[i];
        if (!holders.empty() || ComPortBusy(port)) {
            progress.LeftAlone(port, holders);
            continue;
        }
        ports.push_back(port);
    }
    return true;
}

// --bench FILE, or bench.conf beside the log when there is one. False with the reason
// printed when a bench file is there but cannot be used.
bool LoadBench(const FlashOptions& options, std::vector<BenchSocket>& bench) {
    std::string path = options.BenchPath;
    if (path.empty()) {
        const std::string log = options.LogPath.empty() ? DefaultUpdateLogPath() : options.LogPath;
        const std::filesystem::path beside =
            std::filesystem::path(log).parent_path() / "bench.conf";
        std::error_code ec;
        if (!std::filesystem::exists(beside, ec))
            return true;
        path = beside.string();
    }
    std::string error;
    if (ReadBenchFile(path, bench, error))
        return true;
    std::fprintf(stderr, "quorvel-flash: %s\n", error.c_str());
    return false;
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
    std::vector<BenchSocket> bench;
    if (!LoadBench(options, bench))
        return 1;
    const std::vector<TNamedPort> named = LoadNamedPorts(stderr);
    std::vector<std::string> ports = ResolvePortNames(options.Ports, named);
    if (options.All && !ProbedPorts(options, bench, progress, ports))
        return 1;
    if (options.AllRemote)
        for (const TNamedPort& p : named)
            ports.push_back(p.Url);
    if (ports.empty()) {
        const std::string text =
            options.AllIn.empty()
                ? Tr("no free USB, ACM or virtual serial port to probe")
                : TrFormat("no free serial port to probe in %s", {Printable(options.AllIn)});
        std::fprintf(stderr, "quorvel-flash: %s\n", text.c_str());
        progress.Finish({}, false);
        return NothingToDoExitCode;
    }
    // A board answers the probe within a second or two; a silent port is not worth the wait.
    const int waitTicks =
        options.All ? std::min(options.WaitSeconds, ProbeSeconds) * 10 : options.WaitSeconds * 10;
    for (const std::string& port : ports) {
        runs.push_back(std::make_unique<PortRun>(port, waitTicks, options.Loop, image));
        runs.back()->SetProbe(options.All);
        runs.back()->SetIdentifyOnly(options.Probe);
        runs.back()->SetSocket(SocketName(bench, port));
        runs.back()->SetSkipCurrent(options.SkipCurrent);
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
    progress.Finish(runs, interrupted);
    int status = 0;
    for (const auto& run : runs)
        status = std::max(status, run->WorstExitCode());
    if (session.Finish() > 0)
        status = std::max(status, UnwrittenRecordsExitCode);
    runs.clear();
    // A port closed from its own receive handler leaves its thread to be joined here.
    Sync::CheckSynchronize();
    Sync::SetWakeMainThread(nullptr);
    return status;
}
