#include "framework/Json.h"

#include "framework/Utf8.h"

#include <cstdio>
#include <nlohmann/json.hpp>

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

namespace {

void Append(std::string& out, const nlohmann::ordered_json& value) {
    if (value.is_string()) {
        out += JsonQuoted(value.get_ref<const std::string&>());
    } else if (value.is_object()) {
        out += '{';
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it != value.begin())
                out += ',';
            out += JsonQuoted(it.key());
            out += ':';
            Append(out, it.value());
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (size_t i = 0; i < value.size(); ++i) {
            if (i > 0)
                out += ',';
            Append(out, value[i]);
        }
        out += ']';
    } else {
        out += value.dump(); // numbers, true, false, null: nothing to escape
    }
}

} // namespace

std::string JsonLine(const nlohmann::ordered_json& value) {
    std::string out;
    Append(out, value);
    return out;
}
