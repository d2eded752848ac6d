// The update controller with the real port component on a pseudo-terminal, its tick driven by
// hand: against the board simulator for whole runs, and against a board the test plays byte
// by byte where the exact moment of each send matters.
#include "ControllerTestSupport.h"

#include "framework/Sync.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/ReplyParser.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string StatusReply = "<KX27V4.4M1.0A10342>";
const std::string Identification = "(KX27V4.4M1.0)";
// A two-block image keeps a run short.
const std::string TwoBlocks = ":10080000000102030405060708090A0B0C0D0E0F00\n"
                              ":04090000A0A1A2A300\n"
                              ":00000001FF\n";

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override {
        if (port) {
            port->OnRxChar = nullptr;
            port->Close();
        }
    }

    void Attach(const std::string& path) {
        port = OpenPort(path);
        line = std::make_unique<ComPortLine>(*port);
        controller = std::make_unique<UpdateController>(view, *line);
        port->OnRxChar = [this](TComponent*, int) { controller->ReceiveBytes(); };
    }

    // One tick of the 100 ms timer, when it runs.
    void Tick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            Sync::CheckSynchronize();
            if (view.TimerEnabled)
                controller->TimeoutTimer();
        }
    }

    // Every block accepted: ticks, each after a short wait, until the quiet time before "<F@>"
    // has passed.
    void TickThroughQuiet() {
        for (int i = 0; i < 200 && Controller.Transfer.Quiet; ++i) {
            PumpFor(20ms);
            Tick();
        }
        ASSERT_FALSE(Controller.Transfer.Quiet);
    }

    // Ticks, each followed by a short wait for the board, until the boot monitor answers.
    bool TickUntilReady() {
        for (int i = 0; i < 50 && !Controller.BoardReady; ++i) {
            Tick();
            PumpUntil([] { return Controller.BoardReady; }, 100ms);
        }
        return Controller.BoardReady;
    }

    // Connects through the normal firmware to the polling boot monitor.
    void ConnectTo(SimulatedBoard&) {
        controller->BtConectaClick();
        Tick();
        ASSERT_TRUE(PumpUntil([this] { return view.Placa == "KX27"; }));
        ASSERT_TRUE(TickUntilReady());
    }

    // The same against the test's own board: identification, then one status reply.
    void ConnectTo(Pty& pty) {
        controller->BtConectaClick();
        Tick();
        ASSERT_EQ(TakeAtLeast(pty, 6), "(%B67)");
        pty.Send(Identification);
        ASSERT_TRUE(PumpUntil([this] { return view.Placa == "KX27"; }));
        Tick();
        ASSERT_EQ(TakeAtLeast(pty, 4), "<S@>");
        pty.Send(StatusReply);
        ASSERT_TRUE(PumpUntil([] { return Controller.BoardReady; }));
    }

    // Loads `hex`, connects to the test's own board and starts: the first frame is on the line.
    void StartOnOwnBoard(Pty& pty, const std::string& hex) {
        LoadIntelHex({reinterpret_cast<const uint8_t*>(hex.data()), hex.size()});
        Attach(pty.SlavePath());
        ConnectTo(pty);
        controller->BtIniciaClick();
        ExpectFrameFor(pty, FirstBlock);
    }

    // Reads one data frame for `block` off the line.
    static void ExpectFrameFor(Pty& pty, const FirmwareBlock* block) {
        ASSERT_NE(block, nullptr);
        std::string frame = TakeAtLeast(pty, size_t(15 + block->Count));
        ASSERT_EQ(frame.size(), size_t(15 + block->Count));
        EXPECT_EQ(frame.substr(0, 2), "<D");
        EXPECT_EQ(frame.back(), '>');
    }

    RecordingView view;
    std::unique_ptr<TComPort> port;
    std::unique_ptr<ComPortLine> line;
    std::unique_ptr<UpdateController> controller;
};

