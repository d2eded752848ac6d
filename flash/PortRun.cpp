#include "flash/PortRun.h"

#include "flash/PortList.h"
#include "flash/Printable.h"
#include "flash/Texts.h"
#include "serial/net/NetAddress.h"
#include "updater/FirmwareImage.h"
#include "updater/OpenFailure.h"

#include <algorithm>
#include <ctime>
#include <utility>

namespace {

// Ticks between attempts to open a port again that went away during a loop.
constexpr int ReopenTicks = 10;

} // namespace

const char* ResultName(const AttemptEnd& end) {
    if (const auto* own = std::get_if<PortEnd>(&end)) {
        switch (*own) {
        case PortEnd::OpenFailed:
            return "open-failed";
        case PortEnd::NoBoard:
            return "no-board";
        case PortEnd::Unverified:
            break; // the record's "verified" says the rest
        case PortEnd::AlreadyCurrent:
            return "already-current";
        case PortEnd::Probed:
            return "probed";
        }
        return UpdateEndName(UpdateEnd::Completed);
    }
    // Every give-up has the one result; the reason says which it was.
    const UpdateEnd e = std::get<UpdateEnd>(end);
    return UpdateEndName(IsGiveUp(e) ? UpdateEnd::GivenUp : e);
}

namespace {

// The record's reason: the English word for how the attempt ended and, with an error code,
// the cause in English ("port-error: adapter disconnected (EIO)"); empty for a completion.
std::string RecordReason(const AttemptEnd& end, int errorCode) {
    if (end == AttemptEnd{UpdateEnd::Completed} || end == AttemptEnd{PortEnd::AlreadyCurrent})
        return {};
    const std::string cause = errorCode > 0 ? RecordedCause(errorCode) : std::string();
    return cause.empty() ? ResultName(end) : ResultName(end) + (": " + cause);
}

// The exit status that stands for it; the highest of all ports is the program's.
int ExitCode(const AttemptEnd& end) {
    if (const auto* own = std::get_if<PortEnd>(&end)) {
        switch (*own) {
        case PortEnd::NoBoard:
        case PortEnd::AlreadyCurrent:
        case PortEnd::Probed:
            return 0;
        case PortEnd::OpenFailed:
            return 2;
        case PortEnd::Unverified:
            return 6;
        }
        return 1;
    }
    switch (std::get<UpdateEnd>(end)) {
    case UpdateEnd::Completed:
        return 0;
    case UpdateEnd::PortError:
        return 2;
    case UpdateEnd::NoAnswer:
        return 3;
    case UpdateEnd::IncompatibleMonitor:
        return 4;
    case UpdateEnd::GivenUp:
    case UpdateEnd::Refused:
    case UpdateEnd::SlowAnswers:
    case UpdateEnd::OutOfStep:
        return 5;
    case UpdateEnd::Interrupted:
        return 130;
    }
    return 1;
}

} // namespace

std::string UtcNow() {
    return Iso8601Utc(std::chrono::system_clock::now());
}

std::string UtcNowMs() {
    return Iso8601UtcMs(std::chrono::system_clock::now());
}

PortRun::PortRun(std::string port, int waitTicks, bool loop, const ImageFacts& image)
    : port_(std::move(port)), waitTicks_(waitTicks), loop_(loop), image_(image),
      controller_(*this, line_, state_) {
    if (IsNetPortName(port_))
        reach_ = std::make_unique<ReachCheck>(port_);
    // The window's line settings.
    com_.SetPort(port_);
    com_.SetBaudRate(br9600);
    com_.Parity().SetBits(prNone);
    com_.SetStopBits(sbOneStopBit);
    com_.SetDataBits(dbEight);
    com_.FlowControl().SetControlDTR(dtrEnable);
    com_.FlowControl().SetControlRTS(rtsDisable);
    // Received bytes are all the flasher listens to; other events would only cost a hand-over
    // to the main thread each (a transmit-empty one per frame).
    com_.SetEvents({evRxChar});
    com_.OnRxChar = [this](TComponent*, int) { OnReceive(); };
}

PortRun::~PortRun() {
    com_.OnRxChar = nullptr;
    ClosePort();
}

void PortRun::SetTrace(std::FILE* trace) {
    if (trace_ || !trace)
        return;
    trace_ = std::make_unique<PortTrace>(com_, port_, trace);
}

