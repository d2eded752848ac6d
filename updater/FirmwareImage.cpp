#include "updater/FirmwareImage.h"

#include "updater/BoardContract.h"
#include "updater/ImageKey.h"

#include <array>
#include <cstring>
#include <optional>

FirmwareBlock* FirstBlock = nullptr;
int32_t BlockCount = 0;

FirmwareBlock* AppendFirmwareBlock(FirmwareBlock* previous, uint32_t address) {
    auto* block = new FirmwareBlock;
    if (FirstBlock == nullptr) {
        FirstBlock = block;
    } else {
        previous->Next = block;
    }
    block->Next = nullptr;
    block->AddressHigh = static_cast<uint8_t>(address >> 16);
    block->AddressMiddle = static_cast<uint8_t>(address >> 8);
    block->AddressLow = static_cast<uint8_t>(address);
    block->Count = 0;
    return block;
}

void ResetFirmwareBlocks() {
    while (FirstBlock != nullptr) {
        FirmwareBlock* next = FirstBlock->Next;
        delete FirstBlock;
        FirstBlock = next;
    }
    CurrentBlock = nullptr;
    BlockCount = 0;
}

std::vector<uint8_t> UnscrambleImage(std::span<const uint8_t> image, const uint32_t (&key)[5]) {
    std::vector<uint8_t> plain(image.size());
    const uint8_t keyBytes[5] = {
        static_cast<uint8_t>(key[0] & 0xFF), static_cast<uint8_t>(key[1] & 0xFF),
        static_cast<uint8_t>(key[2] & 0xFF), static_cast<uint8_t>(key[3] & 0xFF),
        static_cast<uint8_t>(key[4] & 0xFF)};
    std::size_t k = 0;
    for (std::size_t i = 0; i < image.size(); ++i) {
        const uint8_t t = image[i] ^ keyBytes[k];
        plain[i] = static_cast<uint8_t>(t << 4 | t >> 4);
        k = k == 4 ? 0 : k + 1;
    }
    return plain;
}

namespace {

// Value of each character as a hex digit, or NotHex.
constexpr uint8_t NotHex = 0xFF;
constexpr std::array<uint8_t, 256> HexDigits = [] {
    std::array<uint8_t, 256> digits;
    digits.fill(NotHex);
    for (int i = 0; i < 10; ++i) {
        digits['0' + i] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 6; ++i) {
        digits['A' + i] = digits['a' + i] = static_cast<uint8_t>(10 + i);
    }
    return digits;
}();

// The record starting at a ":" seen through bounds-checked reads: every read is relative to
// the ":" and fails instead of leaving the text.
class Record {
public:
    Record(std::span<const uint8_t> text, std::size_t colon) : text_(text), colon_(colon) {}

    bool Fits(std::size_t lastOffset) const { return lastOffset < text_.size() - colon_; }

    bool TypeIs(const char (&type)[3]) const {
        return text_[colon_ + 7] == type[0] && text_[colon_ + 8] == type[1];
    }

    // Two characters from `offset` as one byte, the first giving the high half.
    std::optional<uint8_t> Byte(std::size_t offset) const {
        if (!Fits(offset + 1)) {
            return std::nullopt;
        }
        const uint8_t high = HexDigits[text_[colon_ + offset]];
        const uint8_t low = HexDigits[text_[colon_ + offset + 1]];
        if (high == NotHex || low == NotHex) {
            return std::nullopt;
        }
        return static_cast<uint8_t>(high << 4 | low);
    }

private:
    std::span<const uint8_t> text_;
    std::size_t colon_;
};

// Reads the n data bytes of a record whole; false when any of them cannot be read.
bool ReadDataBytes(const Record& record, uint8_t n, std::array<uint8_t, 255>& data) {
    for (std::size_t k = 0; k < n; ++k) {
        const auto b = record.Byte(9 + 2 * k);
        if (!b) {
            return false;
        }
        data[k] = *b;
    }
    return true;
}

void LoadDataRecord(const Record& record, uint32_t& running) {
    const auto a1 = record.Byte(3);
    const auto a2 = record.Byte(5);
    if (!a1 || !a2) {
        return;
    }
    const uint32_t address = (*a1 << 8 | *a2) + (running & 0xFF0000);
    if (address < BoardContract::FirstApplicationAddress || address > 0xFFFF) {
        return;
    }
    // Checked before anything changes, so a broken record leaves no trace (not even a block).
    const auto n = record.Byte(1);
    if (!n) {
        return;
    }
    std::array<uint8_t, 255> data;
    if (!ReadDataBytes(record, *n, data)) {
        return;
    }
    if (address != running) {
        running = address;
        CurrentBlock = AppendFirmwareBlock(CurrentBlock, running);
        ++BlockCount;
    }
    for (std::size_t k = 0; k < *n; ++k) {
        if (CurrentBlock->Count == FirmwareBlock::Capacity) {
            CurrentBlock = AppendFirmwareBlock(CurrentBlock, running);
            ++BlockCount;
        }
        CurrentBlock->Data[CurrentBlock->Count++] = data[k];
        ++running;
    }
}

} // namespace

void LoadIntelHex(std::span<const uint8_t> text) {
    ResetFirmwareBlocks();
    uint32_t running = 0;
    // Scanning resumes right after each ":", not after its record: the image is trusted and
    // a ":" never occurs inside a well-formed record.
    const uint8_t* const begin = text.data();
    const uint8_t* const end = begin + text.size();
    for (const uint8_t* at = begin; at != end; ++at) {
        at = static_cast<const uint8_t*>(std::memchr(at, ':', end - at));
        if (at == nullptr) {
            return;
        }
        const Record record(text, static_cast<std::size_t>(at - begin));
        if (!record.Fits(8)) {
            continue;
        }
        if (record.TypeIs("04")) {
            if (const auto e = record.Byte(11)) {
                running = *e * 65536u + running % 65536u;
            }
        } else if (record.TypeIs("00")) {
            LoadDataRecord(record, running);
        } else if (record.TypeIs("01")) {
            return;
        }
    }
}

void LoadFirmwareImage() {
    std::vector<uint8_t> plain =
        UnscrambleImage(std::span(FirmwareImage, FirmwareImageLength), ImageKey);
    LoadIntelHex(plain);
    // The plain text must not outlive loading; explicit_bzero is not optimised away.
#ifdef _WIN32
    // No explicit_bzero there: volatile stores are not optimised away either.
    volatile uint8_t* bytes = plain.data();
    for (size_t i = 0; i < plain.size(); ++i)
        bytes[i] = 0;
#else
    explicit_bzero(plain.data(), plain.size());
#endif
}
