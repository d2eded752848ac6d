#include "updater/UpdateController.h"

#include "serial/ComPort.h"
#include "updater/BoardContract.h"
#include "updater/UpdateState.h"

#include <algorithm>
#include <exception>

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
    state_.Controller.TransferTicks = 0;
    state_.Controller.OwedCopies.clear();
    state_.Controller.Draining = false;
    state_.Controller.ClosingSent = false;
    state_.Controller.BlockOrdinal = 0;
    state_.Controller.TransferBlocks = 0;
    for (FirmwareBlock* b = first; b; b = b->Next)
        ++state_.Controller.TransferBlocks;
    state_.Controller.FaultNearEnd = false;
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
    if (state_.Controller.Updating) {
        ++state_.Controller.TransferTicks;
        ForgetLostCopies();
    }
    if (state_.Controller.ResendDue) {
        state_.Controller.ResendDue = false;
        state_.Controller.AckWaitTicks = AckWait;
        ++state_.Controller.Resends;
        SendCurrent();
    } else if (Expires(state_.Controller.AckWaitTicks)) {
        NoteFault();
        RetryOrGiveUp();
    }
}

void UpdateController::ReceiveBytes() {
    while (port_.InputCount() != 0) {
        uint8_t b = 0;
        port_.Read(&b, 1);
        ParseReplyByte(state_.Parser, state_.Controller.Updating, b, *this);
    }
}

void UpdateController::RetryOrGiveUp() {
    --state_.Controller.AckRetries;
    if (state_.Controller.AckRetries != 0) {
        state_.Controller.AckWaitTicks = AckWait;
        ++state_.Controller.Resends;
        SendCurrent();
    } else {
        GiveUp();
    }
}

void UpdateController::SendCurrent() {
    ControllerState& c = state_.Controller;
    if (state_.CurrentBlock) {
        // Owed from now: a write that fails half-way may still have put the frame on the line.
        c.OwedCopies.push_back(c.TransferTicks);
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
    c.AckWaitTicks = AckWait;
    if (!state_.CurrentBlock && c.FaultNearEnd) {
        if (c.Replays == EndReplayLimit) {
            GiveUp();
            return;
        }
        // Each of the last blocks again, in order (a short image round again until as many
        // have gone): keys parted by the fault reach the count byte within them, the board
        // stops answering and the transfer is given up.
        ++c.Replays;
        c.ReplayLeft = EndBlocks;
        c.FaultNearEnd = false;
        c.BlockOrdinal = std::max(0, c.TransferBlocks - EndBlocks);
        state_.CurrentBlock = state_.TransferFirst;
        for (int i = 0; i < c.BlockOrdinal; ++i)
            state_.CurrentBlock = state_.CurrentBlock->Next;
    }
    SendCurrent();
}

void UpdateController::Accept() {
    ControllerState& c = state_.Controller;
    c.AckRetries = SendBudget;
    c.BlockRefusals = 0;
    c.ResendDue = false;
    if (c.Replays == 0) {
        view_.StepProgress();
        ++c.BlocksSent;
        view_.SetLabelText(UpdateView::LbStatus, ProgressText());
    }
    state_.CurrentBlock = state_.CurrentBlock->Next;
    ++c.BlockOrdinal;
    if (c.Replays > 0 && --c.ReplayLeft == 0) {
        state_.CurrentBlock = nullptr;
    } else if (c.Replays > 0 && !state_.CurrentBlock) {
        state_.CurrentBlock = state_.TransferFirst;
        c.BlockOrdinal = 0;
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
    if (++c.BlockRefusals >= RefusalLimit)
        GiveUp();
    else if (c.OwedCopies.empty())
        c.ResendDue = true;
    // Otherwise another copy is still owed its answer, which comes first.
}

void UpdateController::NoteFault() {
    ControllerState& c = state_.Controller;
    if (c.BlockOrdinal >= c.TransferBlocks - EndBlocks)
        c.FaultNearEnd = true;
}

void UpdateController::ForgetLostCopies() {
    ControllerState& c = state_.Controller;
    bool lost = false;
    while (!c.OwedCopies.empty() && c.TransferTicks - c.OwedCopies.front() >= OwedAnswerLimit) {
        c.OwedCopies.pop_front();
        lost = true;
    }
    if (!lost)
        return;
    NoteFault();
    if (c.Draining && c.OwedCopies.empty())
        SendNext();
}

void UpdateController::EndTransfer() {
    ControllerState& c = state_.Controller;
    // Given up on an answer, the wait may still run: it must not send or give up again.
    c.AckWaitTicks = 0;
    c.OwedCopies.clear();
    c.Draining = false;
    c.ClosingSent = false;
    c.ResendDue = false;
    c.BlockRefusals = 0;
    ShowNoAnswer(true);
    view_.SetProgressPosition(0);
}

void UpdateController::GiveUp() {
    EndTransfer();
    view_.AttemptEnded(UpdateEnd::GivenUp, {});
    view_.ShowMessage(UpdateTexts::GivenUp);
    state_.CurrentBlock = FirstBlock;
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
        if (c.ClosingSent) {
            // Only "<F@>" is on the wire: there is no block to step past or to send again.
            // Any acknowledgement now means the closing command went astray; send it again
            // within the same budget, which an answer here must not restore.
            RetryOrGiveUp();
            return;
        }
        // No frame waits for an answer: this one belongs to none. A refusal still counts, so
        // a board that keeps refusing is given up however fast it answers.
        if (code != 'D') {
            NoteFault();
            Refused();
        }
        return;
    }
    // The answer of the oldest frame still owed one.
    c.OwedCopies.pop_front();
    if (c.Draining) {
        // A copy of the block just accepted. Refused, it may have left the board with a
        // damaged key all the same.
        if (code != 'D')
            NoteFault();
        if (c.OwedCopies.empty())
            SendNext();
        return;
    }
    if (code == 'D') {
        c.AckWaitTicks = AckWait;
        Accept();
        return;
    }
    NoteFault();
    // A "?" is the board asking again and restores the budget; an unknown code is a refusal
    // of the same frame by a line that garbles answers, and restores nothing.
    if (code == '?') {
        c.AckWaitTicks = AckWait;
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
    state_.Controller.ClosingSent = false;
    state_.Controller.ResendDue = false;
    state_.Controller.AckWaitTicks = 0;
    if (wasUpdating)
        view_.AttemptEnded(UpdateEnd::Interrupted, {});
}
