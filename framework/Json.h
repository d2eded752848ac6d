#pragma once
// A JSON string literal for `text`: well-formed UTF-8 passes as it is; quotes, backslashes and
// control bytes are escaped, and bytes that are not UTF-8 (a board's texts can hold any byte)
// come out as \u00XX, so the line stays valid JSON whatever the input.
#include <string>

std::string JsonQuoted(const std::string& text);
