#include "flash/PortRun.h"

#include "flash/PortList.h"
#include "flash/Printable.h"
#include "flash/Texts.h"
#include "serial/net/NetAddress.h"
#include "updater/FirmwareImage.h"
#include "updater/OpenFailure.h"

#include <ctime>
#include <utility>

namespace {

// Ticks between attempts to open a port again that went away during a loop.
constexpr int ReopenTicks = 10;

} // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Completed:
        return "completed";
    case Outcome::GivenUp:
        return "given-up";
    case Outcome::NoAnswer:
        return "no-answer";
    case Outcome::OpenFailed:
        return "open-failed";
    case Outcome::PortError:
        return UpdateEndName(UpdateEnd::PortError);
    case Outcome::NoBoard:
        return "no-board";
    case Outcome::Unverified:
        return "completed"; // the record's "verified" says the rest
    case Outcome::WrongMonitor:
        return "wrong-monitor";
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::AlreadyCurrent:
        return "already-current";
    case Outcome::Probed:
        return "probed";
    case Outcome::None:
        break;
    }
    return "";
}

std::string RecordReason(Outcome outcome, int errorCode) {
    if (outcome == Outcome::Completed || outcome == Outcome::None ||
        outcome == Outcome::AlreadyCurrent)
        return {};
    const std::string cause = errorCode > 0 ? RecordedCause(errorCode) : std::string();
    return cause.empty() ? OutcomeName(outcome) : OutcomeName(outcome) + (": " + cause);
}

int OutcomeExitCode(Outcome outcome) {
    switch (outcome) {
    case Outcome::None:
    case Outcome::Completed:
    case Outcome::NoBoard:
    case Outcome::AlreadyCurrent:
    case Outcome::Probed:
        return 0;
    case Outcome::OpenFailed:
    case Outcome::PortError:
        return 2;
    case Outcome::NoAnswer:
        return 3;
    case Outcome::WrongMonitor:
        return 4;
    case Outcome::GivenUp:
        return 5;
    case Outcome::Unverified:
        return 6;
    case Outcome::Interrupted:
        return 130;
    }
    return 1;
}

std::string UtcNow() {
    return Iso8601Utc(std::chrono::system_clock::now());
}

std::string UtcNowMs() {
    auto now = std::chrono::system_clock::now();
    std::string text = Iso8601Utc(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms.count()));
    text.insert(text.size() - 1, fraction); // before the "Z"
    return text;
}

PortRun::PortRun(std::string port, int waitTicks, bool loop, const ImageFacts& image)
    : port_(std::move(port)), waitTicks_(waitTicks), loop_(loop), image_(image),
      controller_(*this, com_, state_) {
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
    if (trace_)
        com_.UnRegisterLink(&traceLink_);
}

void PortRun::SetTrace(std::FILE* trace) {
    if (trace_ || !trace)
        return;
    trace_ = trace;
    traceLink_.TxBufHandler = [this](TComponent*, const void* bytes, int count) {
        // An answer read in this event goes first: the frame written now is its consequence.
        if (!received_.empty()) {
            TraceLine("<", received_.data(), static_cast<int>(received_.size()));
            received_.clear();
        }
        TraceLine(">", bytes, count);
    };
    com_.RegisterLink(&traceLink_);
    com_.OnReadTrace = [this](TComponent*, const void* bytes, int count) {
        received_.append(static_cast<const char*>(bytes), static_cast<size_t>(count));
    };
}

void PortRun::TraceLine(const char* direction, const void* bytes, int count) {
    // Text as it is, every other byte (the scrambled frame body) in hex.
    std::string shown;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (int i = 0; i < count; ++i) {
        char hex[8];
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '\\') {
            shown += static_cast<char>(p[i]);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", p[i]);
            shown += hex;
        }
    }
    std::fprintf(trace_, "%s %s %s %s (%d)\n", UtcNowMs().c_str(), Printable(port_).c_str(),
                 direction, shown.c_str(), count);
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
        EndAttempt(Outcome::OpenFailed, {}, EBUSY);
        return false;
    }
    try {
        com_.Open();
    } catch (const EComPort& e) {
        if (e.WinErrorCode == EBUSY || e.WinErrorCode == EAGAIN)
            lastHolders_ = ComPortHolders(port_);
        EndAttempt(Outcome::OpenFailed, e.what(), e.WinErrorCode);
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
    pending_ = Outcome::None;
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
            pending_ = Outcome::PortError;
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
        !state_.Controller.BoardReady && ++ticksWaited_ >= limit && pending_ == Outcome::None)
        pending_ = Outcome::NoAnswer;
    AfterControllerStep();
}

void PortRun::OnReceive() {
    if (phase_ == Phase::Finished)
        return;
    Guarded([this] { controller_.ReceiveBytes(); });
    if (trace_ && !received_.empty()) {
        TraceLine("<", received_.data(), static_cast<int>(received_.size()));
        received_.clear();
    }
    AfterControllerStep();
}

