// The updater's window against a board that misbehaves, a line that vanishes and a user who
// does things mid-transfer. Each case checks what the user is shown, that the window keeps
// handling events, that no thread spins (the process's CPU time while nothing should happen),
// and that "Atualização concluída" appears only when the board holds exactly the built-in image.
// What a fault of the line or the board does to the transfer itself is the transfer
// simulation's (TransferSimulationTest.cpp): here only what takes the window, a real port or
// real time.
#include "tests/support/PortTestSupport.h"
#include "tests/support/QtTestSupport.h"

#include "tests/support/ThreadCpu.h"
#include "tools/boardsim/Board.h"
#include "tools/boardsim/LineGarble.h"
#include "tools/boardsim/PtyLine.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/OpenFailure.h"
#include "updater/ReplyParser.h"
#include "updater/Unit1.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string NoAnswer = "SEM RESPOSTA";
const std::string CommunicationOk = "Comunicação  OK";
const std::string Completed = "Atualização concluída. Desligue a placa e ligue novamente.";
const std::string GivenUp = "Sem resposta. Para tentar novamente, ligue a placa com\na tecla "
                            "'Dígito' pressionada e clique no botão 'Conectar'.";

QColor Rgb(TColor c) {
    return QColor(c.Red, c.Green, c.Blue);
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Share of one processor the whole process (window, port thread, simulator) used while events
// ran for `span`. A thread that spins takes most of a processor on its own.
double CpuShareWhileIdle(std::chrono::milliseconds span) {
    QElapsedTimer wall;
    wall.start();
    const double before = ProcessCpuSeconds();
    WaitFor([] { return false; }, span);
    return (ProcessCpuSeconds() - before) / (wall.nsecsElapsed() / 1e9);
}
constexpr double MostIdleCpu = 0.25;

// Watches the event loop from a 20 ms timer: the longest gap between two of its runs (the
// window's responsiveness), and every status text the user was shown.
class Watch {
public:
    explicit Watch(TForm1& form) : form_(form) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
        clock_.start();
        timer_.start();
    }
    qint64 LongestGapMs() const { return longest_; }
    bool Showed(const std::string& status) const {
        return std::find(statuses_.begin(), statuses_.end(), status) != statuses_.end();
    }
    // While a transfer ran, the status was ever other than the green progress text, or
    // "Iniciar" was enabled.
    bool TransferViewBroke() const { return transferViewBroke_; }

private:
    void Look() {
        // Time the machine's other work kept the main thread waiting for a CPU is no gap of
        // the window's: only the time it was busy or blocked counts.
        const double waited = RunQueueWaitMs();
        const auto starved = qint64(waited - waited_);
        waited_ = waited;
        longest_ = std::max(longest_, clock_.restart() - starved);
        std::string s = form_.LbStatus->Caption();
        if (Controller.Updating &&
            (s.rfind("Atualizando  ", 0) != 0 || form_.LbStatus->FontColor() != QColor(0, 128, 0) ||
             form_.BtInicia->isEnabled()))
            transferViewBroke_ = true;
        if (statuses_.empty() || statuses_.back() != s)
            statuses_.push_back(s);
    }
    TForm1& form_;
    QTimer timer_;
    QElapsedTimer clock_;
    double waited_ = RunQueueWaitMs();
    qint64 longest_ = 0;
    std::vector<std::string> statuses_;
    bool transferViewBroke_ = false;
};
// A modal box runs its own loop, so even then the gap stays at timer scale; a second is a
// window that did not answer.
constexpr qint64 LongestAllowedGapMs = 1000;

// A board played on the main thread: the test's end of a pseudo-terminal fed into the
// simulator's board model, whose replies can be held back or handed over one byte per receive
// event.
class ScriptedBoard {
public:
    enum class Mode { Normal, Silent, OneBytePerEvent };

