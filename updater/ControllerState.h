#pragma once
// The update controller's program-wide state, with its start-up values. Only the main thread
// touches it. `ControllerState{}` is the state at start-up.
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

struct ControllerState {
    bool BoardReady = false;
    bool Updating = false; // read by the reply parser: acknowledgements count only while set
    std::string PendingCommand;
    int32_t CommandDelayTicks = 0;
    int32_t ConnectWaitTicks = 0;
    int32_t StatusWaitTicks = 0;
    int32_t AckWaitTicks = 0;
    int32_t AckRetries = 3;
    int32_t BlocksSent = 0;
    // For the service record: when the transfer started, frames sent again, blocks refused.
    std::chrono::system_clock::time_point TransferStart{};
    int32_t Resends = 0;
    int32_t Refusals = 0;
    // Refusals ("?" or an unknown code) of the current block since it was last accepted; the
    // transfer is given up at UpdateProtocol::RefusalLimit.
    int32_t BlockRefusals = 0;
    // Ticks since the transfer started: the clock of the copies owed an answer.
    int32_t TransferTicks = 0;
    // The frames still owed an answer, oldest first, by the tick each was sent at. The board
    // answers every frame in turn and the line keeps the order, so each answer belongs to the
    // oldest of them. While `Draining`, they are copies of a block already accepted.
    std::deque<int32_t> OwedCopies;
    // The current block was accepted; the next frame waits until the answers still owed by
    // the accepted block's other copies have come, or those copies count as lost.
    bool Draining = false;
    // A refused frame goes again on the next tick, so a burst of refusals sends one frame.
    bool ResendDue = false;
    // "<F@>" has gone out: only now may "<FF>" end the transfer.
    bool ClosingSent = false;
    // Where the current block stands among the blocks of the transfer (0 = the first), how
    // many there are, whether a fault hit any of the last ones, and how often the last ones
    // were sent again because of it.
    int32_t BlockOrdinal = 0;
    int32_t TransferBlocks = 0;
    bool FaultNearEnd = false;
    int32_t Replays = 0;
    int32_t ReplayLeft = 0; // blocks of the current resend of the last ones still to go
};

extern ControllerState& Controller; // ProgramUpdate.Controller
