#pragma once
// What a UART listening at one speed makes of bytes sent at another: the line's waveform
// (start bit, 8 data bits LSB first, stop bit, back to back) sampled at the receiver's bit
// times. Frames with a low stop bit are framing errors and are lost, as a board discards them.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace boardsim {

std::vector<uint8_t> ReceiveAtSpeed(const std::vector<uint8_t>& sent, int senderBaud,
                                    int receiverBaud);

} // namespace boardsim
