#pragma once
// A real pseudo-terminal: the test holds the master side and plays the board or the line; the
// port under test opens the slave path.
#include <cstddef>
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
    // Whatever the port has sent so far, without waiting.
    std::string Take();
    // Bytes the slave side has sent that the master has not read.
    int Pending();
    // Like pulling the adapter out: the slave side hangs up and its writes fail.
    void CloseMaster();
    // The output speed the slave was given (termios2, so custom rates show too).
    int SlaveSpeed();
    bool SlaveUsesCustomRate();

private:
    int master_ = -1;
    std::string slavePath_;
};
