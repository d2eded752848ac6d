#include "updater/UpdateController.h"

#include "serial/ComPort.h"
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
    return UpdateTexts::Updating + std::to_string(state_.Controller.BlocksSent) + "/" +
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
    port_.SetBaudRate(br9600);
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
    state_.Controller.Updating = true;
    state_.Controller.CommandDelayTicks = 0;
    state_.Controller.StatusWaitTicks = 0;
    state_.Controller.ConnectWaitTicks = 0;
    state_.Controller.AckWaitTicks = AckWait;
    state_.Controller.AckRetries = SendBudget;
    state_.Controller.TransferStart = std::chrono::system_clock::now();
    state_.Controller.Resends = 0;
    state_.Controller.Refusals = 0;
    state_.Controller.BlockRefusals = 0;
    state_.Controller.ResendDue = false;
    state_.Controller.OwedCopies.clear();
    state_.Controller.Draining = false;
    state_.Controller.SlowestAnswerMs = 0;
    state_.Controller.AnswerTimed = false;
    state_.Controller.Quiet = false;
    state_.Controller.ClosingSent = false;
    state_.Controller.BlockOrdinal = 0;
    state_.Controller.NextNew = 0;
    state_.Controller.TransferBlocks = 0;
    for (FirmwareBlock* b = first; b; b = b->Next)
        ++state_.Controller.TransferBlocks;
    state_.Controller.ReplayFrom = state_.Controller.ReplayUntil = -1;
    state_.Controller.ReplayLeft = 0;
    state_.Controller.ReplayChain = 0;
    state_.Controller.Replays = 0;
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
    state_.Controller.BlocksSent = 0;
    view_.SetLabelText(UpdateView::LbStatus, ProgressText());
}