TEST_F(ControllerTest, OneWholeUpdateAgainstTheSimulator) {
    SimulatedBoard board;
    Attach(board.SlavePath());

    controller->BtConectaClick();
    EXPECT_EQ(port->BaudRate(), br9600);
    EXPECT_EQ(Controller.PendingCommand, "(%B67)");
    EXPECT_EQ(Controller.ConnectWaitTicks, 5);
    EXPECT_FALSE(view.ConectaEnabled);
    EXPECT_TRUE(view.TimerEnabled);

    Tick(); // "(%B67)" goes out
    EXPECT_EQ(Controller.PendingCommand, "");
    ASSERT_TRUE(PumpUntil([this] { return view.Placa == "KX27"; }));
    EXPECT_EQ(view.Versao1, "V4.4 M1.0");
    EXPECT_TRUE(view.IniciaEnabled);
    EXPECT_FALSE(view.ConectaEnabled);
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(Controller.ConnectWaitTicks, 0);
    EXPECT_EQ(Controller.PendingCommand, "<S@>");

    ASSERT_TRUE(TickUntilReady());
    EXPECT_EQ(view.Status, "Comunicação  OK");
    EXPECT_EQ(view.StatusColor, clStatusBlue);
    EXPECT_EQ(view.Serial, "A10342");
    EXPECT_EQ(view.Placa, "KX27");

    controller->BtIniciaClick();
    EXPECT_TRUE(Controller.Updating);
    EXPECT_EQ(view.Status, "Atualizando  0/" + std::to_string(BlockCount));
    EXPECT_EQ(view.StatusColor, clStatusGreen);
    EXPECT_EQ(view.Maximum, BlockCount);
    EXPECT_EQ(view.Position, 0);
    EXPECT_FALSE(view.IniciaEnabled);
    EXPECT_TRUE(view.TimerEnabled);

    // Each acknowledgement sends the next block; after a quiet time "<F@>", and "<FF>" ends it.
    int sentAtCompletion = -1;
    view.WhileMessageShown = [&](const std::string&) {
        sentAtCompletion = Controller.Transfer.BlocksSent;
    };
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.Quiet; }, 120s));
    EXPECT_EQ(Controller.Transfer.BlocksSent, BlockCount);
    TickThroughQuiet();
    ASSERT_TRUE(PumpUntil([this] { return !view.Messages.empty(); }, 10s));
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::Completed});
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::Completed});
    EXPECT_EQ(sentAtCompletion, BlockCount);
    EXPECT_EQ(view.Steps, BlockCount);
    EXPECT_EQ(view.StatusShown["Atualizando  " + std::to_string(BlockCount) + "/" +
                               std::to_string(BlockCount)],
              1);
    EXPECT_EQ(view.Status, "");
    EXPECT_EQ(view.Placa, "-");
    EXPECT_EQ(view.Versao1, "-");
    EXPECT_EQ(view.Serial, "-");
    EXPECT_EQ(view.Position, 0);
    EXPECT_FALSE(view.TimerEnabled);
    EXPECT_TRUE(view.ConectaEnabled);
    EXPECT_FALSE(Controller.BoardReady);
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(CurrentBlock, nullptr);

    PumpFor(50ms);
    const boardsim::Board& flashed = board.Finish();
    EXPECT_EQ(flashed.Memory(), BuiltInImageBytes());
    EXPECT_EQ(flashed.Stats().Accepted, uint64_t(BlockCount));
    EXPECT_EQ(flashed.Stats().Resends, 0u);
    EXPECT_EQ(flashed.Stats().Completions, 1u);
}