double PortRun::TransferSeconds() const {
    if (phase_ != Phase::Transferring)
        return 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - transferStart_).count();
}

void PortRun::Start(const std::vector<ComPortHolder>& holders) {
    startTime_ = UtcNow();
    if (!OpenPort(holders)) {
        phase_ = Phase::Finished;
        return;
    }
    BeginAttempt();
}

bool PortRun::OpenPort(const std::vector<ComPortHolder>& holders) {
    // A program that merely has the port open (a forgotten cat, a terminal) takes no lock,
    // yet it would read the board's answers before we do.
    lastHolders_ = holders;
    if (!lastHolders_.empty()) {
        EndAttempt(PortEnd::OpenFailed, {}, EBUSY);
        return false;
    }
    try {
        com_.Open();
    } catch (const EComPort& e) {
        if (e.WinErrorCode == EBUSY || e.WinErrorCode == EAGAIN)
            lastHolders_ = ComPortHolders(port_);
        EndAttempt(PortEnd::OpenFailed, e.what(), e.WinErrorCode);
        return false;
    }
    return true;
}

void PortRun::BeginAttempt() {
    state_ = UpdateState{};
    board_ = {};
    answered_ = {};
    phase_ = loop_ ? Phase::Waiting : Phase::Connecting;
    ticksWaited_ = 0;
    reconnect_ = false;
    pending_.reset();
    Guarded([this] { controller_.BtConectaClick(); });
}

template <class Step> void PortRun::Guarded(Step step) {
    try {
        step();
    } catch (const std::exception& e) {
        // The device failed under us (an adapter pulled out, a line hung up).
        const auto* port = dynamic_cast<const EComPort*>(&e);
        if (loop_ && phase_ != Phase::Transferring && phase_ != Phase::Verifying) {
            ClosePort();
        } else {
            pending_ = UpdateEnd::PortError;
            pendingDetail_ = e.what();
            pendingErrorCode_ = port ? port->WinErrorCode : -1;
        }
    }
}

void PortRun::Tick() {
    if (phase_ == Phase::Finished)
        return;
    if (!com_.Connected()) {
        // In a loop only: the port went away; look for it again now and then.
        if (++ticksWaited_ % ReopenTicks == 0) {
            // Quietly: the technician sees the next board, not every failed look.
            if (!ComPortHolders(port_).empty() || (reach_ && !reach_->Reachable()))
                return;
            try {
                com_.Open();
            } catch (const EComPort&) {
                return;
            }
            failedSerial_.clear(); // the line was away, and the board with it
            BeginAttempt();
        }
        return;
    }
    if (timerEnabled_)
        Guarded([this] { controller_.TimeoutTimer(); });
    const int limit = phase_ == Phase::Verifying ? verifyTicks_ : waitTicks_;
    if ((phase_ == Phase::Connecting || phase_ == Phase::Verifying) &&
        !state_.Controller.BoardReady && ++ticksWaited_ >= limit && !pending_)
        pending_ = UpdateEnd::NoAnswer;
    AfterControllerStep();
}

void PortRun::OnReceive() {
    if (phase_ == Phase::Finished)
        return;
    Guarded([this] { controller_.ReceiveBytes(); });
    if (trace_)
        trace_->ReceiveEnded();
    AfterControllerStep();
}

void PortRun::AfterControllerStep() {
    // A status reply has come in whole and the parser waits for the next one.
    if (state_.Controller.BoardReady && state_.Parser.ParserState == ParserStates::MonitorReplies)
        answered_ = state_.Parser;
    if (EndPending())
        return;
    if (reconnect_ && com_.Connected()) {
        // Nothing answered the status query: try the normal firmware again, as the
        // technician would press "Conectar" (a board may be switched on later).
        reconnect_ = false;
        Guarded([this] { controller_.BtConectaClick(); });
    }
    StartTransferIfReady();
}

