// links: quorvel_core
// The reply parser on any byte stream, with the controller's own moves (a connection attempt
// sets state 0, a wait running out sets 14, a transfer starts or ends) interleaved. Holds:
// the state stays within 0..37, no collected text outgrows its field, and a reply is reported
// only when its every byte has arrived since the parser was last put in place.
#include "updater/ControllerState.h"
#include "updater/ReplyParser.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "reply parser: %s\n", what);
        std::abort();
    }
}

// Bytes fed since the controller last set the state, newest last.
std::string history;

bool EndsWith(const std::string& layout) {
    if (history.size() < layout.size()) {
        return false;
    }
    const std::string tail = history.substr(history.size() - layout.size());
    for (std::size_t i = 0; i < layout.size(); ++i) {
        if (layout[i] != '*' && layout[i] != tail[i]) {
            return false;
        }
    }
    return true;
}

std::string Tail(std::size_t from, std::size_t length, std::size_t replyLength) {
    return history.substr(history.size() - replyLength + from, length);
}

class Checker : public ReplyReceiver {
public:
    void IdentificationReceived() override {
        Check(EndsWith("(KX27V***M***)"), "identification without its 14 bytes");
        Check(Parser.BoardName == "KX27", "identification: board name");
        Check(Parser.FirmwareVersion == Tail(6, 3, 14), "identification: firmware version");
        Check(Parser.MonitorVersion == Tail(10, 3, 14), "identification: monitor version");
        Check(Parser.ParserState == 14, "identification: state before the report");
    }
    void StatusReceived() override {
        Check(EndsWith("<KX27V***M*********>"), "status without its 20 bytes");
        Check(Parser.BoardName == "KX27", "status: board name");
        Check(Parser.FirmwareVersion == Tail(6, 3, 20), "status: firmware version");
        Check(Parser.MonitorVersion == Tail(10, 3, 20), "status: monitor version");
        Check(Parser.SerialNumber == Tail(13, 6, 20), "status: serial number");
        Check(Parser.ParserState == 14, "status: state before the report");
    }
    void AckReceived(char code) override {
        Check(Controller.Updating, "acknowledgement while no transfer runs");
        Check(EndsWith("<D*>"), "acknowledgement without its 4 bytes");
        Check(code == history[history.size() - 2], "acknowledgement code");
        Check(Parser.ParserState == 14, "acknowledgement: state before the report");
    }
    void CompletionReceived() override {
        Check(EndsWith("<FF>"), "completion without its 4 bytes");
        Check(Parser.ParserState == 0, "completion: state before the report");
    }
};

void CheckFields() {
    Check(Parser.ParserState <= 37, "state outside 0..37");
    Check(Parser.BoardName.size() <= 4, "board name longer than 4");
    Check(Parser.FirmwareVersion.size() <= 3, "firmware version longer than 3");
    Check(Parser.MonitorVersion.size() <= 3, "monitor version longer than 3");
    Check(Parser.SerialNumber.size() <= 6, "serial number longer than 6");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Parser = {};
    Controller = {};
    history.clear();
    Checker checker;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: // a connection attempt
            Parser.ParserState = 0;
            history.clear();
            break;
        case 1: // a wait ran out
            Parser.ParserState = 14;
            history.clear();
            break;
        case 2:
            Controller.Updating = !Controller.Updating;
            break;
        default: {
            const std::string bytes = in.ConsumeRandomLengthString(64);
            for (const char c : bytes) {
                history += c;
                ParseReplyByte(static_cast<uint8_t>(c), checker);
                CheckFields();
            }
        }
        }
    }
    return 0;
}