    explicit ScriptedBoard(Mode mode) : mode_(mode), board_(boardsim::BoardConfig{}) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            std::abort();
        slave_ = ptsname(master_);
        // Our own slave descriptor keeps the line up while the port is closed.
        ownSlave_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        tcgetattr(ownSlave_, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(ownSlave_, TCSANOW, &t);
        notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Receive(); });
        trickle_.setInterval(1);
        QObject::connect(&trickle_, &QTimer::timeout, [this] { Trickle(); });
    }
    ~ScriptedBoard() {
        notifier_.reset();
        if (master_ >= 0)
            close(master_);
        close(ownSlave_);
    }

    const std::string& SlavePath() const { return slave_; }
    const boardsim::Board& Board() const { return board_; }
    const std::string& Heard() const { return heard_; }
    // In one-byte mode: the port whose queue must be empty before the next byte goes.
    void Pace(TCustomComPort* port) { port_ = port; }
    // The adapter pulled out: the port's side hangs up.
    void HangUp() {
        notifier_.reset();
        close(master_);
        master_ = -1;
    }

private:
    void Receive() {
        uint8_t buf[512];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0) {
            heard_.append(reinterpret_cast<char*>(buf), n);
            const int baud = boardsim::TerminalBaud(master_);
            for (const boardsim::Reply& r : board_.Receive(buf, n, baud))
                Answer(r, baud);
        }
    }

    void Answer(const boardsim::Reply& reply, int lineBaud) {
        if (mode_ == Mode::Silent)
            return;
        std::vector<uint8_t> bytes(reply.Bytes.begin(), reply.Bytes.end());
        if (reply.Baud != lineBaud) // what the port makes of bytes at another speed
            bytes = boardsim::ReceiveAtSpeed(bytes, reply.Baud, lineBaud);
        if (mode_ == Mode::OneBytePerEvent) {
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            trickle_.start();
            return;
        }
        Write(bytes.data(), bytes.size());
    }

    // The next byte goes only once the port has read the previous one.
    void Trickle() {
        if (pending_.empty()) {
            trickle_.stop();
            return;
        }
        if (port_ && port_->Connected() && port_->InputCount() != 0)
            return;
        Write(&pending_.front(), 1);
        pending_.erase(pending_.begin());
    }

    void Write(const uint8_t* data, size_t n) {
        if (master_ >= 0 && n > 0 && write(master_, data, n) != static_cast<ssize_t>(n))
            ADD_FAILURE() << "the pseudo-terminal took less than a reply";
    }

    Mode mode_;
    boardsim::Board board_;
    int master_ = -1, ownSlave_ = -1;
    std::string slave_;
    std::string heard_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<uint8_t> pending_;
    QTimer trickle_;
    TCustomComPort* port_ = nullptr;
};

class FaultMatrix : public ::testing::Test {
protected:
    void SetUp() override {
        Controller = ControllerState{};
        Parser = ReplyParserState{};
        ResetHeaderKey();
    }
    void TearDown() override {
        if (form_) {
            form_->Timeout->SetEnabled(false);
            form_.reset();
        }
    }

    // The window on screen with `port` opened through "Abrir" and the update tab showing.
    TForm1& OpenWindow(const std::string& slavePath) {
        link_ = std::make_unique<DevLink>(slavePath);
        EXPECT_TRUE(link_->Made()) << "the test makes a link in /dev (run as root)";
        form_ = std::make_unique<TForm1>();
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        form_->ComComboBox1->SetText(link_->Name());
        Click(form_->BtSerial);
        EXPECT_EQ(form_->BtSerial->text().toStdString(), "Fechar");
        EXPECT_TRUE(form_->ComPort1->Connected());
        ClickTab(1);
        return *form_;
    }