void PortRun::StartTransferIfReady() {
    if ((phase_ != Phase::Connecting && phase_ != Phase::Waiting && phase_ != Phase::Verifying) ||
        !state_.Controller.BoardReady)
        return;
    // Between two replies only: while the next status reply arrives, the parser holds half a
    // serial number ("B2000" of "B20001"), which must not pass for another board.
    if (state_.Parser.ParserState != ParserStates::MonitorReplies)
        return;
    if (phase_ == Phase::Verifying) {
        EndVerify({}, {});
        return;
    }
    if (phase_ == Phase::Waiting) {
        // In a loop the board just updated stays on the line until it is swapped.
        if (!lastSerial_.empty() && state_.Parser.SerialNumber == lastSerial_)
            return;
        // A board that failed is tried again once it was off the line (taken off or
        // restarted), not at once and for ever.
        if (!failedSerial_.empty() && state_.Parser.SerialNumber == failedSerial_)
            return;
        startTime_ = UtcNow();
    }
    board_ = state_.Parser;
    if (identifyOnly_) {
        EndAttempt(PortEnd::Probed);
        return;
    }
    // A file's version is unknown: only the built-in image can be found current.
    if (skipCurrent_ && !image_.FirmwareWritten.empty() &&
        board_.FirmwareVersion == image_.FirmwareWritten) {
        EndAttempt(PortEnd::AlreadyCurrent);
        return;
    }
    Guarded([this] { controller_.BtIniciaClick(); });
    if (state_.Controller.Updating) {
        phase_ = Phase::Transferring;
        transferStart_ = std::chrono::steady_clock::now();
    }
    EndPending();
}

bool PortRun::EndPending() {
    if (!pending_)
        return false;
    const AttemptEnd end = *std::exchange(pending_, std::nullopt);
    EndAttempt(end, std::exchange(pendingDetail_, {}), std::exchange(pendingErrorCode_, 0));
    return true;
}

void PortRun::StatusUnanswered() {
    if (phase_ != Phase::Transferring)
        reconnect_ = true;
    // Nothing on the line: the board that failed was taken off or is being restarted.
    if (phase_ == Phase::Waiting)
        failedSerial_.clear();
}

void PortRun::AttemptEnded(UpdateEnd end, const std::string& detail) {
    // A stray completion reply outside a transfer completes nothing.
    if (end == UpdateEnd::Completed && phase_ != Phase::Transferring)
        return;
    // Only our own close ends a transfer that way, and it says how the attempt ended.
    if (end == UpdateEnd::Interrupted)
        return;
    pending_ = end;
    pendingDetail_ = detail;
}

void PortRun::EndAttempt(AttemptEnd end, const std::string& detail, int errorCode) {
    if (phase_ == Phase::Verifying) {
        // Whatever ends the wait, the board did not answer after its restart.
        if (end == AttemptEnd{UpdateEnd::PortError})
            EndVerify("port error: " + RecordedCause(errorCode),
                      TrFormat("port error: %s", {detail}));
        else
            EndVerify("no answer after the restart", Tr("no answer after the restart"));
        return;
    }
    if (end == AttemptEnd{UpdateEnd::NoAnswer} && probe_ && board_.BoardName.empty() &&
        state_.Parser.BoardName.empty())
        end = PortEnd::NoBoard;
    // What the board told of itself, if anything (an identification gives no serial number).
    if (!state_.Parser.BoardName.empty())
        board_ = state_.Parser;
    const bool completed = end == AttemptEnd{UpdateEnd::Completed};
    UpdateRecord r = MakeUpdateRecord(state_, port_, ResultName(end));
    r.Reason = RecordReason(end, errorCode);
    r.Socket = socket_;
    if (end == AttemptEnd{PortEnd::OpenFailed})
        r.HeldBy = HeldBy(lastHolders_);
    // The attempt, not only its transfer: a board that never answered has a record too.
    r.Start = startTime_;
    r.Board = board_.BoardName;
    r.SerialNumber = board_.SerialNumber;
    r.FirmwareBefore = board_.FirmwareVersion;
    r.MonitorVersion = board_.MonitorVersion;
    r.FirmwareWritten = completed ? image_.FirmwareWritten : std::string();
    r.ImageFile = image_.File;
    r.ImageSha256 = image_.Sha256;
    if (const auto* e = std::get_if<UpdateEnd>(&end); e && IsGiveUp(*e))
        r.Reason = EndReason(*e, detail);
    if (completed && verifyTicks_ > 0 && com_.Connected()) {
        BeginVerify(r);
        return;
    }
    PublishResult(end, r, detail, errorCode);
    NextAttemptOrFinish(end);
}

void PortRun::BeginVerify(const UpdateRecord& completed) {
    verifyRecord_ = completed;
    // The restarted board runs its normal firmware: connect as for an update.
    state_ = UpdateState{};
    answered_ = {};
    phase_ = Phase::Verifying;
    ticksWaited_ = 0;
    reconnect_ = false;
    pending_.reset();
    Guarded([this] { controller_.BtConectaClick(); });
}

