// The translation runtime's Windows rules, under Wine: the language from LANG or the user's
// locale, and the catalogues in locale\ beside the executable, mapped from disk.
#include "i18n/Translation.h"
#include "serial/ComPort.h"
#include "serial/ComPortStartup.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace gg = gnugettext;

namespace {

TEST(Win32Language, FromLangElseFromTheUserLocale) {
    // The runner starts Wine without LANG and LC_ALL, so its user locale is English (US).
    struct Case {
        const char* lang; // nullptr: not set
        const char* expected;
    } cases[] = {{"pt_BR.UTF-8", "pt_BR"}, {"fr_CA", "fr_CA"}, {nullptr, "en_US"}, {"", "en_US"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lang ? c.lang : "(unset)");
        SetEnvironmentVariableA("LANG", c.lang);
        gg::GnuGettextStartup();
        EXPECT_EQ(gg::GetCurrentLanguage(), c.expected);
        gg::GnuGettextShutdown();
    }
    SetEnvironmentVariableA("LANG", nullptr);
}

TEST(Win32Catalogues, TheShippedCatalogueBesideTheExecutableTranslatesTheMessages) {
    SetEnvironmentVariableA("LANG", "pt_BR.UTF-8");
    gg::GnuGettextStartup();
    ASSERT_GE(gg::ExecutableFilename.size(), 4u);
    EXPECT_EQ(gg::ExecutableFilename.substr(gg::ExecutableFilename.size() - 4), ".exe");
    ComPortStartup();
    EXPECT_EQ(EComPort(1, 2).Message,
              "Não foi possível abrir a porta serial (código de erro do sistema: 2)");
    for (int code = 1; code <= 23; ++code)
        EXPECT_NE(ComPortMessages[code], ComPortMessageTexts[code]) << code;
    ComPortShutdown();
    TranslateComPortMessages(); // back to the English texts for the tests that follow
    gg::GnuGettextShutdown();
    SetEnvironmentVariableA("LANG", nullptr);
}

} // namespace
