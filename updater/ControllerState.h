#pragma once
// The update controller's program-wide state, with its start-up values. Only the main thread
// touches it. `ControllerState{}` is the state at start-up.
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

// One transfer's progress, from "Iniciar" on. `TransferProgress{}` is a transfer not yet
// begun: each transfer starts from it, so nothing of the one before carries over.
struct TransferProgress {
    // Frames still allowed for the current block before the transfer is given up: the whole
    // send budget (UpdateProtocol::SendBudget) at first.
    int32_t AckRetries = 3;
    int32_t BlocksSent = 0;
    // For the service record: when the transfer started, frames sent again, blocks refused.
    std::chrono::system_clock::time_point Start{};
    int32_t Resends = 0;
    int32_t Refusals = 0;
    // Refusals ("?" or an unknown code) of the current block since it was last accepted; the
    // transfer is given up at UpdateProtocol::RefusalLimit.
    int32_t BlockRefusals = 0;
    // The frames still owed an answer, oldest first, by the steady time each was sent at (ms).
    // The board answers every frame it reads once, in turn, and the line keeps the order, so
    // each answer belongs to the oldest of them, and an answer when none is owed proves the
    // pairing shifted. While `Draining`, they are copies of a block already accepted.
    std::deque<int64_t> OwedCopies;
    // Where the block those copies carry stands in the transfer (0 = the first).
    int32_t CopiesOrdinal = 0;
    // The current block was accepted; the next frame waits until the answers still owed by
    // the accepted block's other copies have come, or those copies count as lost.
    bool Draining = false;
    // The slowest answer of this transfer (ms after the newest frame owed one when it came;
    // exact when only one was owed), and whether one came with only one frame owed.
    int64_t SlowestAnswerMs = 0;
    bool AnswerTimed = false;
    int64_t LastFrameMs = 0;
    bool SendNextDue = false;
    // A refused frame goes again on the next tick, so a burst of refusals sends one frame.
    bool ResendDue = false;
    // Every block accepted and nothing owed: "<F@>" waits for a quiet time.
    bool Quiet = false;
    // "<F@>" has gone out: only now may "<FF>" end the transfer.
    bool ClosingSent = false;
    // Where the current block stands among the blocks of the transfer (0 = the first), how
    // many there are, and the first block never sent.
    int32_t BlockOrdinal = 0;
    int32_t TransferBlocks = 0;
    int32_t NextNew = 0;
    // Blocks hit by a fault (a refusal, an unknown answer, a copy lost) that still have to go
    // again: from `ReplayFrom` to `ReplayUntil`; -1 when none.
    int32_t ReplayFrom = -1;
    int32_t ReplayUntil = -1;
    int32_t ReplayLeft = 0;  // blocks of the running resend still to go
    int32_t ReplayChain = 0; // resends since a block never sent before was accepted
    int32_t Replays = 0;     // resends of the whole transfer
};

struct ControllerState {
    bool BoardReady = false;
    bool Updating = false; // read by the reply parser: acknowledgements count only while set
    std::string PendingCommand;
    int32_t CommandDelayTicks = 0;
    int32_t ConnectWaitTicks = 0;
    int32_t StatusWaitTicks = 0;
    int32_t AckWaitTicks = 0;
    // Answers are being read; the next frame goes once every byte waiting has been read. It
    // belongs to the receive event, whatever transfer starts or ends meanwhile.
    bool Reading = false;
    TransferProgress Transfer;
};

extern ControllerState& Controller; // ProgramUpdate.Controller