void PortRun::AfterControllerStep() {
    // A status reply has come in whole and the parser waits for the next one.
    if (state_.Controller.BoardReady && state_.Parser.ParserState == ParserStates::MonitorReplies)
        answered_ = state_.Parser;
    if (pending_ != Outcome::None) {
        Outcome outcome = pending_;
        pending_ = Outcome::None;
        EndAttempt(outcome, std::exchange(pendingDetail_, {}), std::exchange(pendingErrorCode_, 0));
        return;
    }
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
        EndAttempt(Outcome::Probed);
        return;
    }
    // A file's version is unknown: only the built-in image can be found current.
    if (skipCurrent_ && !image_.FirmwareWritten.empty() &&
        board_.FirmwareVersion == image_.FirmwareWritten) {
        EndAttempt(Outcome::AlreadyCurrent);
        return;
    }
    Guarded([this] { controller_.BtIniciaClick(); });
    if (state_.Controller.Updating) {
        phase_ = Phase::Transferring;
        transferStart_ = std::chrono::steady_clock::now();
    }
    if (pending_ != Outcome::None) {
        Outcome outcome = pending_;
        pending_ = Outcome::None;
        EndAttempt(outcome, std::exchange(pendingDetail_, {}), std::exchange(pendingErrorCode_, 0));
    }
}

void PortRun::StatusUnanswered() {
    if (phase_ != Phase::Transferring)
        reconnect_ = true;
    // Nothing on the line: the board that failed was taken off or is being restarted.
    if (phase_ == Phase::Waiting)
        failedSerial_.clear();
}

void PortRun::AttemptEnded(UpdateEnd end, const std::string& detail) {
    switch (end) {
    case UpdateEnd::Completed:
        // A stray completion reply outside a transfer completes nothing.
        if (phase_ == Phase::Transferring)
            pending_ = Outcome::Completed;
        break;
    case UpdateEnd::GivenUp:
    case UpdateEnd::Refused:
    case UpdateEnd::SlowAnswers:
    case UpdateEnd::OutOfStep:
        pending_ = Outcome::GivenUp;
        pendingDetail_ = detail;
        giveUp_ = end;
        break;
    case UpdateEnd::NoAnswer:
        pending_ = Outcome::NoAnswer;
        break;
    case UpdateEnd::IncompatibleMonitor:
        pending_ = Outcome::WrongMonitor;
        break;
    case UpdateEnd::PortError:
        pending_ = Outcome::PortError;
        pendingDetail_ = detail;
        break;
    case UpdateEnd::Interrupted:
        // Only our own close ends a transfer that way, and it says how the attempt ended.
        break;
    }
}

void PortRun::EndAttempt(Outcome outcome, const std::string& detail, int errorCode) {
    if (phase_ == Phase::Verifying) {
        // Whatever ends the wait, the board did not answer after its restart.
        if (outcome == Outcome::PortError)
            EndVerify("port error: " + RecordedCause(errorCode),
                      TrFormat("port error: %s", {detail}));
        else
            EndVerify("no answer after the restart", Tr("no answer after the restart"));
        return;
    }
    if (outcome == Outcome::NoAnswer && probe_ && board_.BoardName.empty() &&
        state_.Parser.BoardName.empty())
        outcome = Outcome::NoBoard;
    // What the board told of itself, if anything (an identification gives no serial number).
    if (!state_.Parser.BoardName.empty())
        board_ = state_.Parser;
    UpdateRecord r = MakeUpdateRecord(state_, port_, OutcomeName(outcome));
    r.Reason = RecordReason(outcome, errorCode);
    r.Socket = socket_;
    if (outcome == Outcome::OpenFailed)
        r.HeldBy = HeldBy(lastHolders_);
    // The attempt, not only its transfer: a board that never answered has a record too.
    r.Start = startTime_;
    r.Board = board_.BoardName;
    r.SerialNumber = board_.SerialNumber;
    r.FirmwareBefore = board_.FirmwareVersion;
    r.MonitorVersion = board_.MonitorVersion;
    r.FirmwareWritten = outcome == Outcome::Completed ? image_.FirmwareWritten : std::string();
    r.ImageFile = image_.File;
    r.ImageSha256 = image_.Sha256;
    if (outcome == Outcome::GivenUp)
        r.Reason = EndReason(giveUp_, detail);
    if (outcome == Outcome::Completed && verifyTicks_ > 0 && com_.Connected()) {
        BeginVerify(r);
        return;
    }
    Conclude(outcome, r, detail, errorCode);
}

void PortRun::BeginVerify(const UpdateRecord& completed) {
    verifyRecord_ = completed;
    // The restarted board runs its normal firmware: connect as for an update.
    state_ = UpdateState{};
    answered_ = {};
    phase_ = Phase::Verifying;
    ticksWaited_ = 0;
    reconnect_ = false;
    pending_ = Outcome::None;
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
    Conclude(why.empty() ? Outcome::Completed : Outcome::Unverified, r, screen, 0);
}

void PortRun::Conclude(Outcome outcome, const UpdateRecord& r, const std::string& detail,
                       int errorCode) {
    lastRecord_ = r;
    lastOutcome_ = outcome;
    lastDetail_ = detail;
    lastErrorCode_ = errorCode;
    if (outcome != Outcome::OpenFailed)
        lastHolders_.clear();
    if (OutcomeExitCode(outcome) > OutcomeExitCode(worst_))
        worst_ = outcome;
    ++attemptsEnded_;
    if (outcome == Outcome::Completed || outcome == Outcome::Unverified ||
        outcome == Outcome::AlreadyCurrent || outcome == Outcome::Probed) {
        // An updated board is waited out while it stays on the line.
        lastSerial_ = board_.SerialNumber;
        failedSerial_.clear();
    } else {
        failedSerial_ = board_.SerialNumber;
    }
    if (loop_ && outcome != Outcome::OpenFailed && outcome != Outcome::Interrupted &&
        outcome != Outcome::PortError && com_.Connected()) {
        BeginAttempt();
        return;
    }
    if (loop_ && outcome != Outcome::Interrupted && outcome != Outcome::OpenFailed) {
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
        worst_ = Outcome::Interrupted;
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
        EndAttempt(Outcome::Interrupted);
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
