// links: quorvel_i18n
// A catalogue header's plural rule on any bytes, as the whole header and as the text after
// "plural=". Holds: no rule exhausts the stack (the fuzz phase runs with a 1 MB stack), the
// chosen index is always below the rule's count (or 0), and the same count always chooses the
// same index.
#include "i18n/PluralForms.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using gnugettext::TPluralRule;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "plural rule: %s\n", what);
        std::abort();
    }
}

void Try(std::string_view header) {
    const TPluralRule rule = TPluralRule::FromHeader(header);
    for (unsigned long n : {0ul, 1ul, 2ul, 3ul, 5ul, 11ul, 21ul, 101ul, 1000000ul, ~0ul}) {
        const unsigned long index = rule.Choose(n);
        Check(index == 0 || index < rule.Count(), "an index past the forms");
        Check(rule.Choose(n) == index, "the same count chose another form");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Try(bytes);
    Try("Plural-Forms: nplurals=7; plural=" + std::string(bytes) + ";\n");
    return 0;
}