TEST_F(ControllerTest, ABoardAlreadyInItsMonitorIsPolledWhenTheConnectWaitRunsOut) {
    boardsim::SimulatorOptions options;
    options.Board.StartInMonitor = true;
    SimulatedBoard board(options);
    Attach(board.SlavePath());

    controller->BtConectaClick();
    for (int tick = 1; tick <= 4; ++tick) {
        Tick();
        PumpFor(20ms);
        EXPECT_EQ(Controller.ConnectWaitTicks, 5 - tick);
        EXPECT_EQ(port->BaudRate(), br9600);
        EXPECT_FALSE(view.ConectaEnabled);
    }
    Tick(); // the fifth: the wait runs out
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(Controller.StatusWaitTicks, 4) << "set to 5 and already counted in this tick";
    EXPECT_TRUE(view.ConectaEnabled);
    EXPECT_FALSE(Controller.BoardReady);
    EXPECT_EQ(view.Placa, "-") << "no identification came";

    ASSERT_TRUE(PumpUntil([] { return Controller.BoardReady; }));
    EXPECT_EQ(view.Status, "Comunicação  OK");
    EXPECT_EQ(view.Versao1, "V4.4 M1.0");
    EXPECT_FALSE(view.ConectaEnabled);
    EXPECT_EQ(Controller.PendingCommand, "<S@>");
    EXPECT_EQ(Controller.CommandDelayTicks, 1);

    // Polling goes on about once per tick while the monitor answers.
    for (int i = 0; i < 5; ++i) {
        Tick();
        PumpFor(60ms);
    }
    EXPECT_TRUE(Controller.BoardReady);
    EXPECT_EQ(view.StatusShown["SEM RESPOSTA"], 0);
    // A click on "Conectar" while the board is ready changes nothing.
    controller->BtConectaClick();
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(Controller.ConnectWaitTicks, 0);
    board.Finish();
}

TEST_F(ControllerTest, ASilentBoardShowsNoAnswerEveryFiveTicks) {
    Pty pty;
    Attach(pty.SlavePath());
    controller->BtConectaClick();
    std::vector<int> statusQueries;
    for (int tick = 1; tick <= 19; ++tick) {
        Tick();
        std::string sent = pty.Take();
        if (tick == 1)
            EXPECT_EQ(sent, "(%B67)");
        else if (sent == "<S@>")
            statusQueries.push_back(tick);
        else
            EXPECT_EQ(sent, "") << "tick " << tick;
        if (tick == 8) {
            EXPECT_EQ(view.StatusShown["SEM RESPOSTA"], 0);
        }
    }
    EXPECT_EQ(statusQueries, (std::vector<int>{5, 9, 14, 19}));
    EXPECT_EQ(view.StatusShown["SEM RESPOSTA"], 3);
    EXPECT_EQ(view.Status, "SEM RESPOSTA");
    EXPECT_EQ(view.StatusColor, clStatusRed);
    EXPECT_EQ(view.Placa, "-");
    EXPECT_TRUE(view.ConectaEnabled);

    // "Conectar" during the poll: its countdown keeps running and switches back to 19200
    // before the connect wait has run out.
    Tick(2);
    EXPECT_EQ(Controller.StatusWaitTicks, 3);
    controller->BtConectaClick();
    EXPECT_EQ(port->BaudRate(), br9600);
    Tick(3);
    EXPECT_EQ(Controller.ConnectWaitTicks, 2);
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(pty.Take(), "(%B67)<S@>");
    EXPECT_EQ(view.StatusShown["SEM RESPOSTA"], 4);
}

TEST_F(ControllerTest, AnUnansweredFrameIsSentAgainAfterTenAndTwentyTicksThenGivenUp) {
    boardsim::SimulatorOptions options;
    options.Board.SilentAfter = 2;
    SimulatedBoard board(options);
    Attach(board.SlavePath());
    ConnectTo(board);

    controller->BtIniciaClick();
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.BlocksSent == 2; }));
    FirmwareBlock* third = CurrentBlock;
    ASSERT_EQ(third, FirstBlock->Next->Next);
    for (int tick = 1; tick <= 29; ++tick) {
        Tick();
        int expected = tick < 10 ? 3 : tick < 20 ? 2 : 1;
        ASSERT_EQ(Controller.Transfer.AckRetries, expected) << "tick " << tick;
        ASSERT_TRUE(Controller.Updating);
    }
    FirmwareBlock* currentDuringBox = nullptr;
    view.WhileMessageShown = [&](const std::string&) { currentDuringBox = CurrentBlock; };
    Tick(); // the thirtieth
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::GivenUp});
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::GivenUp});
    EXPECT_EQ(currentDuringBox, third) << "the block list is rewound only after the box";
    EXPECT_EQ(CurrentBlock, FirstBlock);
    EXPECT_FALSE(Controller.Updating);
    EXPECT_FALSE(Controller.BoardReady);
    EXPECT_EQ(view.Status, "SEM RESPOSTA");
    EXPECT_EQ(view.StatusColor, clStatusRed);
    EXPECT_EQ(view.Placa, "-");
    EXPECT_EQ(view.Serial, "-");
    EXPECT_EQ(view.Position, 0);
    EXPECT_TRUE(view.ConectaEnabled);
    EXPECT_FALSE(view.IniciaEnabled);
    EXPECT_TRUE(view.TimerEnabled) << "the tick keeps running with nothing to count";

    EXPECT_EQ(board.Finish().Stats().Accepted, 2u);
}

