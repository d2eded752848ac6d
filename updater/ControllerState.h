#pragma once
// The update controller's program-wide state, with its start-up values. Only the main thread
// touches it. `ControllerState{}` is the state at start-up.
#include <chrono>
#include <cstdint>
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
};

extern ControllerState& Controller; // ProgramUpdate.Controller
