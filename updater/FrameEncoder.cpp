#include "updater/FrameEncoder.h"

#include "updater/BoardContract.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

void ResetHeaderKey() {
    HeaderKey = BoardContract::InitialHeaderKey;
}

BlockFrame BuildBlockFrame(const FirmwareBlock& block, const FrameKeyBytes& headerKey,
                           const FrameKeyBytes& frameKey) {
    // A block never holds more than its 64 bytes; the clamp only keeps a damaged count from
    // reading past them.
    const int n = std::clamp(block.Count, 0, FirmwareBlock::Capacity);
    BlockFrame frame;
    auto& f = frame.Bytes;
    f[0] = '<';
    f[1] = 'D';
    f[2] = static_cast<uint8_t>(block.Count);
    f[3] = block.AddressHigh;
    f[4] = block.AddressMiddle;
    f[5] = block.AddressLow;
    std::copy(frameKey.begin(), frameKey.end(), f.begin() + 6);
    for (int j = 0; j < n; ++j) {
        f[13 + j] = ScrambleByte(block.Data[j], frameKey[j % 7]);
    }
    for (int p = 2; p <= 12; ++p) {
        f[p] = ScrambleByte(f[p], headerKey[(p - 2) % 7]);
    }
    uint8_t checksum = 68;
    for (int p = 2; p <= 12 + n; ++p) {
        checksum = static_cast<uint8_t>(checksum + f[p]);
    }
    f[13 + n] = checksum;
    f[14 + n] = '>';
    frame.Length = 15 + n;
    return frame;
}

FrameKeyBytes FrameKeyFromGenerator() {
    FrameKeyBytes key;
    for (auto& k : key) {
        k = static_cast<uint8_t>(std::rand() % 255);
    }
    return key;
}

FrameKeyBytes DrawFrameKey() {
    return DrawFrameKey(std::time(nullptr));
}

FrameKeyBytes DrawFrameKey(std::time_t seconds) {
    std::srand(static_cast<unsigned>(seconds));
    return FrameKeyFromGenerator();
}
