#include "updater/UpdateController.h"

#include "serial/ComPort.h"
#include "updater/BoardContract.h"
#include "updater/UpdateState.h"

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
    view_.SetProgressPosition(0);
    view_.SetProgressMaximum(BlockCount);
    view_.SetButtonEnabled(UpdateView::BtInicia, false);
    // The purge before the frame drops whatever is left of a half-read status reply.
    try {
        SendCurrent();
    } catch (const std::exception& e) {
        // Nothing is on its way: end the transfer as a close would and leave the window as
        // after a give-up, so "Conectar" works at once; the error box follows.
        EndTransfer();
        view_.SetTimerEnabled(true);
        view_.AttemptEnded(UpdateEnd::PortError, e.what());
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
    if (state_.Controller.ResendDue) {
        state_.Controller.ResendDue = false;
        state_.Controller.AckWaitTicks = AckWait;
        ++state_.Controller.Resends;
        SendCurrent();
    } else if (Expires(state_.Controller.AckWaitTicks)) {
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
    state_.Controller.FrameInFlight = true;
    if (state_.CurrentBlock) {
        SendBlockFrame(port_, *state_.CurrentBlock, state_.HeaderKey);
    } else {
        // After the last block the closing command is what is waiting for its answer.
        port_.Write(ClosingCommand, 4);
    }
}

void UpdateController::Refused() {
    ++state_.Controller.Refusals;
    if (++state_.Controller.BlockRefusals >= RefusalLimit)
        GiveUp();
    else
        state_.Controller.ResendDue = true;
}

void UpdateController::EndTransfer() {
    // Given up on an answer, the wait may still run: it must not send or give up again.
    state_.Controller.AckWaitTicks = 0;
    state_.Controller.FrameInFlight = false;
    state_.Controller.ResendDue = false;
    state_.Controller.BlockRefusals = 0;
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
    if (!state_.CurrentBlock) {
        // Only "<F@>" is on the wire: there is no block to step past or to send again.
        // Any acknowledgement now means the closing command went astray; send it again
        // within the same budget, which an answer here must not restore.
        RetryOrGiveUp();
        return;
    }
    if (!state_.Controller.FrameInFlight) {
        // No frame waits for an answer: this one belongs to none. A refusal still counts, so
        // a board that keeps refusing is given up however fast it answers.
        if (code == '?')
            Refused();
        return;
    }
    state_.Controller.FrameInFlight = false;
    state_.Controller.AckWaitTicks = AckWait;
    state_.Controller.AckRetries = SendBudget;
    if (code == 'D') {
        state_.Controller.BlockRefusals = 0;
        view_.StepProgress();
        ++state_.Controller.BlocksSent;
        view_.SetLabelText(UpdateView::LbStatus, ProgressText());
        state_.CurrentBlock = state_.CurrentBlock->Next;
        SendCurrent();
    } else if (code == '?') {
        Refused();
    }
}

void UpdateController::CompletionReceived() {
    // Only the answer to our "<F@>" ends an update. Anywhere else a "<FF>" would report a board
    // as updated with blocks unsent; it is dropped, and the parser goes back to reading the
    // boot monitor's replies, where it came from.
    if (!state_.Controller.Updating || state_.CurrentBlock) {
        state_.Parser.ParserState = ParserStates::MonitorReplies;
        return;
    }
    state_.Controller.FrameInFlight = false;
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

void UpdateController::PortClosing() {
    const bool wasUpdating = state_.Controller.Updating;
    state_.Controller.Updating = false;
    state_.Controller.FrameInFlight = false;
    state_.Controller.ResendDue = false;
    state_.Controller.AckWaitTicks = 0;
    if (wasUpdating)
        view_.AttemptEnded(UpdateEnd::Interrupted, {});
}