    void Click(QWidget* widget) {
        ASSERT_TRUE(widget->isVisible() && widget->isEnabled());
        QTest::mouseClick(widget, Qt::LeftButton);
    }
    void ClickTab(int index) {
        QTest::mouseClick(form_->TabControl1, Qt::LeftButton, {},
                          form_->TabControl1->tabRect(index).center());
        ASSERT_EQ(form_->TabControl1->TabIndex(), index);
    }
    // "Fechar" on the port tab, as the user closes the port.
    void PressFechar() {
        ClickTab(0);
        ASSERT_EQ(form_->BtSerial->text().toStdString(), "Fechar");
        Click(form_->BtSerial);
        EXPECT_EQ(form_->BtSerial->text().toStdString(), "Abrir");
        EXPECT_FALSE(form_->ComPort1->Connected());
        EXPECT_EQ(form_->ComLed1->State(), lsOff);
        EXPECT_TRUE(form_->ComComboBox1->isEnabled());
        EXPECT_FALSE(form_->BtConecta->isEnabled());
    }

    void ExpectBoardLabelsReset() {
        EXPECT_EQ(form_->LbPlaca->Caption(), "-");
        EXPECT_EQ(form_->LbVersao1->Caption(), "-");
        EXPECT_EQ(form_->LbSerial->Caption(), "-");
    }
    void ExpectNoAnswerShown() {
        EXPECT_EQ(form_->LbStatus->Caption(), NoAnswer);
        EXPECT_EQ(form_->LbStatus->FontColor(), Rgb(clStatusRed));
        ExpectBoardLabelsReset();
        EXPECT_TRUE(form_->BtConecta->isEnabled());
    }

    // "Conectar", then the board's status reply.
    void ConnectToMonitor() {
        Click(form_->BtConecta);
        EXPECT_FALSE(form_->BtConecta->isEnabled());
        ASSERT_TRUE(WaitFor([&] { return form_->LbStatus->Caption() == CommunicationOk; }));
    }

    // The update ran to its end: the completion box and every label back (before "Fechar",
    // which resets the labels itself).
    void ExpectCompletionShown(const BoxCloser& closer) {
        ASSERT_EQ(closer.Texts(), std::vector<std::string>{Completed});
        EXPECT_EQ(closer.Seen()[0].Title, "Atualizador Quorvel");
        EXPECT_EQ(form_->LbStatus->Caption(), "");
        ExpectBoardLabelsReset();
        EXPECT_EQ(form_->BarraSts->value(), 0);
        EXPECT_TRUE(form_->BtConecta->isEnabled());
        EXPECT_FALSE(form_->BtInicia->isEnabled());
        EXPECT_FALSE(form_->Timeout->Enabled());
        EXPECT_EQ(Controller.Transfer.BlocksSent, BlockCount);
    }
    static void ExpectBuiltInImage(const std::map<uint32_t, uint8_t>& flashed) {
        EXPECT_TRUE(flashed == BuiltInImageBytes()) << "completion reported for another image";
    }

    // Starts the transfer and waits for the completion box.
    void RunTransfer(BoxCloser& closer, std::chrono::seconds limit = 120s) {
        Click(form_->BtInicia);
        EXPECT_EQ(form_->LbStatus->FontColor(), Rgb(clStatusGreen));
        EXPECT_EQ(form_->BarraSts->maximum(), BlockCount);
        ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, limit));
    }

    std::unique_ptr<DevLink> link_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(FaultMatrix, SilentBoard) {
    ScriptedBoard board(ScriptedBoard::Mode::Silent);
    TForm1& f = OpenWindow(board.SlavePath());
    BoxCloser closer;
    Watch watch(f);
    Click(f.BtConecta);
    ASSERT_TRUE(WaitFor([&] { return f.LbStatus->Caption() == NoAnswer; }, 10s));
    ExpectNoAnswerShown();
    EXPECT_FALSE(f.BtInicia->isEnabled());
    // The poll goes on every 5 ticks, quietly.
    const size_t polls = std::count(board.Heard().begin(), board.Heard().end(), '@');
    EXPECT_LT(CpuShareWhileIdle(2s), MostIdleCpu);
    EXPECT_GT(std::count(board.Heard().begin(), board.Heard().end(), '@'), polls);
    ExpectNoAnswerShown();
    EXPECT_TRUE(closer.Seen().empty());
    EXPECT_LT(watch.LongestGapMs(), LongestAllowedGapMs);
    PressFechar();
}

