#pragma once
// The logic that takes the board through an update: the connection attempt, the polling of
// the boot monitor, the block transfer with its acknowledgements and resends, and what the
// user sees of it. Everything is driven by the 100 ms tick and the parser's reports; nothing
// here blocks except the modal message box. The state lives in one UpdateState (the window's
// is ProgramUpdate); the block list is shared.
#include "updater/ReplyParser.h"
#include "updater/UpdateEnd.h"
#include "updater/UpdateLine.h"

#include <string>

struct TColor {
    int Red, Green, Blue;
    bool operator==(const TColor&) const = default;
};
inline constexpr TColor clStatusBlue{0, 0, 255};
inline constexpr TColor clStatusGreen{0, 128, 0};
inline constexpr TColor clStatusRed{255, 0, 0};

// The part of the window the controller drives.
class UpdateView {
public:
    enum Label { LbStatus, LbPlaca, LbVersao1, LbSerial };
    enum Button { BtConecta, BtInicia };

    virtual ~UpdateView() = default;
    virtual void SetLabelText(Label label, const std::string& text) = 0;
    virtual void SetStatusColor(TColor color) = 0;
    virtual void SetButtonEnabled(Button button, bool enabled) = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual void SetProgressMaximum(int maximum) = 0;
    virtual void StepProgress() = 0;
    virtual void SetTimerEnabled(bool enabled) = 0;
    // Modal: returns when the user has closed the box.
    virtual void ShowMessage(const std::string& text) = 0;
    // An attempt has just ended; called before its message is shown. `detail` is the port's
    // error text for a port error, empty otherwise.
    virtual void AttemptEnded(UpdateEnd /*end*/, const std::string& /*detail*/) {}
    // The status wait ran out: nothing answers the poll, "SEM RESPOSTA" is shown.
    virtual void StatusUnanswered() {}
};

// Texts the user is shown.
namespace UpdateTexts {
inline constexpr char NoAnswer[] = "SEM RESPOSTA";
inline constexpr char CommunicationOk[] = "Comunicação  OK";
inline constexpr char Updating[] = "Atualizando  ";
inline constexpr char BoardNotReady[] =
    "Sem resposta da placa.\nVerifique a ligação do cabo e se porta serial está correta.";
inline constexpr char WrongMonitor[] =
    "Versão de monitor da placa incompatível com esta versão de atualizador.";
inline constexpr char NothingToSend[] =
    "A imagem de firmware deste atualizador não tem blocos para gravar.";
inline constexpr char GivenUp[] = "Sem resposta. Para tentar novamente, ligue a placa com\na "
                                  "tecla 'Dígito' pressionada e clique no botão 'Conectar'.";
inline constexpr char Completed[] = "Atualização concluída. Desligue a placa e ligue novamente.";
} // namespace UpdateTexts

// Commands to the board and the wait lengths, in ticks.
namespace UpdateProtocol {
inline constexpr char EnterBootCommand[] = "(%B67)";
inline constexpr char StatusQuery[] = "<S@>";
inline constexpr char ClosingCommand[] = "<F@>";
inline constexpr int ConnectWait = 5;
inline constexpr int StatusWait = 5;
inline constexpr int AckWait = 10;
inline constexpr int CommandDelay = 1;
inline constexpr int SendBudget = 3;
// Refusals of one block in a row before the transfer is given up: a board whose key has
// parted from ours refuses every frame, and only its restart brings the keys back together.
inline constexpr int RefusalLimit = 10;
// The longest wait for an answer, in ticks: a line whose answers come later than the normal
// wait gets a wait of twice its slowest answer, up to this.
inline constexpr int OwedAnswerLimit = 50;
// A copy of a block already accepted whose answer has not come counts as lost after three
// times the slowest answer of the transfer, at least this many ms (up to the longest wait, or
// that before any answer was timed). An answer that then comes after all is one answer too
// many: the count ends the transfer as not proven, unless a frame the board never read takes
// it away again, so the limit stays above the answer delays a busy line shows.
inline constexpr int LostCopyMs = 3000;
inline constexpr int LostCopyFactor = 3;
// "<F@>" goes out once nothing was heard for twice the slowest answer after the last frame
// (at least this many ms, at most the normal wait): the answer still owed by a shifted
// pairing comes in that time.
inline constexpr int QuietMs = 50;
// After a fault the block and the six after it go again once they have gone: a key parted by
// the fault reaches the count byte within them (the board stops answering), and one that
// parted and joined again cannot leave wrong data in them. A fault during that resend starts
// another, at most this many before a block never sent before is accepted, then the transfer
// is given up.
inline constexpr int EndBlocks = 7;
inline constexpr int EndReplayLimit = 3;
} // namespace UpdateProtocol

struct UpdateState;
extern UpdateState ProgramUpdate;

class UpdateController : public ReplyReceiver {
public:
    UpdateController(UpdateView& view, UpdateLine& line, UpdateState& state = ProgramUpdate)
        : view_(view), port_(line), state_(state) {}

    void BtConectaClick();
    void BtIniciaClick();
    void TimeoutTimer();
    // The receive event: reads one byte at a time into the reply parser while the port
    // reports bytes waiting, so bytes that arrive meanwhile are taken by the same call.
    void ReceiveBytes();

    void IdentificationReceived() override;
    void StatusReceived() override;
    void AckReceived(char code) override;
    void CompletionReceived() override;

    // The port is about to close (whoever closes it): a running transfer ends, so that the
    // board's replies are acted on again after the next open.
    void PortClosing();
    // The port failed (`cause` is its error text): a running transfer ends here as a port
    // error, so no wait goes on to give it up after the failure has been told.
    void PortFailed(const std::string& cause);

    // No status, connection or answer wait runs on (as when the window closes its port).
    void StopWaits();
    // The board has to be found again before an update can start.
    void ForgetBoard();
    // A transfer is running.
    bool Updating() const;

    // "Atualizando  k/n".
    std::string ProgressText() const;

private:
    void ArmStatusPoll();
    void ShowNoAnswer(bool endTransfer);
    void ShowBoard(bool withSerial);
    // Sends what is on the wire again, counting it against the budget; gives up when the
    // budget is spent.
    void RetryOrGiveUp();
    void SendCurrent();
    // Once no answer is owed any more: the next block, the blocks a fault hit again, or the
    // quiet time before "<F@>".
    void SendNext();
    bool StartReplay();
    void Accept();
    void Refused();
    void NoteFault(int32_t ordinal);
    void TimeAnswer();
    int WaitTicks() const;
    void ForgetLostCopies();
    void GiveUp(UpdateEnd end, const std::string& detail);
    void GiveUpUnanswered();
    // Nothing more goes out for the transfer, and nothing it sent is waited for.
    void StopSending();
    // The transfer stops with nothing left running; the window is as after a give-up.
    void EndTransfer();

    UpdateView& view_;
    UpdateLine& port_;
    UpdateState& state_;
};