void PortRun::EndVerify(const std::string& failure, const std::string& shown) {
    UpdateRecord r = verifyRecord_;
    // The record's words are English like its other fields; the screen's are the user's.
    std::string why = failure, screen = shown;
    if (why.empty()) {
        const ReplyParserState& p = state_.Parser;
        r.FirmwareAfter = p.FirmwareVersion;
        // A file's version is unknown: that the board starts again is all there is to check.
        if (p.SerialNumber != r.SerialNumber) {
            why = "board " + p.SerialNumber + " answered after the restart";
            screen = TrFormat("board %s answered after the restart", {p.SerialNumber});
        } else if (!image_.FirmwareWritten.empty() && p.FirmwareVersion != image_.FirmwareWritten) {
            why = "firmware " + p.FirmwareVersion + " after the restart, " +
                  image_.FirmwareWritten + " expected";
            screen = TrFormat("firmware %s after the restart, %s expected",
                              {p.FirmwareVersion, image_.FirmwareWritten});
        }
    }
    r.Verified = why.empty();
    r.End = UtcNow();
    if (!why.empty())
        r.Reason = "not-verified: " + why;
    const AttemptEnd end = why.empty() ? AttemptEnd{UpdateEnd::Completed} : PortEnd::Unverified;
    PublishResult(end, r, screen, 0);
    NextAttemptOrFinish(end);
}

void PortRun::PublishResult(const AttemptEnd& end, const UpdateRecord& r, const std::string& detail,
                            int errorCode) {
    lastRecord_ = r;
    lastEnd_ = end;
    lastDetail_ = detail;
    lastErrorCode_ = errorCode;
    if (end != AttemptEnd{PortEnd::OpenFailed})
        lastHolders_.clear();
    worstExitCode_ = std::max(worstExitCode_, ExitCode(end));
    ++attemptsEnded_;
}

void PortRun::NextAttemptOrFinish(const AttemptEnd& end) {
    if (end == AttemptEnd{UpdateEnd::Completed} || end == AttemptEnd{PortEnd::Unverified} ||
        end == AttemptEnd{PortEnd::AlreadyCurrent} || end == AttemptEnd{PortEnd::Probed}) {
        // An updated board is waited out while it stays on the line.
        lastSerial_ = board_.SerialNumber;
        failedSerial_.clear();
    } else {
        failedSerial_ = board_.SerialNumber;
    }
    const bool interrupted = end == AttemptEnd{UpdateEnd::Interrupted};
    const bool openFailed = end == AttemptEnd{PortEnd::OpenFailed};
    if (loop_ && !openFailed && !interrupted && end != AttemptEnd{UpdateEnd::PortError} &&
        com_.Connected()) {
        BeginAttempt();
        return;
    }
    if (loop_ && !interrupted && !openFailed) {
        ClosePort();
        phase_ = Phase::Waiting; // the port went away: Tick opens it again
        ticksWaited_ = 0;
        return;
    }
    ClosePort();
    phase_ = Phase::Finished;
}

void PortRun::Interrupt() {
    if (phase_ == Phase::Finished)
        return;
    halfWritten_ = phase_ == Phase::Transferring && state_.Controller.Updating;
    if (phase_ == Phase::Verifying) {
        // The update is done; only its check was cut short.
        com_.OnRxChar = nullptr;
        ClosePort();
        loop_ = false;
        EndVerify("interrupted before the board answered",
                  Tr("interrupted before the board answered"));
        worstExitCode_ = ExitCode(UpdateEnd::Interrupted);
        phase_ = Phase::Finished;
        return;
    }
    // A loop waiting for its next board has no attempt to report.
    bool attempt = phase_ != Phase::Waiting;
    // Closing runs the receive events still queued: an answer among them must not send on.
    com_.OnRxChar = nullptr;
    ClosePort();
    if (attempt) {
        loop_ = false;
        EndAttempt(UpdateEnd::Interrupted);
    }
    phase_ = Phase::Finished;
}

void PortRun::ClosePort() {
    timerEnabled_ = false;
    if (!com_.Connected())
        return;
    // A close ends a running transfer, so the board's replies count again after a re-open.
    controller_.PortClosing();
    try {
        com_.ClearBuffer(true, true);
    } catch (const EComPort&) {
    }
    try {
        com_.Close();
    } catch (const EComPort&) {
    }
}
