#include "updater/UpdateController.h"

#include "serial/ComPort.h"
#include "updater/BoardContract.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"

using namespace UpdateProtocol;

namespace {

// A countdown step: true when the counter was running and has just run out.
bool Expires(int32_t& counter) {
    return counter != 0 && --counter == 0;
}

std::string VersionsText() {
    return "V" + Parser.FirmwareVersion + " M" + Parser.MonitorVersion;
}

} // namespace

std::string UpdateController::ProgressText() {
    return UpdateTexts::Updating + std::to_string(Controller.BlocksSent) + "/" +
           std::to_string(BlockCount);
}

void UpdateController::ArmStatusPoll() {
    Controller.PendingCommand = StatusQuery;
    Controller.StatusWaitTicks = StatusWait;
    Controller.CommandDelayTicks = CommandDelay;
    ResetHeaderKey();
}

void UpdateController::ShowNoAnswer(bool endTransfer) {
    view_.SetLabelText(UpdateView::LbStatus, UpdateTexts::NoAnswer);
    view_.SetStatusColor(clStatusRed);
    view_.SetLabelText(UpdateView::LbPlaca, "-");
    view_.SetLabelText(UpdateView::LbVersao1, "-");
    view_.SetLabelText(UpdateView::LbSerial, "-");
    Controller.BoardReady = false;
    if (endTransfer)
        Controller.Updating = false;
    view_.SetButtonEnabled(UpdateView::BtConecta, true);
}

void UpdateController::BtConectaClick() {
    if (Controller.BoardReady)
        return;
    port_.SetBaudRate(br9600);
    Controller.PendingCommand = EnterBootCommand;
    Controller.CommandDelayTicks = CommandDelay;
    Parser.ParserState = 0;
    Controller.ConnectWaitTicks = ConnectWait;
    view_.SetTimerEnabled(true);
    view_.SetButtonEnabled(UpdateView::BtConecta, false);
}

