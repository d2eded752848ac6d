#pragma once
// One whole update as the updater performs it, with its frame encoder and reply parser,
// against the board simulator, over any line to the simulator's pseudo-terminal. A Line
// offers SetBaud, WriteText, the encoder's ClearBuffer/Write, and Pump (hand received bytes
// to the parser until a condition holds or a time limit passes).
#include "tests/support/SimulatedBoard.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/ReplyParser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>

namespace updaterun {

using namespace boardsim;
using Limit = std::chrono::milliseconds;

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

// The encoder's port, damaging one byte of the n-th frame on its way, as line noise would.
template <class Line> struct DamagingPort {
    Line& line;
    int DamageWrite;
    int Writes = 0;

    void ClearBuffer(bool input, bool output) { line.ClearBuffer(input, output); }
    void Write(const void* data, int length) {
        std::string bytes(static_cast<const char*>(data), static_cast<size_t>(length));
        if (++Writes == DamageWrite)
            bytes[14] = static_cast<char>(bytes[14] ^ 0x10); // second data byte
        line.Write(bytes.data(), length);
    }
};

// Connects, identifies, sends every block of the built-in image with the updater's rules for
// refusals and missing answers, closes, and checks what the board flashed and counted.
template <class Line> void UpdateWholeImage(bool pace = false) {
    LoadFirmwareImage();
    ASSERT_NE(FirstBlock, nullptr);
    std::map<uint32_t, uint8_t> expected;
    for (const FirmwareBlock* b = FirstBlock; b; b = b->Next)
        for (int j = 0; j < b->Count; ++j)
            expected[b->Address() + static_cast<uint32_t>(j)] = b->Data[j];

    SimulatorOptions options;
    options.Board.NakEvery = 97;
    options.Board.DropAnswerTo = 13;
    options.Pace = pace;
    SimulatedBoard sim(options);
    Parser = ReplyParserState{};
    Controller = ControllerState{};
    ResetHeaderKey();
    Replies replies;
    Line line(sim.SlavePath(), replies);
    const Limit wait = std::chrono::seconds(10);

    line.SetBaud(9600);
    line.WriteText("(%B67)");
    ASSERT_TRUE(line.Pump([&] { return replies.Identifications == 1; }, wait));
    EXPECT_EQ(Parser.BoardName, "KX27");
    EXPECT_EQ(Parser.FirmwareVersion, "4.4");
    EXPECT_EQ(Parser.MonitorVersion, "1.0");

    line.SetBaud(19200);
    line.WriteText("<S@>");
    ASSERT_TRUE(line.Pump([&] { return replies.Statuses == 1; }, wait));
    EXPECT_EQ(Parser.SerialNumber, "A10342");

    // Frames built within one second share their random bytes, so whether the board rolls
    // its key correctly only shows when the key changes. The resend after the lost answer
    // comes a full second later with new bytes: that is the frame to damage.
    DamagingPort<Line> wire{line, options.Board.DropAnswerTo + 1};
    Controller.Updating = true;
    int frames = 0;
    for (const FirmwareBlock* block = FirstBlock; block; block = block->Next) {
        int sends = 0;
        char ack = 0;
        while (ack != 'D') {
            // The updater's budget: three sends without an answer; a refusal renews it.
            ASSERT_LT(sends, 3) << "block at " << block->Address() << " never acknowledged";
            SendBlockFrame(wire, *block);
            ++frames;
            ++sends;
            replies.Acks.clear();
            if (line.Pump([&] { return !replies.Acks.empty(); }, std::chrono::seconds(1))) {
                ack = replies.Acks.front();
                ASSERT_TRUE(ack == 'D' || ack == '?') << int(ack);
                if (ack == '?')
                    sends = 0;
            }
        }
    }
    line.WriteText("<F@>");
    ASSERT_TRUE(line.Pump([&] { return replies.Completions == 1; }, wait));

    const Board& board = sim.Finish();
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

} // namespace updaterun
