// links: quorvel_serial
// The Telnet reader of the network port on any byte stream a server may send. Holds: no crash;
// never more data out than bytes in; and line data sent escaped comes out whole, whatever
// commands are mixed in and wherever the stream is cut into pieces.
#include "serial/net/Telnet.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace telnet;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "telnet reader: %s\n", what);
        std::abort();
    }
}

// Feeds `stream` in pieces whose sizes come from the fuzzer; returns the data that came out.
std::string FeedInPieces(const std::string& stream, FuzzedDataProvider& sizes,
                         std::vector<TCommand>& commands) {
    TReader reader;
    std::string out;
    for (size_t at = 0; at < stream.size();) {
        size_t piece = sizes.ConsumeIntegralInRange<size_t>(1, stream.size() - at);
        reader.Feed(reinterpret_cast<const uint8_t*>(stream.data()) + at, piece, out, commands);
        at += piece;
    }
    return out;
}

// A command a server may put between data bytes.
std::string SomeCommand(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return Negotiation(in.ConsumeIntegralInRange<uint8_t>(Will, Dont),
                           in.ConsumeIntegral<uint8_t>());
    case 1:
        return ComPortCommand(in.ConsumeIntegral<uint8_t>(), in.ConsumeRandomLengthString(80));
    case 2:
        return {static_cast<char>(Iac), static_cast<char>(Nop)};
    default:
        return {static_cast<char>(Iac),
                static_cast<char>(in.ConsumeIntegralInRange<uint8_t>(Se, Sb - 1))};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<TCommand> commands;

    // Any bytes at all.
    const std::string raw = in.ConsumeRandomLengthString(512);
    Check(FeedInPieces(raw, in, commands).size() <= raw.size(), "more data out than bytes in");

    // Line data as a server sends it, with commands between its bytes.
    const std::string line = in.ConsumeRandomLengthString(512);
    std::string stream;
    for (char c : line) {
        if (in.ConsumeBool())
            stream += SomeCommand(in);
        stream += EscapeData(&c, 1);
    }
    commands.clear();
    Check(FeedInPieces(stream, in, commands) == line, "line data invented or lost");
    return 0;
}