TEST_F(ControllerTest, ASendAgainRequestRestoresTheWholeBudget) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    Tick(); // one poll goes out and stays unanswered
    pty.Take();

    controller->BtIniciaClick();
    EXPECT_EQ(Controller.StatusWaitTicks, 0);
    EXPECT_EQ(Controller.CommandDelayTicks, 0);
    ExpectFrameFor(pty, FirstBlock);
    Tick(10);
    ExpectFrameFor(pty, FirstBlock);
    Tick(10);
    ExpectFrameFor(pty, FirstBlock);
    EXPECT_EQ(Controller.Transfer.AckRetries, 1);
    Tick(5);

    // The answer of the oldest copy; the other two are still owed theirs, which come first.
    pty.Send("<D?>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.OwedCopies.size() == 2; }));
    EXPECT_EQ(Controller.Transfer.AckRetries, 3);
    EXPECT_FALSE(Controller.Transfer.ResendDue);
    pty.Send("<D?><D?>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.ResendDue; }));
    EXPECT_EQ(pty.Take(), "") << "a refused frame goes again on the next tick";
    Tick();
    ExpectFrameFor(pty, FirstBlock);
    EXPECT_EQ(Controller.Transfer.AckRetries, 3);
    EXPECT_EQ(Controller.AckWaitTicks, 10);
    EXPECT_EQ(Controller.Transfer.BlocksSent, 0);

    // The full budget again: two more sends, then giving up on the thirtieth tick.
    Tick(10);
    ExpectFrameFor(pty, FirstBlock);
    Tick(10);
    ExpectFrameFor(pty, FirstBlock);
    Tick(9);
    EXPECT_TRUE(Controller.Updating);
    Tick();
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(pty.Take(), "");

    // Another transfer has its own full budget for its first frame.
    pty.Send(StatusReply);
    ASSERT_TRUE(PumpUntil([] { return Controller.BoardReady; }));
    controller->BtIniciaClick();
    ExpectFrameFor(pty, FirstBlock);
    EXPECT_EQ(Controller.Transfer.AckRetries, 3);
    pty.Send("<DD>");
    ExpectFrameFor(pty, FirstBlock->Next);
    EXPECT_EQ(Controller.Transfer.BlocksSent, 1);
    EXPECT_EQ(view.Status, "Atualizando  1/" + std::to_string(BlockCount));
}

TEST_F(ControllerTest, AnAnswerNoFrameIsOwedEndsTheTransferAsNotProven) {
    LoadIntelHex({reinterpret_cast<const uint8_t*>(TwoBlocks.data()), TwoBlocks.size()});
    ASSERT_EQ(BlockCount, 2);
    Pty pty;
    Attach(pty.SlavePath());
    // The board answers each frame once: an answer too many, at once, in the quiet time
    // before "<F@>" or between "<F@>" and "<FF>", proves an answer was taken for another
    // frame's.
    enum When { AtOnce, WhileQuiet, AfterClosing };
    for (When when : {AtOnce, WhileQuiet, AfterClosing}) {
        for (const char* answer : {"<DD>", "<D?>"}) {
            view = RecordingView{};
            ConnectTo(pty);
            controller->BtIniciaClick();
            ExpectFrameFor(pty, FirstBlock);
            if (when == AtOnce) {
                // A refusal, and before the resend goes out another answer.
                pty.Send(std::string("<D?>") + answer);
            } else {
                pty.Send("<DD>");
                ExpectFrameFor(pty, FirstBlock->Next);
                pty.Send("<DD>");
                ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.Quiet; }));
                EXPECT_EQ(pty.Take(), "") << "no \"<F@>\" before the quiet time";
                if (when == AfterClosing) {
                    TickThroughQuiet();
                    EXPECT_EQ(TakeAtLeast(pty, 4), "<F@>");
                }
                pty.Send(answer);
            }
            ASSERT_TRUE(PumpUntil([this] { return !view.Messages.empty(); })) << when;
            EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::GivenUp});
            EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::OutOfStep});
            EXPECT_FALSE(Controller.Updating);
            EXPECT_EQ(CurrentBlock, FirstBlock);
            // A completion after it is dropped, and nothing more is sent.
            pty.Send("<FF>");
            PumpFor(30ms);
            Tick(30);
            EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::OutOfStep});
            EXPECT_EQ(pty.Take(), "");
        }
    }
}

