#include "framework/Format.h"

#include <gtest/gtest.h>

TEST(Format, SubstitutesNumbersAndTextsInOrder) {
    EXPECT_EQ(FormatPattern(" (win error code: %d)", {2LL}), " (win error code: 2)");
    EXPECT_EQ(FormatPattern("Error reading %s%s%s: %s", {"A", ".", "B", "msg"}),
              "Error reading A.B: msg");
    EXPECT_EQ(FormatPattern("100%% %d", {-5LL}), "100% -5");
}

TEST(Format, RejectsPatternsThatDoNotFitTheArguments) {
    EXPECT_FALSE(FormatPattern("%s", {1LL}));      // wrong kind
    EXPECT_FALSE(FormatPattern("%d %d", {1LL}));   // too many specifiers
    EXPECT_FALSE(FormatPattern("none", {1LL}));    // too few
    EXPECT_FALSE(FormatPattern("%n%d", {1LL}));    // anything printf-only
    EXPECT_FALSE(FormatPattern("%1$d", {1LL}));    // positional
    EXPECT_FALSE(FormatPattern("trailing %", {})); // cut-off specifier
}

TEST(Format, BadTranslationFallsBackToTheOriginal) {
    EXPECT_EQ(FormatTranslated(" (código de erro: %d)", " (win error code: %d)", {5LL}),
              " (código de erro: 5)");
    EXPECT_EQ(FormatTranslated(" (erro %s%s%n)", " (win error code: %d)", {5LL}),
              " (win error code: 5)");
}