TEST_F(FaultMatrix, AdapterUnpluggedWhilePolling) {
    ScriptedBoard board(ScriptedBoard::Mode::Normal);
    TForm1& f = OpenWindow(board.SlavePath());
    int mostOpen = 0;
    BoxCloser closer([&](const SeenBox&) {
        mostOpen = std::max(mostOpen, Application->OpenExceptionBoxes());
        return true;
    });
    Watch watch(f);
    ConnectToMonitor();
    board.HangUp();
    // The first failed write closes the port and says so in one box; nothing is left running
    // to poll the board into "SEM RESPOSTA" behind it, and the hung-up line does not make a
    // thread spin.
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 10s));
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_FALSE(f.Timeout->Enabled());
    EXPECT_LT(CpuShareWhileIdle(2s), MostIdleCpu);
    EXPECT_FALSE(watch.Showed(NoAnswer));
    EXPECT_EQ(closer.Seen().size(), 1u);
    EXPECT_LE(mostOpen, 1);
    for (const SeenBox& box : closer.Seen()) {
        EXPECT_EQ(box.Title, "Atualizador Quorvel");
        EXPECT_EQ(box.Icon, QMessageBox::Critical) << box.Text;
        // No transfer was running: the port's own cause, not the half-written board's.
        EXPECT_EQ(box.Text.substr(box.Text.find('\n') + 1), OpenFailureCause(EIO)) << box.Text;
    }
    EXPECT_LT(watch.LongestGapMs(), LongestAllowedGapMs);
    ClickTab(0);
    EXPECT_EQ(f.BtSerial->text().toStdString(), "Abrir") << "already closed";
    EXPECT_TRUE(f.BtSerial->isEnabled());
    EXPECT_FALSE(f.Timeout->Enabled());
}

TEST_F(FaultMatrix, AdapterUnpluggedThenTheWindowClosed) {
    ScriptedBoard board(ScriptedBoard::Mode::Normal);
    TForm1& f = OpenWindow(board.SlavePath());
    BoxCloser closer;
    ConnectToMonitor();
    board.HangUp();
    f.close();
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(f.ComPort1->Connected()) << "the device is let go when the window closes";
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_FALSE(f.Timeout->Enabled());
    EXPECT_LT(CpuShareWhileIdle(1s), MostIdleCpu);
}

TEST_F(FaultMatrix, AdapterUnpluggedDuringATransfer) {
    boardsim::SimulatorOptions options;
    options.Board.HangUpAfter = 30;
    SimulatedBoard board(options);
    TForm1& f = OpenWindow(board.SlavePath());
    int mostOpen = 0;
    BoxCloser closer([&](const SeenBox&) {
        mostOpen = std::max(mostOpen, Application->OpenExceptionBoxes());
        return true;
    });
    Watch watch(f);
    ConnectToMonitor();
    Click(f.BtInicia);
    // The transfer ends as a port error in one step: the error box alone, never the give-up
    // box after it, with the port already closed behind it.
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 30s));
    EXPECT_FALSE(Controller.Updating);
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_FALSE(f.Timeout->Enabled());
    EXPECT_LT(CpuShareWhileIdle(2s), MostIdleCpu);
    EXPECT_LE(mostOpen, 1);
    auto texts = closer.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(texts[0].substr(texts[0].find('\n') + 1), TransferFailureCause(EIO)) << texts[0];
    EXPECT_LT(watch.LongestGapMs(), LongestAllowedGapMs);
    ClickTab(0);
    EXPECT_EQ(f.BtSerial->text().toStdString(), "Abrir") << "already closed";
    EXPECT_TRUE(f.BtSerial->isEnabled());
    const boardsim::Board& flashed = board.Finish();
    EXPECT_EQ(flashed.Stats().Accepted, 30u);
    EXPECT_EQ(flashed.Stats().Completions, 0u);
}