TEST_F(ControllerTest, ATransferAfterOneGivenUpDuringAResendStartsClean) {
    // A refusal makes both blocks go again once they have gone; the board falls silent in the
    // middle of that resend, and the transfer is given up.
    Pty pty;
    StartOnOwnBoard(pty, TwoBlocks);
    pty.Send("<D?>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.ResendDue; }));
    Tick();
    ExpectFrameFor(pty, FirstBlock);
    pty.Send("<DD>");
    ExpectFrameFor(pty, FirstBlock->Next);
    pty.Send("<DD>");
    ExpectFrameFor(pty, FirstBlock);
    ASSERT_EQ(Controller.Transfer.Replays, 1);
    Tick(30);
    ASSERT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::GivenUp});
    pty.Take();

    // Nothing of it carries over: each block goes once, then "<F@>", and the record's counts
    // are this transfer's.
    view = RecordingView{};
    ConnectTo(pty);
    controller->BtIniciaClick();
    ExpectFrameFor(pty, FirstBlock);
    pty.Send("<DD>");
    ExpectFrameFor(pty, FirstBlock->Next);
    pty.Send("<DD>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.Quiet; }));
    TickThroughQuiet();
    EXPECT_EQ(TakeAtLeast(pty, 4), "<F@>");
    EXPECT_EQ(Controller.Transfer.BlocksSent, 2);
    EXPECT_EQ(Controller.Transfer.Replays, 0);
    EXPECT_EQ(Controller.Transfer.Resends, 0);
    EXPECT_EQ(Controller.Transfer.Refusals, 0);
    pty.Send("<FF>");
    ASSERT_TRUE(PumpUntil([this] { return !view.Ends.empty(); }));
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::Completed});
}

TEST_F(ControllerTest, AClosingCommandLostOnTheWayIsSentAgainAndCompletes) {
    Pty pty;
    StartOnOwnBoard(pty, ":04080000DEADBEEF00\n:00000001FF\n");
    pty.Send("<DD>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.Quiet; }));
    TickThroughQuiet();
    EXPECT_EQ(TakeAtLeast(pty, 4), "<F@>");
    Tick(10);
    EXPECT_EQ(pty.Take(), "<F@>");
    EXPECT_EQ(Controller.Transfer.AckRetries, 2);
    pty.Send("<FF>");
    ASSERT_TRUE(PumpUntil([this] { return !view.Messages.empty(); }));
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::Completed});
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::Completed});
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(Parser.ParserState, 0u);
}

TEST_F(ControllerTest, StartingIsRefusedBeforeTheMonitorAnswersOrForAnotherMonitorVersion) {
    boardsim::SimulatorOptions options;
    options.Board.IncompatibleMonitor = true;
    SimulatedBoard board(options);
    Attach(board.SlavePath());

    controller->BtIniciaClick();
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::BoardNotReady});
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::NoAnswer});

    ConnectTo(board);
    EXPECT_NE(Parser.MonitorVersion, "1.0");
    view.Messages.clear();
    view.Ends.clear();
    const std::string statusBefore = view.Status;
    controller->BtIniciaClick();
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::WrongMonitor});
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::IncompatibleMonitor});
    EXPECT_FALSE(Controller.Updating);
    EXPECT_TRUE(view.IniciaEnabled);
    EXPECT_EQ(view.Status, statusBefore);
    PumpFor(50ms);
    EXPECT_EQ(board.Finish().Stats().Frames, 0u);
}