void UpdateController::BtIniciaClick() {
    if (!Controller.BoardReady) {
        view_.ShowMessage(UpdateTexts::BoardNotReady);
        return;
    }
    if (Parser.MonitorVersion != "1.0") {
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
    CurrentBlock = first;
    view_.SetTimerEnabled(false);
    Controller.Updating = true;
    Controller.CommandDelayTicks = 0;
    Controller.StatusWaitTicks = 0;
    Controller.ConnectWaitTicks = 0;
    Controller.AckWaitTicks = AckWait;
    Controller.AckRetries = SendBudget;
    view_.SetProgressPosition(0);
    view_.SetProgressMaximum(BlockCount);
    view_.SetButtonEnabled(UpdateView::BtInicia, false);
    // The purge before the frame drops whatever is left of a half-read status reply.
    SendBlockFrame(port_, *CurrentBlock);
    // Restarting the timer gives the first frame a full period before the first tick.
    view_.SetTimerEnabled(true);
    view_.SetStatusColor(clStatusGreen);
    Controller.BlocksSent = 0;
    view_.SetLabelText(UpdateView::LbStatus, ProgressText());
}

void UpdateController::TimeoutTimer() {
    if (Expires(Controller.CommandDelayTicks)) {
        port_.WriteStr(Controller.PendingCommand);
        Controller.PendingCommand.clear();
    }
    if (Expires(Controller.ConnectWaitTicks)) {
        // The normal firmware did not answer: the board may already sit in its boot monitor.
        port_.SetBaudRate(br19200);
        port_.WriteStr(StatusQuery);
        Parser.ParserState = 14;
        Controller.StatusWaitTicks = StatusWait;
        Controller.BoardReady = false;
        view_.SetButtonEnabled(UpdateView::BtConecta, true);
    }
    if (Expires(Controller.StatusWaitTicks)) {
        ShowNoAnswer(false);
        port_.SetBaudRate(br19200);
        port_.WriteStr(StatusQuery);
        Parser.ParserState = 14;
        Controller.StatusWaitTicks = StatusWait;
    }
    if (Expires(Controller.AckWaitTicks))
        RetryOrGiveUp();
}

void UpdateController::ReceiveBytes() {
    while (port_.InputCount() != 0) {
        uint8_t b = 0;
        port_.Read(&b, 1);
        ParseReplyByte(b, *this);
    }
}

void UpdateController::RetryOrGiveUp() {
    --Controller.AckRetries;
    if (Controller.AckRetries != 0) {
        Controller.AckWaitTicks = AckWait;
        SendCurrent();
    } else {
        GiveUp();
    }
}

void UpdateController::SendCurrent() {
    if (CurrentBlock) {
        SendBlockFrame(port_, *CurrentBlock);
    } else {
        // After the last block the closing command is what is waiting for its answer.
        port_.Write(ClosingCommand, 4);
    }
}

void UpdateController::GiveUp() {
    ShowNoAnswer(true);
    view_.SetProgressPosition(0);
    view_.ShowMessage(UpdateTexts::GivenUp);
    CurrentBlock = FirstBlock;
}

void UpdateController::ShowBoard(bool withSerial) {
    view_.SetLabelText(UpdateView::LbPlaca, Parser.BoardName);
    if (withSerial)
        view_.SetLabelText(UpdateView::LbSerial, Parser.SerialNumber);
    view_.SetLabelText(UpdateView::LbVersao1, VersionsText());
}

void UpdateController::IdentificationReceived() {
    Controller.ConnectWaitTicks = 0;
    ShowBoard(false);
    view_.SetButtonEnabled(UpdateView::BtInicia, true);
    view_.SetButtonEnabled(UpdateView::BtConecta, false);
    port_.SetBaudRate(br19200);
    ArmStatusPoll();
}

void UpdateController::StatusReceived() {
    Controller.ConnectWaitTicks = 0;
    Controller.BoardReady = true;
    view_.SetLabelText(UpdateView::LbStatus, UpdateTexts::CommunicationOk);
    view_.SetStatusColor(clStatusBlue);
    view_.SetButtonEnabled(UpdateView::BtInicia, true);
    view_.SetButtonEnabled(UpdateView::BtConecta, false);
    ShowBoard(true);
    ArmStatusPoll();
}

void UpdateController::AckReceived(char code) {
    if (!CurrentBlock) {
        // Only "<F@>" is on the wire: there is no block to step past or to send again.
        // Any acknowledgement now means the closing command went astray; send it again
        // within the same budget, which an answer here must not restore.
        RetryOrGiveUp();
        return;
    }
    Controller.AckWaitTicks = AckWait;
    Controller.AckRetries = SendBudget;
    if (code == 'D') {
        view_.StepProgress();
        ++Controller.BlocksSent;
        view_.SetLabelText(UpdateView::LbStatus, ProgressText());
        CurrentBlock = CurrentBlock->Next;
        if (CurrentBlock)
            SendBlockFrame(port_, *CurrentBlock);
        else
            port_.Write(ClosingCommand, 4);
    } else if (code == '?') {
        SendBlockFrame(port_, *CurrentBlock);
    }
}

void UpdateController::CompletionReceived() {
    Controller.AckWaitTicks = 0;
    Controller.ConnectWaitTicks = 0;
    Controller.StatusWaitTicks = 0;
    view_.SetTimerEnabled(false);
    view_.SetLabelText(UpdateView::LbPlaca, "-");
    view_.SetLabelText(UpdateView::LbVersao1, "-");
    view_.SetLabelText(UpdateView::LbStatus, "");
    view_.SetLabelText(UpdateView::LbSerial, "-");
    Controller.BoardReady = false;
    Controller.Updating = false;
    view_.SetProgressPosition(0);
    view_.SetButtonEnabled(UpdateView::BtConecta, true);
    view_.ShowMessage(UpdateTexts::Completed);
}
