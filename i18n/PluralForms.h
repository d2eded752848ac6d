#pragma once
// A catalogue's "Plural-Forms" rule: which of its translations serves a count. The rule is a
// C expression in n (the subset GNU gettext accepts); an unreadable rule falls back to the
// English one, so a bad header costs the plural choice, never a lookup.
#include <memory>
#include <string_view>

namespace gnugettext {

class TPluralRule {
public:
    // From the catalogue's header entry (the translation of ""); a header without a rule or
    // with one that cannot be read gives "nplurals=2; plural=(n != 1)".
    static TPluralRule FromHeader(std::string_view header);

    // The index of the form for `n`, from 0 to Count() - 1.
    unsigned long Choose(unsigned long n) const;
    unsigned long Count() const { return count_; }

    struct TNode;

private:
    std::shared_ptr<const TNode> expression_;
    unsigned long count_ = 2;
};

} // namespace gnugettext