TEST_F(ControllerTest, StartingWithNoBlockToSendIsRefusedAndChangesNothing) {
    // Only data below the monitor's end: nothing is loaded.
    const std::string hex = ":0400100001020304E2\n:00000001FF\n";
    LoadIntelHex({reinterpret_cast<const uint8_t*>(hex.data()), hex.size()});
    ASSERT_EQ(FirstBlock, nullptr);
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    Tick();
    pty.Take();
    const ControllerState before = Controller;

    controller->BtIniciaClick();
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::NothingToSend});
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(Controller.StatusWaitTicks, before.StatusWaitTicks);
    EXPECT_EQ(Controller.AckWaitTicks, 0);
    EXPECT_EQ(CurrentBlock, nullptr);
    EXPECT_TRUE(view.IniciaEnabled);
    EXPECT_TRUE(view.TimerEnabled);
    EXPECT_EQ(view.Status, "Comunicação  OK");
    PumpFor(30ms);
    EXPECT_EQ(pty.Take(), "");
}

TEST_F(ControllerTest, ACompletionReplyOutsideTheClosingStepIsDropped) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    ASSERT_FALSE(Controller.Updating);
    // While polling, and then with blocks still to send.
    for (bool transfer : {false, true}) {
        if (transfer) {
            controller->BtIniciaClick();
            ExpectFrameFor(pty, FirstBlock);
        }
        pty.Send("<FF>");
        PumpFor(50ms);
        EXPECT_EQ(Parser.ParserState, 14u);
        EXPECT_TRUE(view.Messages.empty());
        EXPECT_TRUE(view.TimerEnabled);
        EXPECT_EQ(Controller.Updating, transfer);
        EXPECT_TRUE(Controller.BoardReady);
        EXPECT_EQ(view.Placa, "KX27");
    }
    // The parser reads on: the next acknowledgement moves the transfer.
    pty.Send("<DD>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.BlocksSent == 1; }));
    ExpectFrameFor(pty, FirstBlock->Next);
}

TEST_F(ControllerTest, AStatusReplyDuringATransferChangesNothing) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    controller->BtIniciaClick();
    ExpectFrameFor(pty, FirstBlock);
    const FrameKeyBytes key = HeaderKey;
    const std::string status = view.Status;
    Parser.SerialNumber.clear();
    pty.Send(StatusReply);
    ASSERT_TRUE(PumpUntil([] { return Parser.SerialNumber == "A10342"; }));
    EXPECT_EQ(HeaderKey, key);
    EXPECT_EQ(Controller.CommandDelayTicks, 0);
    EXPECT_EQ(Controller.StatusWaitTicks, 0);
    EXPECT_EQ(view.Status, status);
    EXPECT_EQ(view.StatusColor, clStatusGreen);
    EXPECT_FALSE(view.IniciaEnabled);
    Tick(3);
    EXPECT_EQ(pty.Take(), "") << "no poll between frames";
}

TEST_F(ControllerTest, RefusalsAreBoundedAndABurstSendsOneFrame) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    controller->BtIniciaClick();
    ExpectFrameFor(pty, FirstBlock);
    Tick(10);
    ExpectFrameFor(pty, FirstBlock);
    Tick(10);
    ExpectFrameFor(pty, FirstBlock);
    // Three copies refused at once: each counts, one frame goes on the next tick.
    pty.Send("<D?><D?><D?>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.BlockRefusals == 3; }));
    Tick();
    ExpectFrameFor(pty, FirstBlock);
    PumpFor(20ms);
    EXPECT_EQ(pty.Take(), "");
    // An acceptance clears the count; the next block then gets its own ten.
    pty.Send("<DD>");
    ExpectFrameFor(pty, FirstBlock->Next);
    EXPECT_EQ(Controller.Transfer.BlockRefusals, 0);
    int frames = 1;
    for (int refusal = 1; refusal < UpdateProtocol::RefusalLimit; ++refusal) {
        pty.Send("<D?>");
        ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.ResendDue; })) << refusal;
        Tick();
        ExpectFrameFor(pty, FirstBlock->Next);
        ++frames;
    }
    EXPECT_TRUE(Controller.Updating);
    pty.Send("<D?>");
    ASSERT_TRUE(PumpUntil([this] { return !view.Messages.empty(); }));
    EXPECT_EQ(view.Messages, std::vector<std::string>{UpdateTexts::GivenUp});
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::Refused});
    EXPECT_EQ(view.Details, std::vector<std::string>{"the board refused block 0x0840 ten times"});
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(view.Status, "SEM RESPOSTA");
    Tick(30);
    EXPECT_EQ(pty.Take(), "");
    EXPECT_EQ(frames, UpdateProtocol::RefusalLimit);
}

