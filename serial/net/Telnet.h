#pragma once
// Telnet as a network serial port speaks it (the COM-PORT-OPTION): the server's bytes split into
// line data and commands, and the client's bytes built. 0xFF is doubled inside data and
// subnegotiations; a frame at the wrong speed is full of them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telnet {

inline constexpr uint8_t Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250,
                         Nop = 241, Se = 240;
inline constexpr uint8_t OptBinary = 0, OptSuppressGoAhead = 3, OptComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with the code + 100.
inline constexpr uint8_t CpSignature = 0, CpSetBaudRate = 1, CpSetDataSize = 2, CpSetParity = 3,
                         CpSetStopSize = 4, CpSetControl = 5, CpNotifyLineState = 6,
                         CpNotifyModemState = 7, CpSetLineStateMask = 10, CpSetModemStateMask = 11,
                         CpPurgeData = 12, CpServerOffset = 100;

// One command from the server: a negotiation (verb Will/Wont/Do/Dont) or a subnegotiation
// (verb Sb, with its payload unescaped).
struct TCommand {
    uint8_t Verb = 0;
    uint8_t Option = 0;
    std::string Payload;
};

class TReader {
public:
    // Takes the next bytes of the server's stream, in pieces of any size. Line data is appended
    // to `data`, commands to `commands`.
    void Feed(const uint8_t* bytes, size_t count, std::string& data,
              std::vector<TCommand>& commands);

private:
    enum class State { Data, Iac, Option, SbOption, SbData, SbIac };
    // A subnegotiation longer than any the option defines is cut here, not grown without end.
    static constexpr size_t maxPayload = 64;
    State state_ = State::Data;
    TCommand command_;
};

// Line data as sent: every 0xFF doubled.
std::string EscapeData(const void* data, size_t count);
std::string Negotiation(uint8_t verb, uint8_t option);
std::string ComPortCommand(uint8_t code, const std::string& payload);

} // namespace telnet
