#pragma once
// JSON lines as the service log and the flasher's events write them. Objects are built with
// nlohmann's ordered_json (keys stay in the order they were set); JsonLine writes them out,
// quoting strings with JsonQuoted so stored lines keep their escapes.
#include <nlohmann/json_fwd.hpp>

#include <string>

// A JSON string literal for `text`: well-formed UTF-8 passes as it is; quotes, backslashes and
// control bytes are escaped, and bytes that are not UTF-8 (a board's texts can hold any byte)
// come out as \u00XX, so the line stays valid JSON whatever the input.
std::string JsonQuoted(const std::string& text);

// `value` on one line with no blanks. Strings go through JsonQuoted rather than the library's
// writer, which would turn a byte that is not UTF-8 into U+FFFD (or throw) and writes \n where
// the logs hold \u000a.
std::string JsonLine(const nlohmann::ordered_json& value);
