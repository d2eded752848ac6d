// Plural rules read from catalogue headers: what the C library's ngettext chooses on the same
// catalogue is the reference, except where a row says otherwise; hostile rules cost the rule,
// never the stack.
#include "Catalogues.h"

#include "i18n/PluralForms.h"

#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>
#include <libintl.h>

using gnugettext::TPluralRule;

namespace {

// A ternary chain "n==0?0:n==1?1:...:k" of `k` branches.
std::string Chain(int k) {
    std::string rule;
    for (int i = 0; i < k; ++i)
        rule += "n==" + std::to_string(i) + "?" + std::to_string(i) + ":";
    return rule + std::to_string(k);
}

// `text` inside a PO file's quotes.
std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t')
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        else
            out += c;
    }
    return out;
}

// The counts every row is tried with: small ones, the edges of 32 and 64 bits.
std::vector<unsigned long> Counts() {
    std::vector<unsigned long> counts;
    for (unsigned long n = 0; n <= 30; ++n)
        counts.push_back(n);
    for (unsigned long n : {100ul, 101ul, 102ul, 111ul, 112ul, 1000ul, 1001ul, 2147483648ul,
                            4294967295ul, 4294967296ul, 4294967301ul, 18446744073709551615ul})
        counts.push_back(n);
    return counts;
}

// The C library's choice on a catalogue with `header` and forms named "0", "1", ...; nullopt
// when it gives no form (its English fallback) or cannot load catalogues here at all.
class CLibrary {
public:
    CLibrary() {
        ::setenv("LANGUAGE", "xx", 1);
        usable_ = std::setlocale(LC_MESSAGES, "C.UTF-8") != nullptr;
    }
    ~CLibrary() {
        ::unsetenv("LANGUAGE");
        std::setlocale(LC_MESSAGES, "C");
    }
    bool Load(const std::string& header, size_t forms) {
        domain_ = "rule" + std::to_string(++loaded_);
        std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\"" +
                         Escape(header) +
                         "\\n\"\n\nmsgid \"probe\"\nmsgstr \"ok\"\n\n"
                         "msgid \"one\"\nmsgid_plural \"many\"\n";
        for (size_t i = 0; i < forms; ++i)
            po += "msgstr[" + std::to_string(i) + "] \"" + std::to_string(i) + "\"\n";
        Msgfmt(dir_.Path(), "xx", domain_, po);
        ::bindtextdomain(domain_.c_str(), dir_.Path().c_str());
        usable_ = usable_ && std::string(::dgettext(domain_.c_str(), "probe")) == "ok";
        return usable_;
    }
    std::optional<unsigned long> Choose(unsigned long n) const {
        std::string form = ::dngettext(domain_.c_str(), "one", "many", n);
        if (form == "one" || form == "many")
            return std::nullopt;
        return std::stoul(form);
    }

private:
    TTempDir dir_;
    std::string domain_;
    int loaded_ = 0;
    bool usable_ = false;
};

} // namespace

