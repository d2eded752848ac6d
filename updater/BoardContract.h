#pragma once
// What the updater and the board's boot monitor agree on beyond the bytes of the wire
// protocol. The board simulator includes this too, so both sides stay in step.
#include <array>
#include <cstdint>

namespace BoardContract {

// HeaderKey's value at start-up and after every identification or status reply.
inline constexpr std::array<uint8_t, 7> InitialHeaderKey{0x55, 0x10, 0xBA, 0xA2, 0x3C, 0xE5, 0x77};

inline constexpr char BoardCode[] = "KX27";
inline constexpr int NormalFirmwareBaud = 9600;
inline constexpr int BootMonitorBaud = 19200;

// Lowest address the boot monitor accepts data for; below it lives the monitor itself.
inline constexpr uint32_t FirstApplicationAddress = 0x800;

} // namespace BoardContract
