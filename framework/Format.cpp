#include "framework/Format.h"

std::optional<std::string> FormatPattern(std::string_view pattern,
                                         std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(pattern.size() + 32);
    auto next = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (++i == pattern.size())
            return std::nullopt;
        char spec = pattern[i];
        if (spec == '%') {
            out += '%';
            continue;
        }
        if (next == args.end())
            return std::nullopt;
        if (spec == 'd' && std::holds_alternative<long long>(*next))
            out += std::to_string(std::get<long long>(*next));
        else if (spec == 's' && std::holds_alternative<std::string_view>(*next))
            out += std::get<std::string_view>(*next);
        else
            return std::nullopt;
        ++next;
    }
    if (next != args.end())
        return std::nullopt;
    return out;
}

std::string FormatTranslated(std::string_view translated, std::string_view original,
                             std::initializer_list<FormatArg> args) {
    if (auto text = FormatPattern(translated, args))
        return *text;
    if (auto text = FormatPattern(original, args))
        return *text;
    return std::string(original);
}
