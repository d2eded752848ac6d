#pragma once
// Plays one board on a pseudo-terminal until told to stop: moves bytes between the line and
// the board, at the line rate when pacing, and delays the answers when asked to. It sleeps in
// poll() and wakes only for traffic, a stop request or a timed step that is due.
#include "tools/boardsim/Board.h"
#include "tools/boardsim/PtyLine.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>

namespace boardsim {

struct SimulatorOptions {
    BoardConfig Board;
    bool Pace = false;             // bytes take 10 bit times of their speed on the line
    int AnswerDelayMs = 0;         // every answer starts this much later
    bool ExitWhenDone = false;     // end the run once "<FF>" has gone out
    double IdleTimeoutSeconds = 0; // end the run after this long without traffic; 0: never
};

class Simulator {
public:
    enum class End { Stopped, Done, HungUp, IdleTimeout };

    explicit Simulator(SimulatorOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& SlavePath() const { return line_.SlavePath(); }
    End Run();
    // Ends Run() from another thread or a signal handler (async-signal-safe).
    void Stop();
    // Read it once Run() has returned.
    const Board& GetBoard() const { return board_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        std::string Bytes;
        int Baud;
        Clock::time_point Due;
    };

    bool ReadLine(Clock::time_point now);
    bool ClientHasRead(Clock::time_point now);
    void DeliverDue(Clock::time_point now);
    void WriteDue(Clock::time_point now);
    void Schedule(const Reply& reply, Clock::time_point now);
    Clock::duration ByteTime(int baud) const;

    SimulatorOptions options_;
    Board board_;
    PtyLine line_;
    int stopFd_ = -1;
    std::deque<Pending> received_; // bytes on their way into the board
    std::deque<Pending> sending_;  // answers on their way to the updater
    Clock::time_point rxFree_{}, txFree_{}, lastTraffic_{};
    std::optional<Clock::time_point> closeBy_;
};

} // namespace boardsim
