#include "updater/UpdateController.h"

#include "updater/BoardContract.h"
#include "updater/UpdateState.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

using namespace UpdateProtocol;

namespace {

// A countdown step: true when the counter was running and has just run out.
bool Expires(int32_t& counter) {
    return counter != 0 && --counter == 0;
}

std::string VersionsText(const ReplyParserState& parser) {
    return "V" + parser.FirmwareVersion + " M" + parser.MonitorVersion;
}

} // namespace

std::string UpdateController::ProgressText() const {
    return UpdateTexts::Updating + std::to_string(state_.Controller.Transfer.BlocksSent) + "/" +
           std::to_string(BlockCount);
}

void UpdateController::ArmStatusPoll() {
    state_.Controller.PendingCommand = StatusQuery;
    state_.Controller.StatusWaitTicks = StatusWait;
    state_.Controller.CommandDelayTicks = CommandDelay;
    state_.HeaderKey = BoardContract::InitialHeaderKey;
}

void UpdateController::ShowNoAnswer(bool endTransfer) {
    view_.SetLabelText(UpdateView::LbStatus, UpdateTexts::NoAnswer);
    view_.SetStatusColor(clStatusRed);
    view_.SetLabelText(UpdateView::LbPlaca, "-");
    view_.SetLabelText(UpdateView::LbVersao1, "-");
    view_.SetLabelText(UpdateView::LbSerial, "-");
    state_.Controller.BoardReady = false;
    if (endTransfer)
        state_.Controller.Updating = false;
    view_.SetButtonEnabled(UpdateView::BtConecta, true);
}

void UpdateController::BtConectaClick() {
    if (state_.Controller.BoardReady)
        return;
    port_.SetBaudRate(BoardContract::NormalFirmwareBaud);
    state_.Controller.PendingCommand = EnterBootCommand;
    state_.Controller.CommandDelayTicks = CommandDelay;
    state_.Parser.ParserState = ParserStates::Identification;
    state_.Controller.ConnectWaitTicks = ConnectWait;
    view_.SetTimerEnabled(true);
    view_.SetButtonEnabled(UpdateView::BtConecta, false);
}

void UpdateController::BtIniciaClick() {
    if (!state_.Controller.BoardReady) {
        view_.AttemptEnded(UpdateEnd::NoAnswer, {});
        view_.ShowMessage(UpdateTexts::BoardNotReady);
        return;
    }
    if (state_.Parser.MonitorVersion != "1.0") {
        view_.AttemptEnded(UpdateEnd::IncompatibleMonitor, {});
        view_.ShowMessage(UpdateTexts::WrongMonitor);
        return;
    }
    // Blocks below the first application address would overwrite the boot monitor.
    FirmwareBlock* first = FirstBlock;
    while (first && first->Address() < BoardContract::FirstApplicationAddress)
        first = first->Next;
    if (!first) {
        // Refuse before anything changes: there is no block to start the transfer with.
        view_.ShowMessage(UpdateTexts::NothingToSend);
        return;
    }
    state_.CurrentBlock = first;
    state_.TransferFirst = first;
    view_.SetTimerEnabled(false);
    ControllerState& c = state_.Controller;
    c.Updating = true;
    c.CommandDelayTicks = 0;
    StopWaits();
    c.AckWaitTicks = AckWait;
    c.Transfer = {};
    c.Transfer.Start = std::chrono::system_clock::now();
    for (FirmwareBlock* b = first; b; b = b->Next)
        ++c.Transfer.TransferBlocks;
    view_.SetProgressPosition(0);
    view_.SetProgressMaximum(BlockCount);
    view_.SetButtonEnabled(UpdateView::BtInicia, false);
    // The purge before the frame drops whatever is left of a half-read status reply.
    try {
        SendCurrent();
    } catch (const std::exception& e) {
        // Nothing is on its way: end the transfer and leave the window as after a give-up, so
        // "Conectar" works at once; the error box follows.
        PortFailed(e.what());
        view_.SetTimerEnabled(true);
        throw;
    }
    // Restarting the timer gives the first frame a full period before the first tick.
    view_.SetTimerEnabled(true);
    view_.SetStatusColor(clStatusGreen);
    view_.SetLabelText(UpdateView::LbStatus, ProgressText());
}

