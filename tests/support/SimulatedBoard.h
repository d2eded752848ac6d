#pragma once
// The board simulator on a pseudo-terminal of its own, served from its own thread until
// Finish().
#include "tools/boardsim/Simulator.h"

#include <string>
#include <thread>

class SimulatedBoard {
public:
    explicit SimulatedBoard(boardsim::SimulatorOptions options = {})
        : simulator_(std::move(options)), thread_([this] { simulator_.Run(); }) {}
    ~SimulatedBoard() { Finish(); }
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    const std::string& SlavePath() const { return simulator_.SlavePath(); }
    // Stops the simulator and hands over the board as it ended.
    const boardsim::Board& Finish() {
        if (thread_.joinable()) {
            simulator_.Stop();
            thread_.join();
        }
        return simulator_.GetBoard();
    }

private:
    boardsim::Simulator simulator_;
    std::thread thread_;
};
