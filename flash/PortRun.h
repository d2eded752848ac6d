#pragma once
// One port's road through an update, driven by the same controller as the window: this class
// is the controller's view, and it plays the technician (connect, start once the board is
// ready, connect again while nothing answers). Main thread only.
#include "flash/RemotePorts.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"
#include "updater/UpdateController.h"
#include "updater/UpdateLog.h"
#include "updater/UpdateState.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

enum class Outcome {
    None,
    Completed,
    GivenUp,
    NoAnswer,
    OpenFailed,
    PortError,  // the port failed after it was opened (an adapter pulled out)
    NoBoard,    // --all: nothing answered the probe; not a failure
    Unverified, // completed, but the restarted board did not answer with the new firmware
    WrongMonitor,
    Interrupted,
    AlreadyCurrent, // --skip-current: the board runs the image's version already
    Probed          // --probe: the board said who it is; nothing was sent
};

// The service log's word for it ("completed", "given-up", ...).
const char* OutcomeName(Outcome outcome);
// The record's reason: the English word for how the attempt ended and, with an error code,
// the cause in English ("port-error: adapter disconnected (EIO)"); empty for a completion.
std::string RecordReason(Outcome outcome, int errorCode);
// The exit status that stands for it; the highest of all ports is the program's.
int OutcomeExitCode(Outcome outcome);
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
    int BlocksSent() const { return state_.Controller.BlocksSent; }
    // Seconds the transfer has run.
    double TransferSeconds() const;
    // The outcome of the last attempt that ended, and its detail (an error text).
    Outcome LastOutcome() const { return lastOutcome_; }
    const std::string& LastDetail() const { return lastDetail_; }
    // Which give-up the last attempt's was, when it was one.
    UpdateEnd LastGiveUp() const { return giveUp_; }
    // The system's error code behind an open failure or a port error (0: none), and who held
    // the port when it could not be opened.
    int LastErrorCode() const { return lastErrorCode_; }
    const std::vector<ComPortHolder>& LastHolders() const { return lastHolders_; }
    // The worst outcome over every attempt (the exit status).
    Outcome WorstOutcome() const { return worst_; }
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
    void AttemptEnded(UpdateEnd end, const std::string& detail) override;
    void StatusUnanswered() override;

    void OnReceive();
    void TraceLine(const char* direction, const void* bytes, int count);
    // Runs a controller step; a port failure ends the attempt.
    template <class Step> void Guarded(Step step);
    void BeginAttempt();
    void AfterControllerStep();
    void StartTransferIfReady();
    void EndAttempt(Outcome outcome, const std::string& detail = {}, int errorCode = 0);
    void BeginVerify(const UpdateRecord& completed);
    // `failure` empty: the board answered; its answer is checked here. `failure` goes into the
    // record, `shown` (its words in the user's language) on the screen.
    void EndVerify(const std::string& failure, const std::string& shown);
    void Conclude(Outcome outcome, const UpdateRecord& r, const std::string& detail, int errorCode);
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
    UpdateState state_;
    UpdateController controller_;
    Phase phase_ = Phase::Connecting;
    bool timerEnabled_ = false;
    bool reconnect_ = false;          // the status wait ran out: connect again after this step
    Outcome pending_ = Outcome::None; // set by a message box, acted on after the step
    std::string pendingDetail_;
    UpdateEnd giveUp_ = UpdateEnd::GivenUp;
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
    Outcome lastOutcome_ = Outcome::None;
    Outcome worst_ = Outcome::None;
    std::string lastDetail_;
    int attemptsEnded_ = 0;
    UpdateRecord lastRecord_;
    bool halfWritten_ = false;
    std::FILE* trace_ = nullptr;
    bool probe_ = false;
    // Network ports in a loop: whether their server is back, looked at off the main thread.
    std::unique_ptr<ReachCheck> reach_;
    bool identifyOnly_ = false;
    std::string socket_;
    bool skipCurrent_ = false;
    TComLink traceLink_;
    std::string received_; // answer bytes read in this receive event, traced at its end
};

// Now as ISO 8601 UTC, to the second ("2026-12-08T07:01:10Z").
std::string UtcNow();
// Now as ISO 8601 UTC with milliseconds ("2026-12-08T07:01:10.042Z").
std::string UtcNowMs();
