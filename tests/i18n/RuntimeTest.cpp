// The runtime as the program starts it: DefaultInstance, the language from the environment,
// line-end normalisation, resource strings over their domains, and the shipped catalogues.
#include "Catalogues.h"

#include "framework/Exception.h"
#include "framework/ResString.h"
#include "i18n/Translation.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace gg = gnugettext;
namespace fs = std::filesystem;

namespace {

void SetEnvironment(const char* lang, const char* all = nullptr, const char* messages = nullptr) {
    auto set = [](const char* name, const char* value) {
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    };
    set("LANG", lang);
    set("LC_ALL", all);
    set("LC_MESSAGES", messages);
}

class Runtime : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironment("pt_BR.UTF-8");
        gg::GnuGettextStartup();
        // Keep the catalogues beside the test binary out of the way of these tests.
        gg::bindtextdomain("default", dir_.Path());
    }
    void TearDown() override { gg::GnuGettextShutdown(); }

    TTempDir dir_;
};

const TResStringRec kRegistryError{"Registry error"};

} // namespace

TEST_F(Runtime, LanguageComesFromTheEnvironmentAndNeverLeavesTheLocaleDirectory) {
    EXPECT_EQ(gg::GetCurrentLanguage(), "pt_BR");
    struct {
        const char *lang, *all, *messages, *expected;
    } cases[] = {
        {"pt_BR.UTF-8", "de_DE", nullptr, "pt_BR"}, {"", "de_DE.UTF-8", "fr_FR", "de_DE"},
        {nullptr, nullptr, "fr_FR", "fr_FR"},       {nullptr, nullptr, nullptr, "C"},
        {"C.UTF-8", nullptr, nullptr, "C"},         {"../../etc", nullptr, nullptr, "C"},
        {"pt_BR/..", nullptr, nullptr, "C"},        {".hidden", nullptr, nullptr, "C"},
        {"pt\\BR", nullptr, nullptr, "C"},          {"pt..BR", nullptr, nullptr, "C"},
    };
    for (const auto& c : cases) {
        SetEnvironment(c.lang, c.all, c.messages);
        gg::UseLanguage("");
        EXPECT_EQ(gg::GetCurrentLanguage(), c.expected) << (c.lang ? c.lang : "(unset)");
    }
    gg::UseLanguage("../pt_BR");
    EXPECT_EQ(gg::GetCurrentLanguage(), "C");
}

TEST_F(Runtime, WithoutCataloguesEveryTextComesBackWithCrLfLineEnds) {
    EXPECT_EQ(gg::_(u"Registry error"), u"Registry error");
    EXPECT_EQ(gg::_(u"one\ntwo"), u"one\r\ntwo");
    EXPECT_EQ(gg::_(u"one\r\ntwo\n"), u"one\r\ntwo\r\n");
    EXPECT_EQ(gg::_(u"one\rtwo"), u"onetwo");
    EXPECT_EQ(gg::_(u"Comunicação \U0001F600"), u"Comunicação \U0001F600");
    EXPECT_EQ(gg::_(u""), u"");
    EXPECT_EQ(gg::dgettext("cport", u"a\nb"), u"a\r\nb");
    EXPECT_EQ(gg::LoadResStringA(kRegistryError), "Registry error");
}

TEST_F(Runtime, TranslationsGetCrLfAndTheCurrentDomainChoosesTheCatalogue) {
    Msgfmt(dir_.Path(), "pt", "default", PoText({{"Two\nlines", "Duas\nlinhas"}}));
    TTempDir other;
    Msgfmt(other.Path(), "pt_BR", "cport", PoText({{"Registry error", "Erro no registro"}}));
    gg::bindtextdomain("cport", other.Path());

    EXPECT_EQ(gg::_(u"Two\r\nlines"), u"Duas\r\nlinhas");
    EXPECT_EQ(gg::_(u"Registry error"), u"Registry error");
    EXPECT_EQ(gg::dgettext("CPort", u"Registry error"), u"Erro no registro");
    gg::textdomain("cport");
    EXPECT_EQ(gg::getcurrenttextdomain(), "cport");
    EXPECT_EQ(gg::gettext(u"Registry error"), u"Erro no registro");
}

TEST_F(Runtime, UseLanguageSwitchesEveryDomain) {
    Msgfmt(dir_.Path(), "pt_BR", "default", PoText({{"Registry error", "Erro no registro"}}));
    Msgfmt(dir_.Path(), "de", "default", PoText({{"Registry error", "Registrierungsfehler"}}));
    EXPECT_EQ(gg::_(u"Registry error"), u"Erro no registro");
    gg::UseLanguage("de_DE.UTF-8");
    EXPECT_EQ(gg::GetCurrentLanguage(), "de_DE");
    EXPECT_EQ(gg::_(u"Registry error"), u"Registrierungsfehler");
}

TEST_F(Runtime, TranslationThatIsNotUtf8Raises) {
    Msgfmt(dir_.Path(), "pt_BR", "default",
           PoText({{"coffee", "caf\xe9"}, {"tea", "ch\xe1 \xe9 bom"}}, "", "ISO-8859-1"));
    try {
        gg::_(u"coffee");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "Error: Could not translate coffee. Probably because the mo file "
                             "doesn't contain utf-8 encoded translations.");
    }
    EXPECT_THROW(gg::LoadResStringA(TResStringRec{"tea"}), Exception);
    EXPECT_EQ(gg::_(u"milk"), u"milk");
}