TEST(PluralRule, HeadersAreReadAsTheCLibraryReadsThemAndHostileRulesAreRefused) {
    struct TRow {
        std::string name;
        std::string header; // the header entry's lines
        // (n, form) pairs that must hold; the C library must agree on every count unless
        // `ownChoice` says why it may not.
        std::vector<std::pair<unsigned long, unsigned long>> forms;
        const char* ownChoice = nullptr;
    };
    const std::string germanic = "Plural-Forms: nplurals=3; plural=";
    const std::vector<TRow> rows = {
        {"French", "Plural-Forms: nplurals=2; plural=(n > 1);", {{0, 0}, {1, 0}, {2, 1}}},
        {"English", "Plural-Forms: nplurals=2; plural=n != 1;", {{0, 1}, {1, 0}, {5, 1}}},
        {"one form", "Plural-Forms: nplurals=1; plural=0;", {{0, 0}, {1, 0}, {7, 0}}},
        {"Polish",
         "Plural-Forms: nplurals=3; plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || "
         "n%100>=20) ? 1 : 2);",
         {{0, 2}, {1, 0}, {2, 1}, {5, 2}, {22, 1}, {112, 2}}},
        {"Arabic",
         "Plural-Forms: nplurals=6; plural=n==0 ? 0 : n==1 ? 1 : n==2 ? 2 : n%100>=3 && "
         "n%100<=10 ? 3 : n%100>=11 ? 4 : 5;",
         {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {11, 4}, {100, 5}, {102, 5}}},
        {"Slovenian",
         "Plural-Forms: nplurals=4; plural=(n%100==1 ? 0 : n%100==2 ? 1 : n%100==3 || "
         "n%100==4 ? 2 : 3);",
         {{1, 0}, {102, 1}, {4, 2}, {5, 3}}},
        {"Romanian",
         "Plural-Forms: nplurals=3; plural=n==1 ? 0 : (n==0 || (n%100 > 0 && n%100 < 20)) ? 1 : "
         "2;",
         {{1, 0}, {0, 1}, {19, 1}, {20, 2}}},
        {"Czech",
         "Plural-Forms: nplurals=3; plural=(n==1) ? 0 : (n>=2 && n<=4) ? 1 : 2;",
         {{1, 0}, {3, 1}, {5, 2}}},
        {"Ukrainian, the longest rule of this system's catalogues",
         "Plural-Forms: nplurals=4; plural=(n % 1 == 0 && n % 10 == 1 && n % 100 != 11 ? 0 : n "
         "% 1 == 0 && n % 10 >= 2 && n % 10 <= 4 && (n % 100 < 12 || n % 100 > 14) ? 1 : n % 1 "
         "== 0 && (n % 10 ==0 || (n % 10 >=5 && n % 10 <=9) || (n % 100 >=11 && n % 100 <=14 )) "
         "? 2: 3);",
         {{1, 0}, {2, 1}, {5, 2}, {11, 2}, {21, 0}}},
        {"Ukrainian, the deepest rule of this system's catalogues",
         "Plural-Forms: nplurals=4; plural=((n%10==1 && n%100!=11) ? 0 : ((n%10 >= 2 && n%10 "
         "<=4 && (n%100 < 12 || n%100 > 14)) ? 1 : ((n%10 == 0 || (n%10 >= 5 && n%10 <=9)) || "
         "(n%100 >= 11 && n%100 <= 14)) ? 2 : 3));",
         {{1, 0}, {2, 1}, {5, 2}, {11, 2}, {21, 0}}},
        {"precedence: ! binds tightest, ?: loosest, chains go left",
         "Plural-Forms: nplurals=9; plural=n % 5 - 1 - 1 == 2 < 3 ? !n + 4 : 2 * 3 % 4;",
         {{3, 4}, {4, 2}, {0, 2}}},
        {"the header's name in lower case (hu/xz.mo)",
         "plural-forms: nplurals=3; plural=n==1 ? 0 : n==2 ? 1 : 2;",
         {{1, 0}, {2, 1}, {3, 2}}},
        {"a tab before plural=", "Plural-Forms: nplurals=2;\tplural=n == 0;", {{0, 1}, {2, 0}}},
        {"ten digits",
         "Plural-Forms: nplurals=2; plural=n % 4294967296 == 5;",
         {{5, 1}, {4294967301ul, 1}, {6, 0}}},
        {"a number past 64 bits wraps",
         "Plural-Forms: nplurals=2; plural=n == 18446744073709551621;",
         {{5, 1}, {6, 0}}},
        {"more than 100 forms",
         "Plural-Forms: nplurals=150; plural=n;",
         {{120, 120}, {149, 149}, {150, 0}}},
        {"no forms", "Plural-Forms: nplurals=0; plural=n;", {{0, 0}, {1, 0}, {2, 0}}},
        {"a blank before = hides plural",
         "Plural-Forms: nplurals=3; plural =n;",
         {{0, 1}, {1, 0}, {2, 1}}},
        {"a blank before = hides nplurals",
         "Plural-Forms: nplurals =3; plural=n;",
         {{0, 1}, {1, 0}, {2, 1}}},
        {"blanks after nplurals=", "Plural-Forms: nplurals=  3; plural=n;", {{2, 2}}},
        {"no rule", "Content-Transfer-Encoding: 8bit", {{0, 1}, {1, 0}, {2, 1}}},
        {"no count", "Plural-Forms: nplurals=x; plural=n;", {{0, 1}, {2, 1}}},
        {"a rule that does not parse", "Plural-Forms: nplurals=2; plural=n +;", {{0, 1}, {1, 0}}},
        {"a single = is no operator", "Plural-Forms: nplurals=3; plural=n = 2;", {{2, 1}}},
        {"unbalanced brackets", "Plural-Forms: nplurals=3; plural=(n;", {{2, 1}}},
        {"a carriage return ends nothing", "Plural-Forms: nplurals=3; plural=n\r", {{2, 1}}},
        {"the rule ends at its line", "Plural-Forms: nplurals=3; plural=n\nX-Other: n+", {{2, 2}}},
        {"plural= anywhere in the header wins",
         "X-Note: plural=n%3\nPlural-Forms: nplurals=3; plural=0;",
         {{2, 2}, {4, 1}}},
        {"division by zero",
         "Plural-Forms: nplurals=2; plural=n / 0 + 7;",
         {{0, 0}, {1, 0}},
         "the C library ends the program with SIGFPE"},
        {"remainder by zero",
         "Plural-Forms: nplurals=2; plural=n % (n - n) + 1;",
         {{0, 1}, {1, 1}},
         "the C library ends the program with SIGFPE"},
        // Hostile rules, each beside the largest of its kind that is still taken.
        {"100 brackets", germanic + Repeat("(", 100) + "n" + Repeat(")", 100), {{2, 2}}},
        {"101 brackets",
         germanic + Repeat("(", 101) + "n" + Repeat(")", 101),
         {{2, 1}},
         "refused: deeper than its limit"},
        {"5,000 brackets",
         germanic + Repeat("(", 5000) + "n" + Repeat(")", 5000),
         {{2, 1}},
         "refused: longer than its limit"},
        {"a chain of 100 ?:",
         "Plural-Forms: nplurals=101; plural=" + Chain(100),
         {{0, 0}, {2, 2}, {99, 99}, {200, 100}}},
        {"a chain of 101 ?:",
         germanic + Chain(101),
         {{0, 1}, {2, 1}},
         "refused: deeper than its limit"},
        {"4,096 characters",
         "Plural-Forms: nplurals=4096; plural=" + Repeat("n+", 2047) + "n ",
         {{0, 0}, {1, 2048}}},
        {"4,097 characters",
         germanic + Repeat("n+", 2047) + "n  ",
         {{0, 1}, {2, 1}},
         "refused: longer than its limit"},
        {"4,000 ! in a row", germanic + Repeat("!", 4000) + "n", {{0, 0}, {2, 1}, {5, 1}}},
        {"300,000 terms", germanic + Repeat("n+", 300000) + "n", {{2, 1}}, "refused: too long"},
        {"300,000 !", germanic + Repeat("!", 300000) + "n", {{2, 1}}, "refused: too long"},
        {"100,000 nested ?:",
         germanic + Repeat("n?", 100000) + "n" + Repeat(":0", 100000),
         {{2, 1}},
         "refused: too long"},
    };
    constexpr unsigned long kForms = 200;
    CLibrary cLibrary;
    const std::vector<unsigned long> counts = Counts();
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        const TPluralRule rule = TPluralRule::FromHeader(row.header + "\nX-Other: 1\n");
        for (auto [n, form] : row.forms)
            EXPECT_EQ(rule.Choose(n), form) << "n=" << n;
        if (row.ownChoice)
            continue;
        if (!cLibrary.Load(row.header, kForms)) {
            std::printf("the C library loads no catalogue here: not compared\n");
            continue;
        }
        // An index past the forms there are gives the first one, there as here.
        for (unsigned long n : counts) {
            if (auto theirs = cLibrary.Choose(n)) {
                EXPECT_EQ(rule.Choose(n) < kForms ? rule.Choose(n) : 0, *theirs) << "n=" << n;
            }
        }
    }
}
