#include "framework/Json.h"

#include "framework/Utf8.h"

#include <cstdio>

std::string JsonQuoted(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t n = Utf8SequenceLength(s, i);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b >= 0x20 && n != 0) {
            out.append(s, i, n);
            i += n;
            continue;
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", b);
            out += esc;
        }
        ++i;
    }
    out += '"';
    return out;
}
