// links: quorvel_core
// The Intel HEX loader on any text, read from a buffer exactly as long as the text so that
// AddressSanitizer sees any read outside it. Holds: the list is well formed (BlockCount
// blocks, CurrentBlock the last, at most 64 bytes each, nothing below 0x800). Then the same
// input as data: written out as a well-formed image, it must load back byte for byte.
#include "updater/FirmwareImage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "intel hex: %s\n", what);
        std::abort();
    }
}

void CheckList() {
    int32_t count = 0;
    const FirmwareBlock* last = nullptr;
    for (const FirmwareBlock* b = FirstBlock; b != nullptr; b = b->Next) {
        ++count;
        Check(b->Count >= 0 && b->Count <= FirmwareBlock::Capacity, "block count outside 0..64");
        Check(b->Address() >= 0x800, "block below 0x800");
        last = b;
    }
    Check(count == BlockCount, "BlockCount differs from the list");
    Check(last == CurrentBlock, "CurrentBlock is not the last block");
}

const char Digits[] = "0123456789ABCDEF";

std::string HexByte(uint8_t b) {
    return {Digits[b >> 4], Digits[b & 15]};
}

// Records of up to 16 bytes from `address` on, with checksums, and the end record.
std::string WriteImage(uint16_t address, const std::vector<uint8_t>& data) {
    std::string text;
    for (std::size_t at = 0; at < data.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, data.size() - at);
        const uint16_t a = static_cast<uint16_t>(address + at);
        uint8_t sum = static_cast<uint8_t>(n + (a >> 8) + (a & 0xFF));
        text += ":" + HexByte(static_cast<uint8_t>(n)) + HexByte(a >> 8) + HexByte(a & 0xFF) + "00";
        for (std::size_t k = 0; k < n; ++k) {
            text += HexByte(data[at + k]);
            sum = static_cast<uint8_t>(sum + data[at + k]);
        }
        text += HexByte(static_cast<uint8_t>(-sum)) + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

void RoundTrip(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto address = in.ConsumeIntegralInRange<uint16_t>(0x800, 0xF000);
    std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
    bytes.resize(std::min<std::size_t>(bytes.size(), 0x10000 - address));
    const std::string text = WriteImage(address, bytes);
    LoadIntelHex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    CheckList();
    std::vector<uint8_t> loaded;
    uint32_t expected = address;
    for (const FirmwareBlock* b = FirstBlock; b != nullptr; b = b->Next) {
        Check(b->Address() == expected, "block address breaks the run");
        Check(b->Count == 64 || b->Next == nullptr, "a block other than the last is not full");
        loaded.insert(loaded.end(), b->Data, b->Data + b->Count);
        expected += b->Count;
    }
    Check(loaded == bytes, "loaded data differ from the image's");
    Check(BlockCount == static_cast<int32_t>((bytes.size() + 63) / 64), "block count");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Exactly the input's length: a read past the end is a heap overflow for ASan.
    const std::vector<uint8_t> text(data, data + size);
    LoadIntelHex(text);
    CheckList();
    RoundTrip(data, size);
    ResetFirmwareBlocks();
    return 0;
}
