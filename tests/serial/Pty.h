#pragma once
// A real pseudo-terminal for the serial tests: the test holds the master side, the port
// under test opens the slave path.
#include <chrono>
#include <functional>
#include <string>

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    void Send(const std::string& bytes);
    // Everything the port sent until `count` bytes arrived or a few seconds passed.
    std::string Receive(size_t count);
    // Bytes the slave side has sent that the master has not read.
    int Pending();
    // Closes the master: the slave side hangs up.
    void CloseMaster();
    // The output speed the slave was given (termios2, so custom rates show too).
    int SlaveSpeed();
    bool SlaveUsesCustomRate();

private:
    int master_ = -1;
    std::string slavePath_;
};

// Runs main-thread routines until `done` holds; false after `limit`.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
// Runs main-thread routines for a while (to show that something does not happen).
void PumpFor(std::chrono::milliseconds span);