void UpdateController::TimeoutTimer() {
    if (Expires(state_.Controller.CommandDelayTicks)) {
        port_.WriteStr(state_.Controller.PendingCommand);
        state_.Controller.PendingCommand.clear();
    }
    if (Expires(state_.Controller.ConnectWaitTicks)) {
        // The normal firmware did not answer: the board may already sit in its boot monitor.
        port_.SetBaudRate(BoardContract::BootMonitorBaud);
        port_.WriteStr(StatusQuery);
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        state_.Controller.StatusWaitTicks = StatusWait;
        state_.Controller.BoardReady = false;
        view_.SetButtonEnabled(UpdateView::BtConecta, true);
    }
    if (Expires(state_.Controller.StatusWaitTicks)) {
        ShowNoAnswer(false);
        view_.StatusUnanswered();
        port_.SetBaudRate(BoardContract::BootMonitorBaud);
        port_.WriteStr(StatusQuery);
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        state_.Controller.StatusWaitTicks = StatusWait;
    }
    ControllerState& c = state_.Controller;
    TransferProgress& t = c.Transfer;
    if (t.Draining)
        ForgetLostCopies();
    if (t.Quiet) {
        if (port_.SteadyMs() - t.LastFrameMs >=
            std::clamp<int64_t>(2 * t.SlowestAnswerMs, QuietMs, AckWait * 100)) {
            t.Quiet = false;
            c.AckWaitTicks = WaitTicks();
            SendCurrent();
        }
    } else if (t.ResendDue) {
        t.ResendDue = false;
        c.AckWaitTicks = WaitTicks();
        ++t.Resends;
        SendCurrent();
    } else if (Expires(c.AckWaitTicks)) {
        // Not a fault yet: the answer may still come, and be an acceptance.
        RetryOrGiveUp();
    }
}

void UpdateController::ReceiveBytes() {
    ControllerState& c = state_.Controller;
    {
        // A port that fails mid-read must not leave the next frame held back.
        struct Reading {
            ControllerState& c;
            ~Reading() { c.Reading = false; }
        } reading{c};
        c.Reading = true;
        while (port_.InputCount() != 0) {
            uint8_t b = 0;
            port_.Read(&b, 1);
            ParseReplyByte(state_.Parser, c.Updating, b, *this);
        }
    }
    if (std::exchange(c.Transfer.SendNextDue, false) && c.Updating)
        SendNext();
}

void UpdateController::RetryOrGiveUp() {
    TransferProgress& t = state_.Controller.Transfer;
    --t.AckRetries;
    if (t.AckRetries != 0) {
        state_.Controller.AckWaitTicks = WaitTicks();
        ++t.Resends;
        SendCurrent();
    } else {
        GiveUpUnanswered();
    }
}

void UpdateController::SendCurrent() {
    TransferProgress& t = state_.Controller.Transfer;
    if (state_.CurrentBlock) {
        // Owed from now: a write that fails half-way may still have put the frame on the line.
        t.LastFrameMs = port_.SteadyMs();
        t.OwedCopies.push_back(t.LastFrameMs);
        t.CopiesOrdinal = t.BlockOrdinal;
        SendBlockFrame(port_, *state_.CurrentBlock, state_.HeaderKey, port_.CalendarSeconds());
    } else {
        // After the last block the closing command is what is waiting for its answer.
        t.ClosingSent = true;
        port_.Write(ClosingCommand, 4);
    }
}

void UpdateController::SendNext() {
    ControllerState& c = state_.Controller;
    TransferProgress& t = c.Transfer;
    t.Draining = false;
    if (c.Reading) {
        // The frame's purge would drop the answers already waiting behind this one: they are
        // read first, and one of them now is an answer too many.
        t.SendNextDue = true;
        c.AckWaitTicks = 0;
        return;
    }
    c.AckWaitTicks = WaitTicks();
    if (t.ReplayLeft == 0) {
        if (t.ReplayFrom >= 0 && (t.NextNew > t.ReplayUntil || t.NextNew == t.TransferBlocks)) {
            if (!StartReplay())
                return;
        } else {
            t.BlockOrdinal = t.NextNew;
        }
    }
    state_.CurrentBlock = state_.TransferFirst;
    for (int i = 0; i < t.BlockOrdinal && state_.CurrentBlock; ++i)
        state_.CurrentBlock = state_.CurrentBlock->Next;
    if (state_.CurrentBlock) {
        SendCurrent();
        return;
    }
    // Every block accepted, nothing owed: "<F@>" after the quiet time.
    c.AckWaitTicks = 0;
    t.Quiet = true;
}

bool UpdateController::StartReplay() {
    TransferProgress& t = state_.Controller.Transfer;
    if (++t.ReplayChain > EndReplayLimit) {
        GiveUp(t.Refusals > 0 ? UpdateEnd::Refused : UpdateEnd::GivenUp,
               "faults kept coming while blocks were sent again");
        return false;
    }
    // The blocks the fault hit, at least seven; at the end of the image the seven before it,
    // and a short image round again until seven have gone.
    const int32_t start = std::min(t.ReplayFrom, std::max(0, t.ReplayUntil - (EndBlocks - 1)));
    t.ReplayLeft = std::max(EndBlocks, t.ReplayUntil - start + 1);
    t.BlockOrdinal = start;
    t.ReplayFrom = t.ReplayUntil = -1;
    ++t.Replays;
    return true;
}

