#include "tools/boardsim/LineGarble.h"

namespace boardsim {

namespace {

// Time is counted in units of 1 / (senderBaud * receiverBaud) seconds, so that both bit
// lengths are whole numbers: a sender bit lasts receiverBaud units, a receiver bit senderBaud.
struct Waveform {
    const std::vector<uint8_t>& bytes;
    int64_t senderBit;

    int64_t End() const { return static_cast<int64_t>(bytes.size()) * 10 * senderBit; }

    int Level(int64_t t) const {
        if (t < 0 || t >= End())
            return 1;
        int64_t bit = t / senderBit;
        int pos = static_cast<int>(bit % 10);
        if (pos == 0)
            return 0;
        if (pos == 9)
            return 1;
        return (bytes[bit / 10] >> (pos - 1)) & 1;
    }
};

} // namespace

std::vector<uint8_t> ReceiveAtSpeed(const std::vector<uint8_t>& sent, int senderBaud,
                                    int receiverBaud) {
    if (senderBaud <= 0 || receiverBaud <= 0 || senderBaud == receiverBaud)
        return sent;
    Waveform line{sent, receiverBaud};
    const int64_t rxBit = senderBaud;
    std::vector<uint8_t> received;
    int64_t t = 0;
    while (t < line.End()) {
        // Level changes only at sender bit boundaries: hunt for the next high-to-low edge.
        int64_t edge = (t + line.senderBit - 1) / line.senderBit * line.senderBit;
        while (edge < line.End() && !(line.Level(edge) == 0 && line.Level(edge - 1) == 1))
            edge += line.senderBit;
        if (edge >= line.End())
            break;
        uint8_t value = 0;
        for (int k = 0; k < 8; ++k)
            value |= line.Level(edge + (2 * k + 3) * rxBit / 2) << k;
        int64_t stopSample = edge + 19 * rxBit / 2;
        if (line.Level(stopSample) == 1)
            received.push_back(value);
        t = stopSample + 1;
    }
    return received;
}

} // namespace boardsim
