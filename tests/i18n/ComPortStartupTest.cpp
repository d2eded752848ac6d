// The serial layer's start-up with the runtime: its 23 messages and the error-code suffix
// come from a catalogue made by msgfmt.
#include "Catalogues.h"

#include "i18n/Translation.h"
#include "serial/ComPort.h"
#include "serial/ComPortStartup.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace gg = gnugettext;

namespace {

class SerialStartup : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LANG", "pt_BR.UTF-8", 1);
        gg::GnuGettextStartup();
        gg::bindtextdomain("default", dir_.Path());
    }
    void TearDown() override {
        ComPortShutdown();
        for (int code = 1; code <= 23; ++code)
            ComPortMessages[code] = ComPortMessageTexts[code];
        gg::GnuGettextShutdown();
    }
    // Every message gets "[pt] " + its text; the suffix gets `suffix`.
    void MakeCatalogue(const std::string& language, const std::string& suffix) {
        TEntries entries;
        for (int code = 1; code <= 23; ++code)
            entries.emplace_back(ComPortMessageTexts[code],
                                 "[" + language + "] " + ComPortMessageTexts[code]);
        entries.emplace_back(" (win error code: %d)", suffix);
        Msgfmt(dir_.Path(), language, "default", PoText(entries));
    }

    TTempDir dir_;
};

} // namespace

TEST_F(SerialStartup, StoresTheTranslatedMessagesAndTranslatesTheSuffixAtEachError) {
    MakeCatalogue("pt_BR", " (código de erro: %d)");
    MakeCatalogue("de", " (Fehlercode: %d)");
    ComPortStartup();
    EXPECT_EQ(gg::ResourceStringDomains(), (std::vector<std::string>{"default", "cport"}));
    for (int code = 1; code <= 23; ++code)
        EXPECT_EQ(ComPortMessages[code], std::string("[pt_BR] ") + ComPortMessageTexts[code]);
    EXPECT_EQ(EComPort(18).Message, "[pt_BR] Link (un)registration failed");
    EXPECT_EQ(EComPort(1, 2).Message, "[pt_BR] Unable to open com port (código de erro: 2)");

    // The rows were stored at start-up; the suffix is looked up again for each error.
    gg::UseLanguage("de");
    EXPECT_EQ(EComPort(1, 13).Message, "[pt_BR] Unable to open com port (Fehlercode: 13)");
}

TEST_F(SerialStartup, SuffixWhosePatternDoesNotFitFallsBackToEnglish) {
    for (const char* bad : {" (código: %s)", " (código %d/%d)", " (código)", " (código %n)"}) {
        MakeCatalogue("pt_BR", bad);
        gg::UseLanguage("pt_BR"); // reopen the rewritten catalogue
        ComPortStartup();
        EXPECT_EQ(EComPort(23, 2).Message, "[pt_BR] Registry error (win error code: 2)") << bad;
    }
}

TEST_F(SerialStartup, WithoutCatalogueTheEnglishTextsStay) {
    ComPortStartup();
    for (int code = 1; code <= 23; ++code)
        EXPECT_EQ(ComPortMessages[code], ComPortMessageTexts[code]);
    EXPECT_EQ(EComPort(1, 2).Message, "Unable to open com port (win error code: 2)");
}

TEST_F(SerialStartup, BrokenCatalogueCostsTheTranslationsOnly) {
    std::filesystem::create_directories(dir_.Path() + "/pt_BR/LC_MESSAGES");
    WriteFile(dir_.Path() + "/pt_BR/LC_MESSAGES/default.mo", "not a catalogue at all");
    try {
        ComPortStartup();
        FAIL() << "a broken catalogue went unnoticed";
    } catch (const EComPort&) {
        FAIL() << "the catalogue's failure came as a port error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message.find("not a valid GNU gettext mo file"), std::string::npos);
    }
    EXPECT_EQ(ComPortMessages[1], "Unable to open com port");
    // Later port errors are port errors with their own text, not the catalogue's complaint.
    TComPort port;
    port.SetPort("/dev/quorvel-no-such-port");
    try {
        port.Open();
        FAIL() << "opened a missing port";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, 1);
        EXPECT_EQ(e.Message, "Unable to open com port (win error code: 2)");
    }
}

// The shipped pt_BR catalogue covers every message of the serial layer.
TEST(SerialShippedCatalogue, TranslatesAllTwentyThreeMessages) {
    if (!std::filesystem::exists(QUORVEL_LOCALE_DIR "/pt_BR/LC_MESSAGES/default.mo"))
        GTEST_SKIP() << "catalogues not built (no msgfmt)";
    ::setenv("LANG", "pt_BR.UTF-8", 1);
    gg::GnuGettextStartup();
    ComPortStartup();
    for (int code = 1; code <= 23; ++code)
        EXPECT_NE(ComPortMessages[code], ComPortMessageTexts[code]) << code;
    EXPECT_EQ(EComPort(1, 2).Message,
              "Não foi possível abrir a porta serial (código de erro do sistema: 2)");
    ComPortShutdown();
    gg::GnuGettextShutdown();
}
