#pragma once
// A JSON string literal for `text` (UTF-8 passes through; quotes and control bytes escaped).
#include <string>

std::string JsonQuoted(const std::string& text);
