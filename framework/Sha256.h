#pragma once
// SHA-256 (FIPS 180-4): the fingerprint of a flashed image in the simulator's report and of
// an image file in the flasher's service record.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void Update(const uint8_t* data, size_t length);
    std::array<uint8_t, 32> Final();
    // Final() as 64 lower-case hexadecimal digits.
    std::string HexDigest();

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t length_ = 0; // bytes
};
