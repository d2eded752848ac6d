#pragma once
// One port's road through an update, driven by the same controller as the window: this class
// is the controller's view, and it plays the technician (connect, start once the board is
// ready, connect again while nothing answers). Main thread only.
#include "flash/RemotePorts.h"
#include "flash/Trace.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"
#include "updater/ComPortLine.h"
#include "updater/UpdateController.h"
#include "updater/UpdateLog.h"
#include "updater/UpdateState.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// What ends a port's attempt besides the update controller's own ends (UpdateEnd).
enum class PortEnd {
    OpenFailed,     // the port could not be opened
    NoBoard,        // --all: nothing answered the probe; not a failure
    Unverified,     // completed, but the restarted board did not answer with the new firmware
    AlreadyCurrent, // --skip-current: the board runs the image's version already
    Probed,         // --probe: the board said who it is; nothing was sent
};

// How an attempt ended: as the controller ended it, or as the flasher did around it.
using AttemptEnd = std::variant<UpdateEnd, PortEnd>;

// The service record's result ("completed", "given-up", "open-failed", ...).
const char* ResultName(const AttemptEnd& end);
// The exit status when records could not be written to the service log even at the end.
constexpr int UnwrittenRecordsExitCode = 7;
// The exit status when there was nothing to do: no port to update, no record to show.
constexpr int NothingToDoExitCode = 8;

enum class Phase { Connecting, Transferring, Verifying, Waiting, Finished };

// What the record says of the image that is sent.
struct ImageFacts {
    std::string FirmwareWritten; // the built-in image's version, empty for a file
    std::string File, Sha256;    // a file given with --image
};

class PortRun : private UpdateView {
public:
    PortRun(std::string port, int waitTicks, bool loop, const ImageFacts& image);
    ~PortRun() override;
    PortRun(const PortRun&) = delete;
    PortRun& operator=(const PortRun&) = delete;

    // --all: a port where nothing answers within the wait holds no board (not a failure).
    void SetProbe(bool probe) { probe_ = probe; }
    // --probe: end each attempt once the board said who it is.
    void SetIdentifyOnly(bool identifyOnly) { identifyOnly_ = identifyOnly; }
    // The bench's name for the port's socket (empty: none).
    void SetSocket(const std::string& socket) { socket_ = socket; }
    const std::string& Socket() const { return socket_; }
    // --skip-current: a board that runs the image's version already gets nothing.
    void SetSkipCurrent(bool skip) { skipCurrent_ = skip; }
    // After a completion, wait up to `ticks` for the restarted board to answer (0: do not).
    void SetVerify(int ticks) { verifyTicks_ = ticks; }
    // Every frame written and every answer read, with the time, goes to `trace` (--verbose).
    void SetTrace(std::FILE* trace);
    // Opens the port and starts the first attempt; an open that fails ends the run at once.
    // `holders`: who holds the port, looked up for the whole batch just before.
    void Start(const std::vector<ComPortHolder>& holders);
    // The 100 ms tick.
    void Tick();
    // Ctrl-C: stop sending and close the port.
    void Interrupt();