void UpdateController::Accept() {
    ControllerState& c = state_.Controller;
    TransferProgress& t = c.Transfer;
    t.AckRetries = SendBudget;
    t.BlockRefusals = 0;
    t.ResendDue = false;
    if (t.BlockOrdinal == t.NextNew) {
        view_.StepProgress();
        ++t.BlocksSent;
        ++t.NextNew;
        t.ReplayChain = 0; // a block never sent before: the blocks sent again went through
        view_.SetLabelText(UpdateView::LbStatus, ProgressText());
    }
    if (t.ReplayLeft > 0) {
        t.BlockOrdinal = (t.BlockOrdinal + 1) % t.TransferBlocks;
        --t.ReplayLeft;
    }
    if (t.OwedCopies.empty()) {
        SendNext();
    } else {
        // Answers of the block's other copies are still on their way; taken for the next
        // block they would move the transfer past it unsent.
        t.Draining = true;
        c.AckWaitTicks = 0;
    }
}

void UpdateController::Refused() {
    TransferProgress& t = state_.Controller.Transfer;
    ++t.Refusals;
    if (++t.BlockRefusals >= RefusalLimit) {
        char detail[64];
        static_assert(RefusalLimit == 10, "the text says ten");
        std::snprintf(detail, sizeof detail, "the board refused block 0x%04X ten times",
                      state_.CurrentBlock ? unsigned(state_.CurrentBlock->Address()) : 0u);
        GiveUp(UpdateEnd::Refused, detail);
    } else if (t.OwedCopies.empty()) {
        t.ResendDue = true;
    }
    // Otherwise another copy is still owed its answer, which comes first.
}

void UpdateController::NoteFault(int32_t ordinal) {
    TransferProgress& t = state_.Controller.Transfer;
    const int32_t until = std::min(ordinal + EndBlocks - 1, t.TransferBlocks - 1);
    t.ReplayFrom = t.ReplayFrom < 0 ? ordinal : std::min(t.ReplayFrom, ordinal);
    t.ReplayUntil = std::max(t.ReplayUntil, until);
}

void UpdateController::TimeAnswer() {
    TransferProgress& t = state_.Controller.Transfer;
    // Sent after the newest copy the answer cannot be: its time counts from there; with one
    // copy owed that is exact.
    const int64_t ms = port_.SteadyMs() - t.OwedCopies.back();
    t.SlowestAnswerMs = std::max(t.SlowestAnswerMs, ms);
    t.AnswerTimed = t.AnswerTimed || t.OwedCopies.size() == 1;
}

int UpdateController::WaitTicks() const {
    const int64_t ticks = 2 * state_.Controller.Transfer.SlowestAnswerMs / 100 + 2;
    return static_cast<int>(std::clamp<int64_t>(ticks, AckWait, OwedAnswerLimit));
}

void UpdateController::ForgetLostCopies() {
    TransferProgress& t = state_.Controller.Transfer;
    const int64_t limit = t.AnswerTimed ? std::clamp<int64_t>(LostCopyFactor * t.SlowestAnswerMs,
                                                              LostCopyMs, OwedAnswerLimit * 100)
                                        : OwedAnswerLimit * 100;
    const int64_t now = port_.SteadyMs();
    bool lost = false;
    while (!t.OwedCopies.empty() && now - t.OwedCopies.front() >= limit) {
        t.OwedCopies.pop_front();
        lost = true;
    }
    if (!lost)
        return;
    NoteFault(t.CopiesOrdinal);
    if (t.OwedCopies.empty())
        SendNext();
}

void UpdateController::StopSending() {
    ControllerState& c = state_.Controller;
    TransferProgress& t = c.Transfer;
    // Not `Transfer = {}`: the counts and times stay for the service record of the attempt
    // just ended, which is written after this.
    c.AckWaitTicks = 0;
    t.OwedCopies.clear();
    t.Draining = false;
    t.SendNextDue = false;
    t.Quiet = false;
    t.ClosingSent = false;
    t.ResendDue = false;
    t.BlockRefusals = 0;
}

void UpdateController::StopWaits() {
    ControllerState& c = state_.Controller;
    c.StatusWaitTicks = 0;
    c.ConnectWaitTicks = 0;
    c.AckWaitTicks = 0;
}

void UpdateController::ForgetBoard() {
    state_.Controller.BoardReady = false;
}

bool UpdateController::Updating() const {
    return state_.Controller.Updating;
}

void UpdateController::EndTransfer() {
    // Given up on an answer, the wait may still run: it must not send or give up again.
    StopSending();
    ShowNoAnswer(true);
    view_.SetProgressPosition(0);
}

void UpdateController::GiveUp(UpdateEnd end, const std::string& detail) {
    EndTransfer();
    view_.AttemptEnded(end, detail);
    view_.ShowMessage(UpdateTexts::GivenUp);
    state_.CurrentBlock = FirstBlock;
}

