#pragma once
// A catalogue's plural rule: which of its translations serves a count. The rule is a C
// expression in n (the subset GNU gettext accepts), read from the header the way the C
// library reads it; an unreadable rule falls back to the Germanic one, so a bad header costs
// the plural choice, never a lookup.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace gnugettext {

class TPluralRule {
public:
    // A rule nested deeper or written longer than this is refused like any unreadable rule:
    // real languages need 8 levels of brackets and branches and 230 characters at most.
    static constexpr int MaxDepth = 100;
    static constexpr size_t MaxLength = 4096;

    // From the catalogue's header entry (the translation of ""): "nplurals=" and "plural="
    // wherever they stand in it. Without them, or with a rule that cannot be read, the rule is
    // "nplurals=2; plural=(n != 1)".
    static TPluralRule FromHeader(std::string_view header);

    // The index of the form for `n`: the rule's value, or 0 when that is not below Count().
    unsigned long Choose(unsigned long n) const;
    uint64_t Count() const { return count_; }

    // One step of the rule, in postfix order: operands are pushed, operators pop theirs.
    enum class TOp : uint8_t {
        N,
        Number,
        Not,
        Mul,
        Div,
        Mod,
        Add,
        Sub,
        Less,
        Greater,
        LessEqual,
        GreaterEqual,
        Equal,
        NotEqual,
        And,
        Or,
        Select
    };
    struct TStep {
        TOp Op;
        uint64_t Value = 0;
    };

private:
    std::vector<TStep> program_; // empty: the Germanic rule
    size_t stackSize_ = 0;
    uint64_t count_ = 2;
};

} // namespace gnugettext
