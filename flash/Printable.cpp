#include "flash/Printable.h"

#include "framework/Utf8.h"

#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at s[i] that is no control character, or 0.
size_t PrintableLength(const std::string& s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7F)
        return 0;
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0)
        return 0;
    // U+0080-U+009F: the C1 controls, which some terminals obey like ESC sequences.
    if (b == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0)
        return 0;
    return n;
}

} // namespace

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (const size_t n = PrintableLength(text, i); n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i]));
        out += escaped;
        ++i;
    }
    return out;
}
