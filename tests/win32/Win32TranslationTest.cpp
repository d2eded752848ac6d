// The translation runtime's Windows rules, under Wine: the language from LANG or the user's
// locale, and the catalogues in locale\ beside the executable, mapped from disk.
#include "framework/Exception.h"
#include "i18n/Translation.h"
#include "serial/ComPort.h"
#include "serial/ComPortStartup.h"

#include <gtest/gtest.h>

#include <string>

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

// A catalogue name that exists but cannot be opened (here a folder) is reported with the
// path the runtime built, in Windows form, and tried again at the next lookup.
TEST(Win32Catalogues, ACatalogueThatCannotBeOpenedIsReportedWithItsPath) {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    std::string root =
        std::string(temp) + "quorvel-locale-" + std::to_string(GetCurrentProcessId());
    std::string folder = root;
    for (const char* part : {"", "\\xx_YY", "\\LC_MESSAGES", "\\default.mo"}) {
        folder += part;
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    SetEnvironmentVariableA("LANG", "xx_YY");
    gg::GnuGettextStartup();
    gg::bindtextdomain("default", root);
    std::string expected = "Cannot open file " + root + "\\xx_YY\\LC_MESSAGES\\default.mo";
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            gg::dgettext("default", u"Registry error");
            ADD_FAILURE() << "no failure reported";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message, expected);
        }
    }
    gg::GnuGettextShutdown();
    SetEnvironmentVariableA("LANG", nullptr);
    for (size_t cut; (cut = folder.rfind('\\')) != std::string::npos && folder.size() > root.size();
         folder.resize(cut))
        RemoveDirectoryA(folder.c_str());
    RemoveDirectoryA(root.c_str());
}

// While a catalogue is mapped, no other program can cut it short: lookups keep their answers
// where a Linux mapping would fault.
TEST(Win32Catalogues, AMappedCatalogueCannotBeCutShortUnderTheLookups) {
    SetEnvironmentVariableA("LANG", "pt_BR");
    gg::GnuGettextStartup();
    const std::string exeDir =
        gg::ExecutableFilename.substr(0, gg::ExecutableFilename.find_last_of('\\'));
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    const std::string root =
        std::string(temp) + "quorvel-mapped-" + std::to_string(GetCurrentProcessId());
    std::string folder = root;
    for (const char* part : {"", "\\pt_BR", "\\LC_MESSAGES"}) {
        folder += part;
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    const std::string mo = folder + "\\default.mo";
    ASSERT_TRUE(CopyFileA((exeDir + "\\locale\\pt_BR\\LC_MESSAGES\\default.mo").c_str(), mo.c_str(),
                          FALSE));
    gg::bindtextdomain("default", root);
    const std::u16string translated = gg::dgettext("default", u"Unable to open com port");
    ASSERT_NE(translated, u"Unable to open com port");

    // Another program may open it for writing, but not shorten it.
    HANDLE file = CreateFileA(mo.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        EXPECT_FALSE(SetEndOfFile(file)) << "a mapped catalogue was cut short";
        CloseHandle(file);
    }
    EXPECT_EQ(gg::dgettext("default", u"Unable to open com port"), translated);
    gg::GnuGettextShutdown();
    SetEnvironmentVariableA("LANG", nullptr);
    DeleteFileA(mo.c_str());
    for (; folder.size() >= root.size(); folder.resize(folder.rfind('\\')))
        RemoveDirectoryA(folder.c_str());
}

} // namespace
