#pragma once
// UTF-8 as texts from outside bring it: possibly cut or not UTF-8 at all.
#include <string>

// Length of the well-formed UTF-8 sequence at s[i], or 0 for a byte that starts none.
inline size_t Utf8SequenceLength(const std::string& s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}