void UpdateController::TimeoutTimer() {
    if (Expires(state_.Controller.CommandDelayTicks)) {
        port_.WriteStr(state_.Controller.PendingCommand);
        state_.Controller.PendingCommand.clear();
    }
    if (Expires(state_.Controller.ConnectWaitTicks)) {
        // The normal firmware did not answer: the board may already sit in its boot monitor.
        port_.SetBaudRate(br19200);
        port_.WriteStr(StatusQuery);
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        state_.Controller.StatusWaitTicks = StatusWait;
        state_.Controller.BoardReady = false;
        view_.SetButtonEnabled(UpdateView::BtConecta, true);
    }
    if (Expires(state_.Controller.StatusWaitTicks)) {
        ShowNoAnswer(false);
        view_.StatusUnanswered();
        port_.SetBaudRate(br19200);
        port_.WriteStr(StatusQuery);
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        state_.Controller.StatusWaitTicks = StatusWait;
    }
    ControllerState& c = state_.Controller;
    if (c.Draining)
        ForgetLostCopies();
    if (c.Quiet) {
        if (port_.SteadyMs() - c.LastFrameMs >=
            std::clamp<int64_t>(2 * c.SlowestAnswerMs, QuietMs, AckWait * 100)) {
            c.Quiet = false;
            c.AckWaitTicks = WaitTicks();
            SendCurrent();
        }
    } else if (c.ResendDue) {
        c.ResendDue = false;
        c.AckWaitTicks = WaitTicks();
        ++c.Resends;
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
    if (std::exchange(c.SendNextDue, false) && c.Updating)
        SendNext();
}

void UpdateController::RetryOrGiveUp() {
    --state_.Controller.AckRetries;
    if (state_.Controller.AckRetries != 0) {
        state_.Controller.AckWaitTicks = WaitTicks();
        ++state_.Controller.Resends;
        SendCurrent();
    } else {
        GiveUpUnanswered();
    }
}

void UpdateController::SendCurrent() {
    ControllerState& c = state_.Controller;
    if (state_.CurrentBlock) {
        // Owed from now: a write that fails half-way may still have put the frame on the line.
        c.LastFrameMs = port_.SteadyMs();
        c.OwedCopies.push_back(c.LastFrameMs);
        c.CopiesOrdinal = c.BlockOrdinal;
        SendBlockFrame(port_, *state_.CurrentBlock, state_.HeaderKey, port_.CalendarSeconds());
    } else {
        // After the last block the closing command is what is waiting for its answer.
        c.ClosingSent = true;
        port_.Write(ClosingCommand, 4);
    }
}

void UpdateController::SendNext() {
    ControllerState& c = state_.Controller;
    c.Draining = false;
    if (c.Reading) {
        // The frame's purge would drop the answers already waiting behind this one: they are
        // read first, and one of them now is an answer too many.
        c.SendNextDue = true;
        c.AckWaitTicks = 0;
        return;
    }
    c.AckWaitTicks = WaitTicks();
    if (c.ReplayLeft == 0) {
        if (c.ReplayFrom >= 0 && (c.NextNew > c.ReplayUntil || c.NextNew == c.TransferBlocks)) {
            if (!StartReplay())
                return;
        } else {
            c.BlockOrdinal = c.NextNew;
        }
    }
    state_.CurrentBlock = state_.TransferFirst;
    for (int i = 0; i < c.BlockOrdinal && state_.CurrentBlock; ++i)
        state_.CurrentBlock = state_.CurrentBlock->Next;
    if (state_.CurrentBlock) {
        SendCurrent();
        return;
    }
    // Every block accepted, nothing owed: "<F@>" after the quiet time.
    c.AckWaitTicks = 0;
    c.Quiet = true;
}

bool UpdateController::StartReplay() {
    ControllerState& c = state_.Controller;
    if (++c.ReplayChain > EndReplayLimit) {
        GiveUp(c.Refusals > 0 ? UpdateEnd::Refused : UpdateEnd::GivenUp,
               "faults kept coming while blocks were sent again");
        return false;
    }
    // The blocks the fault hit, at least seven; at the end of the image the seven before it,
    // and a short image round again until seven have gone.
    const int32_t start = std::min(c.ReplayFrom, std::max(0, c.ReplayUntil - (EndBlocks - 1)));
    c.ReplayLeft = std::max(EndBlocks, c.ReplayUntil - start + 1);
    c.BlockOrdinal = start;
    c.ReplayFrom = c.ReplayUntil = -1;
    ++c.Replays;
    return true;
}

void UpdateController::Accept() {
    ControllerState& c = state_.Controller;
    c.AckRetries = SendBudget;
    c.BlockRefusals = 0;
    c.ResendDue = false;
    if (c.BlockOrdinal == c.NextNew) {
        view_.StepProgress();
        ++c.BlocksSent;
        ++c.NextNew;
        c.ReplayChain = 0; // a block never sent before: the blocks sent again went through
        view_.SetLabelText(UpdateView::LbStatus, ProgressText());
    }
    if (c.ReplayLeft > 0) {
        c.BlockOrdinal = (c.BlockOrdinal + 1) % c.TransferBlocks;
        --c.ReplayLeft;
    }
    if (c.OwedCopies.empty()) {
        SendNext();
    } else {
        // Answers of the block's other copies are still on their way; taken for the next
        // block they would move the transfer past it unsent.
        c.Draining = true;
        c.AckWaitTicks = 0;
    }
}

void UpdateController::Refused() {
    ControllerState& c = state_.Controller;
    ++c.Refusals;
    if (++c.BlockRefusals >= RefusalLimit) {
        char detail[64];
        static_assert(RefusalLimit == 10, "the text says ten");
        std::snprintf(detail, sizeof detail, "the board refused block 0x%04X ten times",
                      state_.CurrentBlock ? unsigned(state_.CurrentBlock->Address()) : 0u);
        GiveUp(UpdateEnd::Refused, detail);
    } else if (c.OwedCopies.empty()) {
        c.ResendDue = true;
    }
    // Otherwise another copy is still owed its answer, which comes first.
}

void UpdateController::NoteFault(int32_t ordinal) {
    ControllerState& c = state_.Controller;
    const int32_t until = std::min(ordinal + EndBlocks - 1, c.TransferBlocks - 1);
    c.ReplayFrom = c.ReplayFrom < 0 ? ordinal : std::min(c.ReplayFrom, ordinal);
    c.ReplayUntil = std::max(c.ReplayUntil, until);
}

void UpdateController::TimeAnswer() {
    ControllerState& c = state_.Controller;
    // Sent after the newest copy the answer cannot be: its time counts from there; with one
    // copy owed that is exact.
    const int64_t ms = port_.SteadyMs() - c.OwedCopies.back();
    c.SlowestAnswerMs = std::max(c.SlowestAnswerMs, ms);
    c.AnswerTimed = c.AnswerTimed || c.OwedCopies.size() == 1;
}

int UpdateController::WaitTicks() const {
    const int64_t ticks = 2 * state_.Controller.SlowestAnswerMs / 100 + 2;
    return static_cast<int>(std::clamp<int64_t>(ticks, AckWait, OwedAnswerLimit));
}

void UpdateController::ForgetLostCopies() {
    ControllerState& c = state_.Controller;
    const int64_t limit = c.AnswerTimed ? std::clamp<int64_t>(LostCopyFactor * c.SlowestAnswerMs,
                                                              LostCopyMs, OwedAnswerLimit * 100)
                                        : OwedAnswerLimit * 100;
    const int64_t now = port_.SteadyMs();
    bool lost = false;
    while (!c.OwedCopies.empty() && now - c.OwedCopies.front() >= limit) {
        c.OwedCopies.pop_front();
        lost = true;
    }
    if (!lost)
        return;
    NoteFault(c.CopiesOrdinal);
    if (c.OwedCopies.empty())
        SendNext();
}

void UpdateController::EndTransfer() {
    ControllerState& c = state_.Controller;
    // Given up on an answer, the wait may still run: it must not send or give up again.
    c.AckWaitTicks = 0;
    c.OwedCopies.clear();
    c.Draining = false;
    c.SendNextDue = false;
    c.Quiet = false;
    c.ClosingSent = false;
    c.ResendDue = false;
    c.BlockRefusals = 0;
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
    const int64_t slowest = state_.Controller.SlowestAnswerMs;
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
    port_.SetBaudRate(br19200);
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
    if (c.OwedCopies.empty()) {
        // The board answers each frame it reads once: an answer no frame is owed proves that
        // an earlier one was taken for the wrong frame (or that the line made one up).
        GiveUp(UpdateEnd::OutOfStep, "answers out of step with the frames");
        return;
    }
    TimeAnswer();
    // The answer of the oldest frame still owed one.
    c.OwedCopies.pop_front();
    if (c.Draining) {
        // A copy of the block just accepted. Refused, it may have left the board with a
        // damaged key all the same.
        if (code != 'D')
            NoteFault(c.CopiesOrdinal);
        if (c.OwedCopies.empty())
            SendNext();
        return;
    }
    if (code == 'D') {
        Accept();
        return;
    }
    NoteFault(c.CopiesOrdinal);
    // A "?" is the board asking again and restores the budget; an unknown code is a refusal
    // of the same frame by a line that garbles answers, and restores nothing.
    if (code == '?') {
        c.AckWaitTicks = WaitTicks();
        c.AckRetries = SendBudget;
    }
    Refused();
}

void UpdateController::CompletionReceived() {
    // Only the answer to our "<F@>" ends an update. Anywhere else a "<FF>" would report a board
    // as updated with blocks unsent; it is dropped, and the parser goes back to reading the
    // boot monitor's replies, where it came from.
    if (!state_.Controller.Updating || !state_.Controller.ClosingSent) {
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        return;
    }
    state_.Controller.ClosingSent = false;
    state_.Controller.AckWaitTicks = 0;
    state_.Controller.ConnectWaitTicks = 0;
    state_.Controller.StatusWaitTicks = 0;
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
    const bool wasUpdating = state_.Controller.Updating;
    state_.Controller.Updating = false;
    state_.Controller.OwedCopies.clear();
    state_.Controller.Draining = false;
    state_.Controller.SendNextDue = false;
    state_.Controller.Quiet = false;
    state_.Controller.ClosingSent = false;
    state_.Controller.ResendDue = false;
    state_.Controller.AckWaitTicks = 0;
    if (wasUpdating)
        view_.AttemptEnded(UpdateEnd::Interrupted, {});
}