TEST_F(FaultMatrix, SecondProgramHoldingThePort) {
    ScriptedBoard board(ScriptedBoard::Mode::Normal);
    DevLink link(board.SlavePath());
    ASSERT_TRUE(link.Made());
    // Another program has the device open and locked, as the port component locks it.
    const int other = open(board.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    form_ = std::make_unique<TForm1>();
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    BoxCloser closer;
    form_->ComComboBox1->SetText(link.Name());
    Click(form_->BtSerial);
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }));
    EXPECT_EQ(closer.Texts(), std::vector<std::string>{"Erro ao abrir porta " + link.Name() +
                                                       "!\n" + OpenFailureCause(EAGAIN)});
    EXPECT_EQ(form_->BtSerial->text().toStdString(), "Abrir");
    EXPECT_FALSE(form_->ComPort1->Connected());
    EXPECT_EQ(form_->ComLed1->State(), lsOff);
    EXPECT_FALSE(form_->BtConecta->isEnabled());
    EXPECT_TRUE(form_->ComComboBox1->isEnabled());
    // Once the other program lets go, the same click works.
    close(other);
    Click(form_->BtSerial);
    EXPECT_TRUE(form_->ComPort1->Connected());
    EXPECT_EQ(closer.Seen().size(), 1u);
}

TEST_F(FaultMatrix, RepliesOneBytePerReceiveEvent) {
    ScriptedBoard board(ScriptedBoard::Mode::OneBytePerEvent);
    TForm1& f = OpenWindow(board.SlavePath());
    board.Pace(f.ComPort1.get());
    int events = 0, largest = 0;
    auto handler = f.ComPort1->OnRxChar;
    f.ComPort1->OnRxChar = [&](TComponent* sender, int count) {
        ++events;
        largest = std::max(largest, count);
        handler(sender, count);
    };
    BoxCloser closer;
    Watch watch(f);
    ConnectToMonitor();
    RunTransfer(closer, 240s);
    ExpectCompletionShown(closer);
    EXPECT_GT(events, 4 * BlockCount);
    EXPECT_EQ(largest, 1);
    EXPECT_LT(watch.LongestGapMs(), LongestAllowedGapMs);
    PressFechar();
    ExpectBuiltInImage(board.Board().Memory());
}

// The user's own moves mid-transfer. The board stops answering one frame for a second so the
// move lands while blocks are still going out.
class UserMidTransfer : public FaultMatrix {
protected:
    void StartStalledTransfer(SimulatedBoard& board) {
        OpenWindow(board.SlavePath());
        ConnectToMonitor();
        Click(form_->BtInicia);
        ASSERT_TRUE(WaitFor([&] { return Controller.Transfer.BlocksSent >= StallAt - 1; }, 60s));
    }
    static boardsim::SimulatorOptions Stalling() {
        boardsim::SimulatorOptions options;
        options.Board.DropAnswerTo = StallAt;
        return options;
    }
    static constexpr int StallAt = 40;
};

TEST_F(UserMidTransfer, PressingFechar) {
    SimulatedBoard board(Stalling());
    BoxCloser closer;
    StartStalledTransfer(board);
    PressFechar();
    EXPECT_FALSE(form_->Timeout->Enabled());
    EXPECT_FALSE(Controller.Updating) << "closing the port ends the transfer";
    EXPECT_LT(CpuShareWhileIdle(1500ms), MostIdleCpu);
    EXPECT_TRUE(closer.Seen().empty());
    // Open again, connect and update: the board ends with exactly the image.
    ClickTab(0);
    Click(form_->BtSerial);
    ClickTab(1);
    Click(form_->BtConecta);
    ASSERT_TRUE(WaitFor([&] { return form_->LbStatus->Caption() == CommunicationOk; }, 20s));
    RunTransfer(closer);
    ExpectCompletionShown(closer);
    PressFechar();
    const boardsim::Board& flashed = board.Finish();
    ExpectBuiltInImage(flashed.Memory());
}

