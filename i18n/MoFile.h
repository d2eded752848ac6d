#pragma once
// A GNU gettext MO catalogue, loaded read-only (see LoadFileView) and searched in place.
#include "i18n/Platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gnugettext {

class TMoFile {
public:
    TMoFile() = default;
    ~TMoFile() { Close(); }
    TMoFile(const TMoFile&) = delete;
    TMoFile& operator=(const TMoFile&) = delete;

    // Loads the catalogue at `path`; throws Exception with the path on any failure (a file over
    // 8 MB is no catalogue) and stays closed then.
    void Open(const std::string& path);
    void Close();
    bool IsOpen() const { return data_ != nullptr; }

    // The translation of `msgid`, pointing into the loaded file, or nullopt. Throws when a
    // probed entry lies outside the file or is over 1 MB long (a corrupt catalogue).
    std::optional<std::string_view> Find(std::string_view msgid) const;

    uint32_t Count() const { return count_; }

private:
    uint32_t Word(uint64_t offset) const;
    template <bool Swapped> std::string_view EntryIn(uint32_t table, uint32_t index) const;
    template <bool Swapped> std::optional<std::string_view> FindIn(std::string_view msgid) const;
    // Reject closes (open fails); Corrupt only throws (a reader found a bad entry).
    [[noreturn]] void Reject();
    [[noreturn]] void Corrupt() const;

    TFileView view_;
    const unsigned char* data_ = nullptr;
    uint64_t size_ = 0;
    bool swapped_ = false;
    uint32_t count_ = 0;
    uint32_t originals_ = 0;
    uint32_t translations_ = 0;
    std::string path_;
};

} // namespace gnugettext
