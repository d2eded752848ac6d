// links: quorvel_core quorvel_boardsim
// The board simulator's frame decoder against the updater's frame encoder. First any bytes:
// every message read is well formed (at most 64 data bytes, as many as announced). Then the
// input as an update session: blocks sent as frames with the rolling key, status queries
// (which put both keys back) and the closing command between them, the stream cut into
// arbitrary pieces; the decoder must read back exactly what was sent, in order.
#include "tools/boardsim/FrameDecoder.h"
#include "updater/BoardContract.h"
#include "updater/FrameEncoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

using boardsim::FrameDecoder;
using boardsim::Message;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "frame decoder: %s\n", what);
        std::abort();
    }
}

void AnyBytes(const uint8_t* data, std::size_t size) {
    FrameDecoder decoder;
    decoder.Push(data, size);
    Message m;
    while (decoder.Next(m)) {
        if (m.kind == Message::Kind::Frame) {
            Check(m.frame.Count <= FrameDecoder::MaxData, "frame with more than 64 bytes");
            Check(m.frame.Data.size() == m.frame.Count, "frame data differ from its count");
            Check(m.frame.Address <= 0xFFFFFF, "address wider than 24 bits");
        }
    }
    Check(decoder.PendingBytes() <= 15 + 64, "a pending message longer than a frame");
}

struct Sent {
    Message::Kind Kind;
    FirmwareBlock Block;
    FrameKeyBytes Key;
};

void Session(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<uint8_t> wire;
    std::deque<Sent> sent;
    FrameKeyBytes headerKey = BoardContract::InitialHeaderKey;
    while (in.remaining_bytes() > 0 && sent.size() < 64) {
        const int what = in.ConsumeIntegralInRange(0, 9);
        if (what == 0) {
            const std::string query = in.ConsumeBool() ? "<S@>" : "<F@>";
            wire.insert(wire.end(), query.begin(), query.end());
            sent.push_back(
                {query[1] == 'S' ? Message::Kind::StatusQuery : Message::Kind::Finish, {}, {}});
            if (query[1] == 'S') {
                headerKey = BoardContract::InitialHeaderKey; // the status reply resets it
            }
            continue;
        }
        Sent s{Message::Kind::Frame, {}, {}};
        s.Block.Count = in.ConsumeIntegralInRange(0, FirmwareBlock::Capacity);
        const uint32_t address = in.ConsumeIntegralInRange<uint32_t>(0, 0xFFFFFF);
        s.Block.AddressHigh = static_cast<uint8_t>(address >> 16);
        s.Block.AddressMiddle = static_cast<uint8_t>(address >> 8);
        s.Block.AddressLow = static_cast<uint8_t>(address);
        for (auto& k : s.Key) {
            k = in.ConsumeIntegralInRange<uint8_t>(0, 254); // the updater's keys are mod 255
        }
        for (int j = 0; j < s.Block.Count; ++j) {
            s.Block.Data[j] = in.ConsumeIntegral<uint8_t>();
        }
        const BlockFrame frame = BuildBlockFrame(s.Block, headerKey, s.Key);
        headerKey = s.Key;
        wire.insert(wire.end(), frame.Bytes.begin(), frame.Bytes.begin() + frame.Length);
        sent.push_back(s);
    }

    // The stream arrives in pieces whose sizes come from the input's first bytes.
    FrameDecoder decoder;
    std::size_t at = 0;
    std::size_t piece = 0;
    Message m;
    while (at < wire.size()) {
        const std::size_t n =
            std::min<std::size_t>(wire.size() - at, 1 + data[piece++ % size] % 23);
        decoder.Push(wire.data() + at, n);
        at += n;
        while (decoder.Next(m)) {
            Check(!sent.empty(), "a message that was never sent");
            const Sent s = sent.front();
            sent.pop_front();
            Check(m.kind == s.Kind, "message of another kind");
            if (m.kind == Message::Kind::StatusQuery) {
                decoder.ResetKey(); // the board answers, and both sides start over
                continue;
            }
            if (m.kind != Message::Kind::Frame) {
                continue;
            }
            Check(m.frame.ChecksumOk, "checksum");
            Check(m.frame.Count == s.Block.Count, "count");
            Check(m.frame.Address == s.Block.Address(), "address");
            Check(m.frame.FrameKey == s.Key, "frame key");
            Check(std::equal(m.frame.Data.begin(), m.frame.Data.end(), s.Block.Data,
                             s.Block.Data + s.Block.Count) &&
                      m.frame.Data.size() == static_cast<std::size_t>(s.Block.Count),
                  "data");
        }
    }
    Check(sent.empty(), "a message sent but never read");
    Check(decoder.DiscardedBytes() == 0, "bytes of a clean stream discarded");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    AnyBytes(data, size);
    Session(data, size);
    return 0;
}