void UpdateController::GiveUpUnanswered() {
    const int64_t slowest = state_.Controller.Transfer.SlowestAnswerMs;
    if (slowest <= AckWait * 100) {
        GiveUp(UpdateEnd::GivenUp, {}); // the record's reason is the result itself
        return;
    }
    char detail[64];
    std::snprintf(detail, sizeof detail, "answers came up to %.1f s late, then none",
                  static_cast<double>(slowest) / 1000);
    GiveUp(UpdateEnd::SlowAnswers, detail);
}

void UpdateController::ShowBoard(bool withSerial) {
    view_.SetLabelText(UpdateView::LbPlaca, state_.Parser.BoardName);
    if (withSerial)
        view_.SetLabelText(UpdateView::LbSerial, state_.Parser.SerialNumber);
    view_.SetLabelText(UpdateView::LbVersao1, VersionsText(state_.Parser));
}

void UpdateController::IdentificationReceived() {
    state_.Controller.ConnectWaitTicks = 0;
    ShowBoard(false);
    view_.SetButtonEnabled(UpdateView::BtInicia, true);
    view_.SetButtonEnabled(UpdateView::BtConecta, false);
    port_.SetBaudRate(BoardContract::BootMonitorBaud);
    ArmStatusPoll();
}

void UpdateController::StatusReceived() {
    // A reply to a poll sent before "Iniciar" may cross the first frames. Acting on it would
    // reset HeaderKey behind the board's back and start polling between frames.
    if (state_.Controller.Updating)
        return;
    state_.Controller.ConnectWaitTicks = 0;
    state_.Controller.BoardReady = true;
    view_.SetLabelText(UpdateView::LbStatus, UpdateTexts::CommunicationOk);
    view_.SetStatusColor(clStatusBlue);
    view_.SetButtonEnabled(UpdateView::BtInicia, true);
    view_.SetButtonEnabled(UpdateView::BtConecta, false);
    ShowBoard(true);
    ArmStatusPoll();
}

void UpdateController::AckReceived(char code) {
    ControllerState& c = state_.Controller;
    TransferProgress& t = c.Transfer;
    if (t.OwedCopies.empty()) {
        // The board answers each frame it reads once: an answer no frame is owed proves that
        // an earlier one was taken for the wrong frame (or that the line made one up).
        GiveUp(UpdateEnd::OutOfStep, "answers out of step with the frames");
        return;
    }
    TimeAnswer();
    // The answer of the oldest frame still owed one.
    t.OwedCopies.pop_front();
    if (t.Draining) {
        // A copy of the block just accepted. Refused, it may have left the board with a
        // damaged key all the same.
        if (code != 'D')
            NoteFault(t.CopiesOrdinal);
        if (t.OwedCopies.empty())
            SendNext();
        return;
    }
    if (code == 'D') {
        Accept();
        return;
    }
    NoteFault(t.CopiesOrdinal);
    // A "?" is the board asking again and restores the budget; an unknown code is a refusal
    // of the same frame by a line that garbles answers, and restores nothing.
    if (code == '?') {
        c.AckWaitTicks = WaitTicks();
        t.AckRetries = SendBudget;
    }
    Refused();
}

void UpdateController::CompletionReceived() {
    // Only the answer to our "<F@>" ends an update. Anywhere else a "<FF>" would report a board
    // as updated with blocks unsent; it is dropped, and the parser goes back to reading the
    // boot monitor's replies, where it came from.
    if (!state_.Controller.Updating || !state_.Controller.Transfer.ClosingSent) {
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        return;
    }
    state_.Controller.Transfer.ClosingSent = false;
    StopWaits();
    view_.SetTimerEnabled(false);
    view_.SetLabelText(UpdateView::LbPlaca, "-");
    view_.SetLabelText(UpdateView::LbVersao1, "-");
    view_.SetLabelText(UpdateView::LbStatus, "");
    view_.SetLabelText(UpdateView::LbSerial, "-");
    state_.Controller.BoardReady = false;
    state_.Controller.Updating = false;
    view_.SetProgressPosition(0);
    view_.SetButtonEnabled(UpdateView::BtConecta, true);
    view_.AttemptEnded(UpdateEnd::Completed, {});
    view_.ShowMessage(UpdateTexts::Completed);
}

void UpdateController::PortFailed(const std::string& cause) {
    if (!state_.Controller.Updating)
        return;
    EndTransfer();
    view_.AttemptEnded(UpdateEnd::PortError, cause);
}

void UpdateController::PortClosing() {
    const bool wasUpdating = std::exchange(state_.Controller.Updating, false);
    StopSending();
    if (wasUpdating)
        view_.AttemptEnded(UpdateEnd::Interrupted, {});
}
