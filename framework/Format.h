#pragma once
// Formatting of patterns that may come from a translation file on disk. A pattern is never
// handed to printf: only %d, %s and %% are understood, and a translated pattern whose
// specifiers differ from the original's is replaced by the original.
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

using FormatArg = std::variant<long long, std::string_view>;

// Substitutes the arguments in order. nullopt when the pattern holds another specifier or
// its specifiers do not match the arguments in number and kind.
std::optional<std::string> FormatPattern(std::string_view pattern,
                                         std::initializer_list<FormatArg> args);

// Formats `translated`, or `original` when the translation does not fit the arguments.
std::string FormatTranslated(std::string_view translated, std::string_view original,
                             std::initializer_list<FormatArg> args);
