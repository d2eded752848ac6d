#include "updater/ReplyParser.h"

#include "updater/ControllerState.h"

namespace {

// States 0..13 read the identification reply "(KX27Vfff" "Mmmm)"; states 14..37 the boot
// monitor's status "<KX27VfffMmmmssssss>", acknowledgement "<Dx>" and completion "<FF>".
constexpr uint32_t MonitorStart = ParserStates::MonitorReplies;
constexpr int Any = -1;

enum class Action { None, Start, Append, KeepAckCode, Identification, Status, Ack, Completion };
enum class Text { NoText, Board, Firmware, Monitor, Serial };

struct Row {
    int Expects; // the one byte that continues the reply, or Any
    uint32_t Next;
    Action Act = Action::None;
    Text Field = Text::NoText;
};

using enum Action;
using enum Text;

// Row i is state i. State 15, where three replies part ways, is handled on its own.
constexpr Row Rows[38] = {
    {'(', 1},
    {'K', 2, Start, Board},
    {'X', 3, Append, Board},
    {'2', 4, Append, Board},
    {'7', 5, Append, Board},
    {'V', 6},
    {Any, 7, Start, Firmware},
    {Any, 8, Append, Firmware},
    {Any, 9, Append, Firmware},
    {'M', 10},
    {Any, 11, Start, Monitor},
    {Any, 12, Append, Monitor},
    {Any, 13, Append, Monitor},
    {')', 14, Identification},
    {'<', 15},
    {Any, 0},
    {'X', 17, Append, Board},
    {'2', 18, Append, Board},
    {'7', 19, Append, Board},
    {'V', 20},
    {Any, 21, Start, Firmware},
    {Any, 22, Append, Firmware},
    {Any, 23, Append, Firmware},
    {'M', 24},
    {Any, 25, Start, Monitor},
    {Any, 26, Append, Monitor},
    {Any, 27, Append, Monitor},
    {Any, 28, Start, Serial},
    {Any, 29, Append, Serial},
    {Any, 30, Append, Serial},
    {Any, 31, Append, Serial},
    {Any, 32, Append, Serial},
    {Any, 33, Append, Serial},
    {'>', 14, Status},
    {Any, 35, KeepAckCode},
    {'>', 14, Ack},
    {'F', 37},
    {'>', 0, Completion},
};

std::string& TextOf(ReplyParserState& parser, Text field) {
    switch (field) {
    case Board:
        return parser.BoardName;
    case Firmware:
        return parser.FirmwareVersion;
    case Monitor:
        return parser.MonitorVersion;
    default:
        return parser.SerialNumber;
    }
}

Row MonitorReplyStart(char c) {
    switch (c) {
    case 'K':
        return {Any, 16, Start, Board};
    case 'D':
        return {Any, 34};
    case 'F':
        return {Any, 36};
    default:
        return {Any, MonitorStart};
    }
}

} // namespace

void ParseReplyByte(ReplyParserState& parser, bool updating, uint8_t b, ReplyReceiver& receiver) {
    const char c = static_cast<char>(b);
    uint32_t& state = parser.ParserState;
    if (state >= std::size(Rows)) {
        state = MonitorStart; // only ever set from outside to 0 or 14; recover all the same
    }
    const Row row = state == 15 ? MonitorReplyStart(c) : Rows[state];
    if (row.Expects != Any && row.Expects != b) {
        // The breaking byte is consumed here, never looked at again as a reply's first byte.
        state = state < MonitorStart ? 0 : MonitorStart;
        return;
    }
    // The state moves first; the receiver's operations never see the old one.
    state = row.Next;
    switch (row.Act) {
    case None:
        break;
    case Start:
        TextOf(parser, row.Field).assign(1, c);
        break;
    case Append:
        TextOf(parser, row.Field) += c;
        break;
    case KeepAckCode:
        parser.AckCode = c;
        break;
    case Identification:
        receiver.IdentificationReceived();
        break;
    case Status:
        receiver.StatusReceived();
        break;
    case Ack:
        if (updating) {
            receiver.AckReceived(parser.AckCode);
        }
        break;
    case Completion:
        receiver.CompletionReceived();
        break;
    }
}

void ParseReplyByte(uint8_t b, ReplyReceiver& receiver) {
    ParseReplyByte(Parser, Controller.Updating, b, receiver);
}

void ParseReplyBytes(std::span<const uint8_t> bytes, ReplyReceiver& receiver) {
    for (const uint8_t b : bytes) {
        ParseReplyByte(b, receiver);
    }
}