TEST_F(ControllerTest, ClosingThePortEndsTheTransfer) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    controller->BtIniciaClick();
    ExpectFrameFor(pty, FirstBlock);
    // As the window has it: every close of the port tells the controller first.
    port->OnBeforeClose = [this](TComponent*) { controller->PortClosing(); };
    port->Close();
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(Controller.AckWaitTicks, 0);
    port->Open();
    pty.Send(StatusReply);
    ASSERT_TRUE(PumpUntil([this] { return view.IniciaEnabled; }));
    EXPECT_EQ(view.Status, "Comunicação  OK");
}

TEST_F(ControllerTest, ATransferStartedWhileAStatusReplyIsHalfReadDropsItsRest) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    Tick();
    ASSERT_EQ(TakeAtLeast(pty, 4), "<S@>");
    pty.Send(StatusReply.substr(0, 8)); // "<KX27V4."
    ASSERT_TRUE(PumpUntil([] { return Parser.ParserState == 22; }));
    // The rest is in the port's queue but not read yet when the click comes.
    pty.Send(StatusReply.substr(8));
    // Without pumping: the receive event stays queued for the main thread.
    for (int i = 0; i < 5000 && port->InputCount() < 12; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(port->InputCount(), 12);

    controller->BtIniciaClick();
    ExpectFrameFor(pty, FirstBlock);
    PumpFor(30ms);
    EXPECT_EQ(Parser.ParserState, 22u) << "the purge dropped the rest of the reply";

    // The parser is still inside a status reply, so this acknowledgement goes unrecognised
    // and counts as missing: the frame goes again after ten ticks.
    pty.Send("<DD>");
    PumpFor(50ms);
    EXPECT_EQ(Controller.Transfer.BlocksSent, 0);
    Tick(9);
    EXPECT_EQ(pty.Take(), "");
    Tick();
    ExpectFrameFor(pty, FirstBlock);
    pty.Send("<DD>");
    ASSERT_TRUE(PumpUntil([] { return Controller.Transfer.BlocksSent == 1; }));
    // That answer was the first frame's; the resend's is still owed, and taken for the next
    // block it would step past that block unsent. The next frame waits until the resend
    // counts as lost: with no answer timed yet, after the longest wait.
    Tick();
    EXPECT_EQ(pty.Take(), "");
    for (int i = 0; i < 300 && Controller.Transfer.Draining; ++i) {
        PumpFor(50ms);
        Tick();
    }
    ExpectFrameFor(pty, FirstBlock->Next);
}

} // namespace

namespace {

TEST_F(ControllerTest, AFirstFrameThatCannotBeWrittenEndsTheTransferAtOnce) {
    Pty pty;
    Attach(pty.SlavePath());
    ConnectTo(pty);
    pty.CloseMaster(); // the adapter is pulled out between the status reply and the click
    EXPECT_THROW(controller->BtIniciaClick(), EComPort);
    EXPECT_EQ(view.Ends, std::vector<UpdateEnd>{UpdateEnd::PortError});
    // As after a give-up, without its box: nothing waits for an answer, "Conectar" works.
    EXPECT_FALSE(Controller.Updating);
    EXPECT_EQ(Controller.AckWaitTicks, 0);
    EXPECT_TRUE(Controller.Transfer.OwedCopies.empty());
    EXPECT_TRUE(view.ConectaEnabled);
    EXPECT_TRUE(view.TimerEnabled);
    EXPECT_TRUE(view.Messages.empty());
}

} // namespace
