#pragma once
// The key the built-in firmware image is stored under. Only the low byte of each constant is
// used; the rest is filler so the key does not sit in the program as five plain bytes.
// Shared by the build's packing tool and the program, so both always agree.
#include <cstdint>

inline constexpr uint32_t ImageKey[5] = {0x3A7C11E4, 0x9D02F35B, 0x5E6148A7, 0xC4B9D03C,
                                         0x71F6A892};
