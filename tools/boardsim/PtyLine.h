#pragma once
// The board's end of the cable: the master side of a pseudo-terminal in raw mode. The updater
// opens the slave. The simulator keeps a slave descriptor of its own so that the master never
// sees a hang-up while no client has the port open, and a client's settings survive its close.
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace boardsim {

class PtyLine {
public:
    // Opens the pair and puts the slave at 9600 baud 8N1 raw, as a port is found after power-on.
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    bool IsOpen() const { return master_ >= 0; }

    // The speed the client set on the slave (the master reports the slave's settings).
    int LineBaud() const;

    // Non-blocking. Read returns 0 when nothing is there; Write returns what the line took.
    size_t Read(uint8_t* buffer, size_t size);
    size_t Write(const uint8_t* data, size_t length);

    // Bytes written towards the client that it has not read yet.
    size_t UnreadByClient() const;

    // Like pulling the adapter out: the client's descriptor hangs up.
    void HangUp();

    // Seconds one byte takes on the line at baud: start bit, 8 data bits, stop bit.
    static double ByteSeconds(int baud) { return 10.0 / baud; }

private:
    int master_ = -1;
    int ownSlave_ = -1;
    std::string slavePath_;
};

// TCGETS2 on a terminal descriptor: the output speed in baud, or 0 when it cannot be read.
int TerminalBaud(int fd);

} // namespace boardsim