TEST_F(UserMidTransfer, SwitchingTabs) {
    SimulatedBoard board(Stalling());
    BoxCloser closer;
    StartStalledTransfer(board);
    Watch watch(*form_);
    for (int round = 0; round < 3; ++round)
        for (int tab : {0, 2, 3, 1})
            ClickTab(tab);
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 120s));
    ExpectCompletionShown(closer);
    EXPECT_LT(watch.LongestGapMs(), LongestAllowedGapMs);
    PressFechar();
    const boardsim::Board& flashed = board.Finish();
    ExpectBuiltInImage(flashed.Memory());
}

TEST_F(UserMidTransfer, ClosingTheWindow) {
    SimulatedBoard board(Stalling());
    BoxCloser closer;
    StartStalledTransfer(board);
    form_->close();
    EXPECT_FALSE(form_->isVisible());
    EXPECT_FALSE(form_->ComPort1->Connected());
    EXPECT_FALSE(form_->Timeout->Enabled());
    EXPECT_LT(CpuShareWhileIdle(1500ms), MostIdleCpu);
    form_.reset();
    WaitFor([] { return false; }, 300ms);
    EXPECT_TRUE(closer.Seen().empty()) << "nothing is reported for a window the user closed";
    const boardsim::Board& flashed = board.Finish();
    EXPECT_EQ(flashed.Stats().Completions, 0u);
    EXPECT_NE(flashed.Memory(), BuiltInImageBytes());
}

} // namespace

namespace {

// The transfer's integrity: each case ends either with the completion box and the board
// holding exactly the built-in image, or with the give-up box, no completion and the transfer
// flag off; never with a wrong image reported as complete, never with endless frames. Every
// case runs under both of the board's plausible key rules.
enum class End { Completes, GivesUp, Either };

struct IntegrityCase {
    const char* Name;
    boardsim::BoardConfig Board;
    End ExpectA, ExpectB;     // under key rule A and B
    bool CrossStatus = false; // click "Iniciar" just after a poll went out
    bool CloseMidway = false; // "Fechar" mid-transfer, then "Abrir", "Conectar", "Iniciar"
};

using Config = boardsim::BoardConfig;
Config With(void (*set)(Config&)) {
    Config c;
    set(c);
    return c;
}

const IntegrityCase IntegrityCases[] = {
    // Answered 250 ms late, the reply to the poll sent just before the click arrives mid-transfer.
    {"CrossingStatusReply", With([](Config& c) { c.StatusDelayMs = 250; }), End::Completes,
     End::Completes, true},
    // The give-up box after a transfer.
    {"RefusesEveryFrame", With([](Config& c) { c.NakEvery = 1; }), End::GivesUp, End::GivesUp},
    // Under rule B the board keeps the key of the first transfer and refuses to read the new
    // one, unless its first frame was drawn in the same second as the board's last (same
    // random bytes): the resend then carries the key the board holds. (One answer held back
    // for a second, so the close lands mid-transfer.)
    {"ClosedMidTransfer", With([](Config& c) { c.DropAnswerTo = 40; }), End::Completes, End::Either,
     false, true},
};

void PrintTo(const IntegrityCase& c, std::ostream* out) {
    *out << c.Name;
}

} // namespace

namespace boardsim {
void PrintTo(KeyRule rule, std::ostream* out) {
    *out << (rule == KeyRule::ResetOnStatus ? "key rule A" : "key rule B");
}
} // namespace boardsim

