#include "i18n/MoFile.h"

#include "framework/Exception.h"

#include "i18n/Platform.h"

#include <cstring>

namespace gnugettext {

namespace {

constexpr uint32_t kMagic = 0x950412de;
constexpr uint32_t kMagicSwapped = 0xde120495;
constexpr uint64_t kHeaderSize = 28;
// Far above any real catalogue (the largest of a Debian system is about 1 MB, its longest
// entry a few kB), so one planted file cannot make a lookup cost gigabytes.
constexpr uint64_t kMaxFileSize = 8 << 20;
constexpr uint64_t kMaxEntrySize = 1 << 20;

} // namespace

void TMoFile::Open(const std::string& path) {
    Close();
    view_ = LoadFileView(path, kMaxFileSize);
    data_ = view_.Data;
    size_ = view_.Size;
    path_ = path;
    if (!data_)
        Reject(); // too large to be a catalogue

    swapped_ = false;
    uint32_t magic = size_ >= 4 ? Word(0) : 0;
    if (size_ < kHeaderSize || (magic != kMagic && magic != kMagicSwapped))
        Reject();
    swapped_ = magic == kMagicSwapped;
    count_ = Word(8);
    originals_ = Word(12);
    translations_ = Word(16);
    // Both tables must lie inside the file before anything is searched.
    uint64_t tableBytes = 8 * static_cast<uint64_t>(count_);
    if (originals_ + tableBytes > size_ || translations_ + tableBytes > size_)
        Reject();
}

void TMoFile::Close() {
    UnloadFileView(view_);
    data_ = nullptr;
    size_ = 0;
    count_ = 0;
}

void TMoFile::Corrupt() const {
    throw Exception("This file is not a valid GNU gettext mo file: " + path_);
}

void TMoFile::Reject() {
    std::string path = path_;
    Close();
    throw Exception("This file is not a valid GNU gettext mo file: " + path);
}

uint32_t TMoFile::Word(uint64_t offset) const {
    uint32_t value;
    std::memcpy(&value, data_ + offset, sizeof value);
    return swapped_ ? __builtin_bswap32(value) : value;
}

template <bool Swapped>
inline std::string_view TMoFile::EntryIn(uint32_t table, uint32_t index) const {
    uint32_t pair[2];
    std::memcpy(pair, data_ + table + 8 * static_cast<uint64_t>(index), sizeof pair);
    uint64_t length = Swapped ? __builtin_bswap32(pair[0]) : pair[0];
    uint64_t offset = Swapped ? __builtin_bswap32(pair[1]) : pair[1];
    if (length > kMaxEntrySize || offset + length + 1 > size_ || data_[offset + length] != 0)
        Corrupt();
    return {reinterpret_cast<const char*>(data_ + offset), static_cast<size_t>(length)};
}

namespace {

// Byte-wise, unsigned, the shorter text first when one is a prefix of the other.
inline int Compare(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    if (int c = n ? std::memcmp(a.data(), b.data(), n) : 0)
        return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

} // namespace

std::optional<std::string_view> TMoFile::Find(std::string_view msgid) const {
    if (!data_ || count_ == 0)
        return std::nullopt;
    return swapped_ ? FindIn<true>(msgid) : FindIn<false>(msgid);
}

template <bool Swapped>
std::optional<std::string_view> TMoFile::FindIn(std::string_view msgid) const {
    // Uniform binary search: start at the largest power of two not above N, minus one.
    uint32_t step = 1;
    while (step <= count_ / 2)
        step *= 2;
    uint32_t index = step - 1;
    step /= 2;
    for (;;) {
        int c = Compare(msgid, EntryIn<Swapped>(originals_, index));
        if (c == 0)
            return EntryIn<Swapped>(translations_, index);
        if (step == 0)
            return std::nullopt;
        if (c < 0)
            index = index > step ? index - step : 0;
        else
            index = index + step < count_ - 1 ? index + step : count_ - 1;
        step /= 2;
    }
}

} // namespace gnugettext
