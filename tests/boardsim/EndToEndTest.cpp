// The updater's own frame encoder and reply parser against the board simulator through a
// real pseudo-terminal: the whole built-in image must arrive intact, also across a refused
// frame, a lost answer and a frame damaged on the line.
#include "PtyClient.h"
#include "tools/boardsim/Simulator.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/ReplyParser.h"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

using namespace boardsim;

namespace {

// The encoder's port: purge and write on the pty slave. It can damage one byte of the n-th
// frame it writes, as line noise would.
struct SlavePort {
    int Fd;
    int DamageWrite = 0;
    int Writes = 0;

    void ClearBuffer(bool input, bool output) {
        if (input || output)
            tcflush(Fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
    }
    void Write(const void* data, int length) {
        std::string bytes(static_cast<const char*>(data), static_cast<size_t>(length));
        if (++Writes == DamageWrite)
            bytes[14] = static_cast<char>(bytes[14] ^ 0x10); // second data byte
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(Fd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
        }
    }
};

struct Replies : ReplyReceiver {
    int Identifications = 0, Statuses = 0, Completions = 0;
    std::deque<char> Acks;
    void IdentificationReceived() override { ++Identifications; }
    void StatusReceived() override {
        ++Statuses;
        ResetHeaderKey(); // as the controller does after every status reply
    }
    void AckReceived(char code) override { Acks.push_back(code); }
    void CompletionReceived() override { ++Completions; }
};

// Feeds what the board sends to the parser until `done` holds or `limit` passes.
template <class Done>
bool Pump(PtyClient& port, Replies& replies, Done done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        std::string bytes = port.Read(1, left);
        ParseReplyBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                        replies);
    }
    return true;
}

class RunningSimulator {
public:
    explicit RunningSimulator(SimulatorOptions options)
        : sim_(std::move(options)), thread_([this] { sim_.Run(); }) {}
    ~RunningSimulator() { Stop(); }
    const std::string& Path() const { return sim_.SlavePath(); }
    const Board& Stop() {
        if (thread_.joinable()) {
            sim_.Stop();
            thread_.join();
        }
        return sim_.GetBoard();
    }

private:
    Simulator sim_;
    std::thread thread_;
};

} // namespace

TEST(EndToEnd, BuiltInImageArrivesIntactThroughNakLostAnswerAndDamagedFrame) {
    LoadFirmwareImage();
    ASSERT_NE(FirstBlock, nullptr);
    std::map<uint32_t, uint8_t> expected;
    for (const FirmwareBlock* b = FirstBlock; b; b = b->Next)
        for (int j = 0; j < b->Count; ++j)
            expected[b->Address() + static_cast<uint32_t>(j)] = b->Data[j];

    SimulatorOptions options;
    options.Board.NakEvery = 97;
    options.Board.DropAnswerTo = 13;
    RunningSimulator sim(options);
    PtyClient port(sim.Path());
    ASSERT_TRUE(port.IsOpen());
    Parser = ReplyParserState{};
    Controller = ControllerState{};
    ResetHeaderKey();
    Replies replies;
    const auto wait = std::chrono::seconds(10);

    port.SetBaud(9600);
    port.Write("(%B67)");
    ASSERT_TRUE(Pump(
        port, replies, [&] { return replies.Identifications == 1; }, wait));
    EXPECT_EQ(Parser.BoardName, "KX27");
    EXPECT_EQ(Parser.FirmwareVersion, "4.4");
    EXPECT_EQ(Parser.MonitorVersion, "1.0");

    port.SetBaud(19200);
    port.Write("<S@>");
    ASSERT_TRUE(Pump(
        port, replies, [&] { return replies.Statuses == 1; }, wait));
    EXPECT_EQ(Parser.SerialNumber, "A10342");

    // Frames built within one second share their random bytes, so whether the board rolls
    // its key correctly only shows when the key changes. The resend after the lost answer
    // comes a full second later with new bytes: that is the frame to damage.
    SlavePort wire{port.Fd(), options.Board.DropAnswerTo + 1};
    Controller.Updating = true;
    int frames = 0;
    for (const FirmwareBlock* block = FirstBlock; block;) {
        int sends = 0;
        char ack = 0;
        while (ack != 'D') {
            // The updater's budget: three sends without an answer, a refusal renews it.
            ASSERT_LT(sends, 3) << "block at " << block->Address() << " never acknowledged";
            SendBlockFrame(wire, *block);
            ++frames;
            ++sends;
            replies.Acks.clear();
            if (Pump(
                    port, replies, [&] { return !replies.Acks.empty(); },
                    std::chrono::seconds(1))) {
                ack = replies.Acks.front();
                ASSERT_TRUE(ack == 'D' || ack == '?') << int(ack);
                if (ack == '?')
                    sends = 0;
            }
        }
        block = block->Next;
    }
    port.Write("<F@>");
    ASSERT_TRUE(Pump(
        port, replies, [&] { return replies.Completions == 1; }, wait));

    const Board& board = sim.Stop();
    EXPECT_EQ(board.CurrentMode(), Board::Mode::Finished);
    EXPECT_TRUE(board.Memory() == expected) << "flashed image differs from the built-in one";
    const BoardStats& s = board.Stats();
    EXPECT_EQ(s.Frames, static_cast<uint64_t>(frames));
    EXPECT_EQ(s.BadChecksums, 1u);
    EXPECT_EQ(s.DroppedAnswers, 1u);
    EXPECT_GE(s.Naks, 2u); // the damaged frame and at least one refused on purpose
    // Every refusal and the lost answer cost exactly one extra frame for the same block.
    EXPECT_EQ(s.Frames, static_cast<uint64_t>(BlockCount) + s.Naks + s.DroppedAnswers);
    EXPECT_EQ(s.Resends, s.Frames - static_cast<uint64_t>(BlockCount));
    EXPECT_EQ(s.Accepted, static_cast<uint64_t>(BlockCount) + s.DroppedAnswers);
    EXPECT_EQ(s.StatusPolls, 1u);
    EXPECT_EQ(s.WrongSpeedBytes, 0u);
    Controller = ControllerState{};
}