namespace {

using IntegrityParam = std::tuple<IntegrityCase, boardsim::KeyRule>;

class Integrity : public FaultMatrix, public ::testing::WithParamInterface<IntegrityParam> {
protected:
    // Clicks "Iniciar"; with `cross`, just after a poll went out (and reached the board before
    // the first frame's purge could drop it), so its reply crosses. The serial number is
    // cleared to show that a status reply was read after the click.
    void Start(bool cross) {
        if (cross) {
            ASSERT_TRUE(WaitFor([] {
                return Controller.PendingCommand.empty() && Controller.StatusWaitTicks == 4;
            }));
            WaitFor([] { return false; }, 30ms);
            Parser.SerialNumber.clear();
        }
        Click(form_->BtInicia);
    }
    void Reconnect() {
        PressFechar();
        ClickTab(0);
        Click(form_->BtSerial);
        ClickTab(1);
        Click(form_->BtConecta);
        ASSERT_TRUE(WaitFor([&] { return form_->LbStatus->Caption() == CommunicationOk; }, 20s));
    }
};

TEST_P(Integrity, EndsSafely) {
    const auto& [c, rule] = GetParam();
    boardsim::SimulatorOptions options;
    options.Board = c.Board;
    options.Board.Keys = rule;
    SimulatedBoard board(options);
    TForm1& f = OpenWindow(board.SlavePath());
    BoxCloser closer;
    Watch watch(f);
    ConnectToMonitor();
    Start(c.CrossStatus);
    if (c.CloseMidway) {
        ASSERT_TRUE(WaitFor([] { return Controller.Transfer.BlocksSent >= 39; }, 60s));
        Reconnect();
        Click(f.BtInicia);
    }
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 60s)) << "no end in 60 s";
    WaitFor([] { return false; }, 200ms); // nothing else follows the box
    const End expected = rule == boardsim::KeyRule::ResetOnStatus ? c.ExpectA : c.ExpectB;
    const bool completed = closer.Texts() == std::vector<std::string>{Completed};
    if (completed) {
        EXPECT_NE(expected, End::GivesUp);
        ExpectCompletionShown(closer);
    } else {
        EXPECT_NE(expected, End::Completes) << closer.Texts()[0];
        EXPECT_EQ(closer.Texts(), std::vector<std::string>{GivenUp});
        ExpectNoAnswerShown();
        EXPECT_FALSE(Controller.Updating);
    }
    EXPECT_FALSE(watch.TransferViewBroke()) << "the transfer's view changed under it";
    if (c.CrossStatus) {
        EXPECT_EQ(Parser.SerialNumber, "A10342") << "no status reply crossed the click";
    }
    EXPECT_LT(CpuShareWhileIdle(500ms), MostIdleCpu);
    EXPECT_LT(watch.LongestGapMs(), LongestAllowedGapMs);
    PressFechar();
    const boardsim::Board& flashed = board.Finish();
    const boardsim::BoardStats& s = flashed.Stats();
    if (completed)
        ExpectBuiltInImage(flashed.Memory());
    else
        EXPECT_EQ(s.Completions, 0u);
    // A handful of frames for the one block the fault hurt, never a stream (the exact counts
    // are the transfer simulation's).
    EXPECT_LE(s.Frames, s.Accepted + UpdateProtocol::RefusalLimit + 3) << s.Frames;
}

INSTANTIATE_TEST_SUITE_P(Faults, Integrity,
                         ::testing::Combine(::testing::ValuesIn(IntegrityCases),
                                            ::testing::Values(boardsim::KeyRule::ResetOnStatus,
                                                              boardsim::KeyRule::KeepUntilRestart)),
                         [](const ::testing::TestParamInfo<IntegrityParam>& info) {
                             return std::string(std::get<0>(info.param).Name) +
                                    (std::get<1>(info.param) == boardsim::KeyRule::ResetOnStatus
                                         ? "_KeyRuleA"
                                         : "_KeyRuleB");
                         });

} // namespace
