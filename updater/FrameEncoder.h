#pragma once
// Data frames: one firmware block, scrambled and checksummed, for the board's boot monitor.
#include "updater/FirmwareImage.h"

#include <array>
#include <cstdint>
#include <ctime>

using FrameKeyBytes = std::array<uint8_t, 7>;

// The rolling key of the frame headers: each frame's random bytes scramble the next header.
extern FrameKeyBytes& HeaderKey; // ProgramUpdate.HeaderKey

// Puts HeaderKey back to the value the boot monitor starts with.
void ResetHeaderKey();

// Swap the two halves of b, then XOR with k.
inline uint8_t ScrambleByte(uint8_t b, uint8_t k) {
    return static_cast<uint8_t>((b << 4 | b >> 4) ^ k);
}

// One frame as it goes on the wire: 15 + count bytes.
struct BlockFrame {
    static constexpr int MaxLength = 15 + FirmwareBlock::Capacity;

    std::array<uint8_t, MaxLength> Bytes{};
    int Length = 0;
};

// The frame for `block`, header scrambled with `headerKey`, data with `frameKey`.
BlockFrame BuildBlockFrame(const FirmwareBlock& block, const FrameKeyBytes& headerKey,
                           const FrameKeyBytes& frameKey);

// Seven values from the C library's generator as it stands, each taken mod 255.
FrameKeyBytes FrameKeyFromGenerator();

// Seeds the generator with the calendar time in whole seconds, then draws a frame key: frames
// built within the same second share their key.
FrameKeyBytes DrawFrameKey();
FrameKeyBytes DrawFrameKey(std::time_t seconds);

// Builds the frame for `block`, rolls `headerKey`, purges both of the port's buffers (bytes
// not yet read are dropped) and writes the frame in one call. Port errors propagate;
// `headerKey` has rolled by then.
template <class Port>
void SendBlockFrame(Port& port, const FirmwareBlock& block, FrameKeyBytes& headerKey,
                    std::time_t seconds) {
    const FrameKeyBytes frameKey = DrawFrameKey(seconds);
    const BlockFrame frame = BuildBlockFrame(block, headerKey, frameKey);
    headerKey = frameKey;
    port.ClearBuffer(true, true);
    port.Write(frame.Bytes.data(), frame.Length);
}

template <class Port>
void SendBlockFrame(Port& port, const FirmwareBlock& block, FrameKeyBytes& headerKey) {
    SendBlockFrame(port, block, headerKey, std::time(nullptr));
}

// The same with the window's HeaderKey.
template <class Port> void SendBlockFrame(Port& port, const FirmwareBlock& block) {
    SendBlockFrame(port, block, HeaderKey);
}