    const std::string& Port() const { return port_; }
    Phase CurrentPhase() const { return phase_; }
    bool Finished() const { return phase_ == Phase::Finished; }
    // The attempt's board, as it answered (empty until then).
    const ReplyParserState& Board() const { return board_; }
    // What the board on the line said of itself in its last whole reply of this attempt (a
    // reply still arriving shows half a serial number).
    const ReplyParserState& Answered() const { return answered_; }
    int BlocksSent() const { return state_.Controller.Transfer.BlocksSent; }
    // Seconds the transfer has run.
    double TransferSeconds() const;
    // How the last attempt that ended ended (none before), and its detail (an error text).
    const std::optional<AttemptEnd>& LastEnd() const { return lastEnd_; }
    const std::string& LastDetail() const { return lastDetail_; }
    // The system's error code behind an open failure or a port error (0: none), and who held
    // the port when it could not be opened.
    int LastErrorCode() const { return lastErrorCode_; }
    const std::vector<ComPortHolder>& LastHolders() const { return lastHolders_; }
    // The highest exit status over every attempt.
    int WorstExitCode() const { return worstExitCode_; }
    // Attempts ended so far; a caller compares it to see that another one ended.
    int AttemptsEnded() const { return attemptsEnded_; }
    // The record of the last attempt that ended.
    const UpdateRecord& LastRecord() const { return lastRecord_; }
    // Cut off during a transfer: the board holds part of an image.
    bool HalfWritten() const { return halfWritten_; }

private:
    void SetLabelText(Label, const std::string&) override {}
    void SetStatusColor(TColor) override {}
    void SetButtonEnabled(Button, bool) override {}
    void SetProgressPosition(int) override {}
    void SetProgressMaximum(int) override {}
    void StepProgress() override {}
    void SetTimerEnabled(bool enabled) override { timerEnabled_ = enabled; }
    void ShowMessage(const std::string&) override {}
    // The controller ended the attempt: acted on once its step is over.
    void AttemptEnded(UpdateEnd end, const std::string& detail) override;
    void StatusUnanswered() override;

    void OnReceive();
    // Runs a controller step; a port failure ends the attempt.
    template <class Step> void Guarded(Step step);
    void BeginAttempt();
    void AfterControllerStep();
    void StartTransferIfReady();
    // Ends the attempt with the end a step left pending, if any; true when it did.
    bool EndPending();
    // Ends the attempt: its record, then the check of the restarted board after a completion,
    // else its result.
    void EndAttempt(AttemptEnd end, const std::string& detail = {}, int errorCode = 0);
    void BeginVerify(const UpdateRecord& completed);
    // `failure` empty: the board answered; its answer is checked here. `failure` goes into the
    // record, `shown` (its words in the user's language) on the screen.
    void EndVerify(const std::string& failure, const std::string& shown);
    // The attempt's result, as the output and the exit status read it.
    void PublishResult(const AttemptEnd& end, const UpdateRecord& r, const std::string& detail,
                       int errorCode);
    // After a result: the next attempt, a wait for the port to come back, or the end.
    void NextAttemptOrFinish(const AttemptEnd& end);
    // Opens the port unless another program holds it; false with the attempt ended otherwise.
    bool OpenPort(const std::vector<ComPortHolder>& holders);
    void ClosePort();

    std::string port_;
    int waitTicks_;
    bool loop_;
    int verifyTicks_ = 0;
    UpdateRecord verifyRecord_; // the completed record, until the restarted board answered
    ImageFacts image_;
    TComPort com_;
    ComPortLine line_{com_};
    UpdateState state_;
    UpdateController controller_;
    Phase phase_ = Phase::Connecting;
    bool timerEnabled_ = false;
    bool reconnect_ = false;            // the status wait ran out: connect again after this step
    std::optional<AttemptEnd> pending_; // set during a controller step, acted on after it
    std::string pendingDetail_;
    int pendingErrorCode_ = 0;
    int lastErrorCode_ = 0;
    std::vector<ComPortHolder> lastHolders_;
    int ticksWaited_ = 0;
    std::string lastSerial_;   // the board last updated on this port
    std::string failedSerial_; // a board that failed, until the line fell silent
    ReplyParserState board_;
    ReplyParserState answered_;
    std::chrono::steady_clock::time_point transferStart_{};
    std::string startTime_;
    std::optional<AttemptEnd> lastEnd_;
    int worstExitCode_ = 0;
    std::string lastDetail_;
    int attemptsEnded_ = 0;
    UpdateRecord lastRecord_;
    bool halfWritten_ = false;
    bool probe_ = false;
    // Network ports in a loop: whether their server is back, looked at off the main thread.
    std::unique_ptr<ReachCheck> reach_;
    bool identifyOnly_ = false;
    std::string socket_;
    bool skipCurrent_ = false;
    std::unique_ptr<PortTrace> trace_;
};

// Now as ISO 8601 UTC, to the second ("2026-12-08T07:01:10Z").
std::string UtcNow();
// Now as ISO 8601 UTC with milliseconds ("2026-12-08T07:01:10.042Z").
std::string UtcNowMs();
