#pragma once
// Data frames built by hand from the frame layout, independent of the updater's encoder, so
// the board's decoding is checked against the format and not against itself.
#include "updater/BoardContract.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testframes {

using Key = std::array<uint8_t, 7>;

inline uint8_t Scramble(uint8_t b, uint8_t k) {
    return static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ k);
}

inline std::vector<uint8_t> Frame(uint32_t address, const std::vector<uint8_t>& data,
                                  const Key& headerKey, const Key& frameKey) {
    std::vector<uint8_t> f(13);
    f[0] = '<';
    f[1] = 'D';
    f[2] = static_cast<uint8_t>(data.size());
    f[3] = static_cast<uint8_t>(address >> 16);
    f[4] = static_cast<uint8_t>(address >> 8);
    f[5] = static_cast<uint8_t>(address);
    for (size_t k = 0; k < 7; ++k)
        f[6 + k] = frameKey[k];
    for (size_t p = 2; p < 13; ++p)
        f[p] = Scramble(f[p], headerKey[(p - 2) % 7]);
    for (size_t j = 0; j < data.size(); ++j)
        f.push_back(Scramble(data[j], frameKey[j % 7]));
    uint8_t sum = 68;
    for (size_t p = 2; p < f.size(); ++p)
        sum = static_cast<uint8_t>(sum + f[p]);
    f.push_back(sum);
    f.push_back('>');
    return f;
}

// Rolls like the updater: every frame's key scrambles the next header.
struct Sender {
    Key headerKey = BoardContract::InitialHeaderKey;
    uint8_t seed = 1;

    std::vector<uint8_t> Next(uint32_t address, const std::vector<uint8_t>& data) {
        Key frameKey;
        for (auto& k : frameKey)
            k = static_cast<uint8_t>((seed += 37) % 255);
        auto f = Frame(address, data, headerKey, frameKey);
        headerKey = frameKey;
        return f;
    }
    void StatusReplied() { headerKey = BoardContract::InitialHeaderKey; }
};

inline std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

inline std::vector<uint8_t> Pattern(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(start + 13 * i);
    return v;
}

} // namespace testframes
