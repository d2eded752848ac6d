#pragma once
// Recognises the board's replies in the byte stream, one byte at a time. A reply may arrive
// in any number of pieces: the position in it is kept between calls.
#include <cstdint>
#include <span>
#include <string>

// Where the parser starts reading a reply: the normal firmware's identification, or the boot
// monitor's status, acknowledgement and completion replies.
namespace ParserStates {
inline constexpr uint32_t Identification = 0;
inline constexpr uint32_t MonitorReplies = 14;
} // namespace ParserStates

// The parser's program-wide state and the texts it collects. `ReplyParserState{}` is the
// state at start-up.
struct ReplyParserState {
    uint32_t ParserState = 0; // 0..13 identification; 14..37 the boot monitor's replies
    std::string BoardName;
    std::string FirmwareVersion;
    std::string MonitorVersion;
    std::string SerialNumber;
    char AckCode = '\0';
};

extern ReplyParserState& Parser; // ProgramUpdate.Parser

// What the parser reports, one call per complete reply. The update controller implements it.
class ReplyReceiver {
public:
    virtual ~ReplyReceiver() = default;
    virtual void IdentificationReceived() = 0;
    virtual void StatusReceived() = 0;
    // Only while Controller.Updating is set.
    virtual void AckReceived(char code) = 0;
    virtual void CompletionReceived() = 0;
};

// Moves `parser` on by one received byte; acknowledgements are reported only while
// `updating` is set.
void ParseReplyByte(ReplyParserState& parser, bool updating, uint8_t b, ReplyReceiver& receiver);

// The same for the window's update (Parser, Controller.Updating).
void ParseReplyByte(uint8_t b, ReplyReceiver& receiver);

// Convenience for a run of bytes: each goes through ParseReplyByte in order.
void ParseReplyBytes(std::span<const uint8_t> bytes, ReplyReceiver& receiver);