TEST_F(Runtime, ResourceStringsTakeTheFirstDomainThatChangesThem) {
    TTempDir cport;
    gg::bindtextdomain("cport", cport.Path());
    Msgfmt(dir_.Path(), "pt_BR", "default", PoText({{"Registry error", "Erro (default)"}}));
    Msgfmt(cport.Path(), "pt_BR", "cport",
           PoText({{"Registry error", "Erro (cport)"},
                   {"Error reading %s%s%s: %s", "Erro ao ler %s%s%s: %s"}}));

    EXPECT_EQ(gg::LoadResStringA(SReadError), "Error reading %s%s%s: %s");
    gg::AddDomainForResourceString("cport");
    EXPECT_EQ(gg::ResourceStringDomains(), (std::vector<std::string>{"default", "cport"}));
    // Unchanged in "default", translated in "cport": the framework's entry reaches it too.
    EXPECT_EQ(gg::LoadResStringA(SReadError), "Erro ao ler %s%s%s: %s");
    EXPECT_EQ(LoadResString(SReadError), "Erro ao ler %s%s%s: %s");
    EXPECT_EQ(gg::LoadResStringW(SReadError), u"Erro ao ler %s%s%s: %s");
    EXPECT_EQ(LoadResString(kRegistryError), "Erro (default)");

    gg::GnuGettextShutdown();
    EXPECT_EQ(LoadResString(SReadError), "Error reading %s%s%s: %s");
    EXPECT_EQ(gg::LoadResStringA(SReadError), "Error reading %s%s%s: %s");
    EXPECT_EQ(gg::_(u"a\nb"), u"a\nb");
}

TEST_F(Runtime, CatalogueFailureRaisesFromTheResourceStringLoad) {
    fs::create_directories(fs::path(dir_.Path()) / "pt_BR" / "LC_MESSAGES" / "default.mo");
    EXPECT_THROW(LoadResString(kRegistryError), Exception);
}

TEST_F(Runtime, WithAHandlerABrokenCatalogueIsReportedOnceAndCostsOnlyItsTranslations) {
    std::vector<std::string> reports;
    gg::DefaultInstance->OnBrokenCatalogue = [&](const std::string& m) { reports.push_back(m); };
    auto lookups = [] {
        return gg::DefaultInstance->dgettextUtf8("default", "Registry error") + "|" +
               gg::DefaultInstance->dngettextUtf8("default", "file", "files", 2);
    };
    const TEntries entries = {{"Registry error", "Erro no registro"}, {"Zebra", "Zebra listrada"}};
    const std::string extra = "msgid \"file\"\nmsgid_plural \"files\"\n"
                              "msgstr[0] \"arquivo\"\nmsgstr[1] \"arquivos\"\n";
    const std::string mo = Msgfmt(dir_.Path(), "pt_BR", "default", PoText(entries, extra));
    const std::string good = ReadFile(mo);
    // Refused at its open; then one that opens but whose "Registry error" entry points outside
    // the file, found by the lookup only.
    std::string outside = good;
    const uint32_t translations = ReadWord(good, 16);
    for (uint32_t i = 0; i < ReadWord(good, 8); ++i)
        if (ReadWord(good, translations + 8 * i) == std::string("Erro no registro").size())
            PatchWord(outside, translations + 8 * i + 4, 0xFFFFFFF0);
    for (const std::string& bytes : {std::string(), outside}) {
        WriteFile(mo, bytes);
        gg::UseLanguage("pt_BR");
        reports.clear();
        EXPECT_EQ(lookups(), "Registry error|files");
        EXPECT_EQ(lookups(), "Registry error|files");
        EXPECT_EQ(reports, (std::vector<std::string>{
                               (bytes.empty() ? "Cannot create memory map on file "
                                              : "This file is not a valid GNU gettext mo file: ") +
                               mo}));
    }
    // Mended, it is read again once the language is set again.
    WriteFile(mo, good);
    EXPECT_EQ(lookups(), "Registry error|files");
    gg::UseLanguage("pt_BR");
    EXPECT_EQ(lookups(), "Erro no registro|arquivos");
}

// The pt_BR catalogues the build places beside the executables, found the way the program
// finds them: through LocaleDirectory and LANG alone.
TEST(ShippedCatalogues, TranslateFrameworkAndSerialTextsBesideTheExecutable) {
    if (!fs::exists(QUORVEL_LOCALE_DIR "/pt_BR/LC_MESSAGES/default.mo"))
        GTEST_SKIP() << "catalogues not built (no msgfmt)";
    SetEnvironment("pt_BR.UTF-8");
    gg::GnuGettextStartup();
    EXPECT_EQ(fs::path(gg::DefaultInstance->LocaleDirectory()), fs::path(QUORVEL_LOCALE_DIR));
    EXPECT_EQ(LoadResString(SReadError), "Erro ao ler %s%s%s: %s");
    EXPECT_EQ(gg::_(u"Unable to open com port"), u"Não foi possível abrir a porta serial");
    EXPECT_EQ(gg::dgettext("cport", u" (win error code: %d)"), u" (código de erro do sistema: %d)");
    EXPECT_EQ(gg::_(u" (win error code: %d)"), u" (código de erro do sistema: %d)");
    gg::GnuGettextShutdown();

    SetEnvironment("en_US.UTF-8");
    gg::GnuGettextStartup();
    EXPECT_EQ(LoadResString(SReadError), "Error reading %s%s%s: %s");
    gg::GnuGettextShutdown();
}
