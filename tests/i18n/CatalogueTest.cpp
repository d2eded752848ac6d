// Catalogue reading and searching through TDomain, on catalogues made by msgfmt.
#include "Catalogues.h"

#include "framework/Exception.h"
#include "i18n/Translation.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using gnugettext::TDomain;
namespace fs = std::filesystem;

namespace {

std::string Lookup(TDomain& domain, const std::string& msgid) {
    std::string answer;
    domain.GetTranslation(msgid, answer);
    return answer;
}

// The message of the exception a lookup throws, or "" when it does not throw.
std::string Failure(TDomain& domain, const std::string& msgid) {
    try {
        Lookup(domain, msgid);
    } catch (const Exception& e) {
        return e.Message;
    }
    return "";
}

const TEntries kEntries = {
    {"Unable to open com port", "Não foi possível abrir a porta serial"},
    {"Registry error", "Erro no registro"},
    {"Two\nlines", "Duas\nlinhas"},
    {"Zebra", "Zebra listrada"},
};

} // namespace

TEST(Catalogue, BothByteOrdersTranslateAndMissesReturnTheInput) {
    for (bool bigEndian : {false, true}) {
        TTempDir dir;
        std::string mo = Msgfmt(dir.Path(), "pt_BR", "default", PoText(kEntries), bigEndian);
        EXPECT_EQ(ReadWord(ReadFile(mo), 0), bigEndian ? 0xde120495u : 0x950412deu);
        TDomain domain("default", dir.Path(), "pt_BR");
        for (const auto& [id, str] : kEntries)
            EXPECT_EQ(Lookup(domain, id), str) << "big-endian " << bigEndian;
        EXPECT_EQ(Lookup(domain, "Registry erro"), "Registry erro");
        EXPECT_EQ(Lookup(domain, "Registry errors"), "Registry errors");
        EXPECT_EQ(Lookup(domain, "registry error"), "registry error");
        EXPECT_EQ(Lookup(domain, "\xff"), "\xff");
    }
}

TEST(Catalogue, SearchFindsEveryEntryAndNothingElseForEachSize) {
    TTempDir dir;
    std::vector<int> sizes;
    for (int n = 1; n <= 34; ++n)
        sizes.push_back(n);
    for (int n : {63, 64, 65, 127, 128, 129, 300})
        sizes.push_back(n);
    for (int n : sizes) {
        TEntries entries;
        char id[32], str[32];
        for (int i = 0; i < n; ++i) {
            std::snprintf(id, sizeof id, "key %04d", 2 * i);
            std::snprintf(str, sizeof str, "valor %d", 2 * i);
            entries.emplace_back(id, str);
        }
        std::string language = "l" + std::to_string(n);
        Msgfmt(dir.Path(), language, "default", PoText(entries));
        TDomain domain("default", dir.Path(), language);
        for (int k = -1; k <= 2 * n; ++k) {
            std::snprintf(id, sizeof id, "key %04d", k < 0 ? 0 : k);
            std::string key = k < 0 ? "key " : id;
            std::string expected = key;
            if (k >= 0 && k % 2 == 0 && k < 2 * n)
                expected = "valor " + std::to_string(k);
            ASSERT_EQ(Lookup(domain, key), expected) << "N=" << n << " k=" << k;
        }
        EXPECT_EQ(Lookup(domain, "key 0000x"), "key 0000x");
        EXPECT_EQ(Lookup(domain, "zzz"), "zzz");
    }
}

TEST(Catalogue, EmptyCataloguesReturnTheInput) {
    TTempDir dir;
    // A msgfmt catalogue whose count says 0, and a bare header with nothing after it.
    std::string mo = Msgfmt(dir.Path(), "pt_BR", "default", PoText(kEntries));
    std::string bytes = ReadFile(mo);
    PatchWord(bytes, 8, 0);
    WriteFile(mo, bytes);
    TDomain patched("default", dir.Path(), "pt_BR");
    EXPECT_EQ(Lookup(patched, "Registry error"), "Registry error");
    EXPECT_EQ(Lookup(patched, ""), "");

    std::string header(28, '\0');
    PatchWord(header, 0, 0x950412de);
    PatchWord(header, 12, 28);
    PatchWord(header, 16, 28);
    WriteFile(mo, header);
    TDomain bare("default", dir.Path(), "pt_BR");
    EXPECT_EQ(Lookup(bare, "Registry error"), "Registry error");
}

TEST(Catalogue, ContextAndPluralEntriesDoNotAnswerPlainLookups) {
    TTempDir dir;
    std::string extra = "msgctxt \"menu\"\nmsgid \"Open\"\nmsgstr \"Abrir\"\n\n"
                        "msgid \"file\"\nmsgid_plural \"files\"\n"
                        "msgstr[0] \"arquivo\"\nmsgstr[1] \"arquivos\"\n\n";
    Msgfmt(dir.Path(), "pt", "default", PoText({{"Close", "Fechar"}, {"filet", "filé"}}, extra));
    TDomain domain("default", dir.Path(), "pt");
    EXPECT_EQ(Lookup(domain, "Open"), "Open");
    EXPECT_EQ(Lookup(domain, "file"), "file");
    EXPECT_EQ(Lookup(domain, "files"), "files");
    EXPECT_EQ(Lookup(domain, "Close"), "Fechar");
    EXPECT_EQ(Lookup(domain, "filet"), "filé");
    EXPECT_EQ(Lookup(domain, std::string("menu\x04Open")), "Abrir");
}

TEST(Catalogue, LanguageFallsBackToItsFirstTwoLetters) {
    TTempDir dir;
    Msgfmt(dir.Path(), "pt", "default", PoText({{"Registry error", "Erro (pt)"}}));
    TDomain domain("default", dir.Path(), "pt_BR");
    EXPECT_EQ(Lookup(domain, "Registry error"), "Erro (pt)");
    Msgfmt(dir.Path(), "pt_BR", "default", PoText({{"Registry error", "Erro (pt_BR)"}}));
    domain.SetLanguage("pt_BR");
    EXPECT_EQ(Lookup(domain, "Registry error"), "Erro (pt_BR)");
}

TEST(Catalogue, AbsentCatalogueIsRememberedUntilLanguageOrDirectoryChanges) {
    TTempDir dir;
    TDomain domain("cport", dir.Path() + "/", "pt_BR");
    EXPECT_EQ(Lookup(domain, "Registry error"), "Registry error");
    Msgfmt(dir.Path(), "pt_BR", "cport", PoText({{"Registry error", "Erro no registro"}}));
    EXPECT_EQ(Lookup(domain, "Registry error"), "Registry error");
    domain.SetLanguage("pt_BR");
    EXPECT_EQ(Lookup(domain, "Registry error"), "Erro no registro");

    TTempDir other;
    domain.SetDirectory(other.Path());
    EXPECT_EQ(domain.Directory(), other.Path() + "/");
    EXPECT_EQ(Lookup(domain, "Registry error"), "Registry error");
    domain.SetDirectory(dir.Path());
    EXPECT_EQ(Lookup(domain, "Registry error"), "Erro no registro");
}

TEST(Catalogue, FileThatCannotBeOpenedFailsAndIsTriedAgain) {
    TTempDir dir;
    fs::path path = fs::path(dir.Path()) / "pt_BR" / "LC_MESSAGES" / "default.mo";
    fs::create_directories(path); // a directory under the catalogue's name
    TDomain domain("default", dir.Path(), "pt_BR");
    EXPECT_EQ(Failure(domain, "Registry error"), "Cannot open file " + path.string());
    EXPECT_EQ(Failure(domain, "Registry error"), "Cannot open file " + path.string());

    fs::remove(path);
    Msgfmt(dir.Path(), "pt_BR", "default", PoText(kEntries));
    EXPECT_EQ(Lookup(domain, "Registry error"), "Erro no registro");

    // A link to itself and a FIFO: present, never readable, and the FIFO must not block.
    domain.SetLanguage("xx");
    fs::path loop = fs::path(dir.Path()) / "xx" / "LC_MESSAGES" / "default.mo";
    fs::create_directories(loop.parent_path());
    fs::create_symlink(loop, loop);
    EXPECT_EQ(Failure(domain, "Registry error"), "Cannot open file " + loop.string());
    fs::remove(loop);
    ASSERT_EQ(::mkfifo(loop.c_str(), 0600), 0);
    EXPECT_EQ(Failure(domain, "Registry error"), "Cannot open file " + loop.string());

    fs::remove(loop);
    WriteFile(loop.string(), "");
    EXPECT_EQ(Failure(domain, "Registry error"),
              "Cannot create memory map on file " + loop.string());
}

TEST(Catalogue, CorruptFilesAreRejectedWithoutReadingOutsideThem) {
    TTempDir dir;
    std::string good = ReadFile(Msgfmt(dir.Path(), "pt_BR", "default", PoText(kEntries)));
    const uint32_t count = ReadWord(good, 8), originals = ReadWord(good, 12);
    const uint32_t size = static_cast<uint32_t>(good.size());

    auto forEachOriginal = [&](std::string& bytes, auto change) {
        for (uint32_t i = 0; i < count; ++i)
            change(bytes, originals + 8 * i);
    };
    struct TCase {
        const char* name;
        std::function<void(std::string&)> corrupt;
    };
    std::vector<TCase> cases = {
        {"bad magic", [](std::string& b) { PatchWord(b, 0, 0x12345678); }},
        {"header cut short", [](std::string& b) { b.resize(20); }},
        {"count past the end", [](std::string& b) { PatchWord(b, 8, 0x10000000); }},
        {"originals past the end", [&](std::string& b) { PatchWord(b, 12, size - 4); }},
        {"translations wrap in 32 bits", [](std::string& b) { PatchWord(b, 16, 0xFFFFFFF8); }},
        {"string offset past the end",
         [&](std::string& b) {
             forEachOriginal(b, [&](std::string& x, uint32_t at) { PatchWord(x, at + 4, size); });
         }},
        {"string length past the end",
         [&](std::string& b) {
             forEachOriginal(b, [](std::string& x, uint32_t at) { PatchWord(x, at, 0xFFFFFFF0); });
         }},
        {"larger than 8 MB", [](std::string& b) { b.resize((8 << 20) + 1); }},
        {"a translation over 1 MB",
         [&](std::string& b) {
             const uint32_t translations = ReadWord(b, 16), at = static_cast<uint32_t>(b.size());
             b += std::string((1 << 20) + 1, 'x') + '\0';
             for (uint32_t i = 0; i < count; ++i) {
                 PatchWord(b, translations + 8 * i, (1 << 20) + 1);
                 PatchWord(b, translations + 8 * i + 4, at);
             }
         }},
        {"no terminating zero",
         [&](std::string& b) {
             forEachOriginal(b, [](std::string& x, uint32_t at) {
                 x[ReadWord(x, at + 4) + ReadWord(x, at)] = 'x';
             });
         }},
    };
    for (const auto& c : cases) {
        std::string bytes = good;
        c.corrupt(bytes);
        std::string mo = dir.Path() + "/pt_BR/LC_MESSAGES/default.mo";
        WriteFile(mo, bytes);
        TDomain domain("default", dir.Path(), "pt_BR");
        EXPECT_EQ(Failure(domain, "Registry error"),
                  "This file is not a valid GNU gettext mo file: " + mo)
            << c.name;
    }

    // Four gigabytes on disk in name only: refused before anything is read.
    std::string mo = dir.Path() + "/pt_BR/LC_MESSAGES/default.mo";
    WriteFile(mo, good);
    ASSERT_EQ(::truncate(mo.c_str(), 4ll << 30), 0);
    TDomain sparse("default", dir.Path(), "pt_BR");
    EXPECT_EQ(Failure(sparse, "Registry error"),
              "This file is not a valid GNU gettext mo file: " + mo);
}

TEST(Catalogue, ACatalogueReplacedWhileOpenKeepsItsTranslationsUntilReopened) {
    // Big enough that its entries lie pages past the end of the file that replaces it.
    TEntries many = kEntries;
    for (int i = 0; i < 3000; ++i)
        many.emplace_back("key " + std::to_string(100000 + i), "valor " + std::to_string(i));
    TTempDir dir;
    std::string mo = Msgfmt(dir.Path(), "pt_BR", "default", PoText(many));
    TDomain domain("default", dir.Path(), "pt_BR");
    EXPECT_EQ(Lookup(domain, "key 100000"), "valor 0");

    // What `cp new.mo old.mo` does: the same file cut short and written again.
    TTempDir other;
    WriteFile(mo, ReadFile(Msgfmt(other.Path(), "pt_BR", "default",
                                  PoText({{"Registry error", "Erro novo"}}))));
    for (const auto& [id, str] : many)
        ASSERT_EQ(Lookup(domain, id), str);
    domain.SetLanguage("pt_BR");
    EXPECT_EQ(Lookup(domain, "Registry error"), "Erro novo");
    EXPECT_EQ(Lookup(domain, "key 100000"), "key 100000");
}

TEST(Catalogue, PluralFormsFollowTheCataloguesRule) {
    struct Case {
        const char* rule;
        std::vector<unsigned long> forms; // the form chosen for n = 0, 1, 2, 5, 11, 22, 101
    };
    const Case cases[] = {
        {"nplurals=2; plural=(n > 1);", {0, 0, 1, 1, 1, 1, 1}},
        {"nplurals=2; plural=n != 1;", {1, 0, 1, 1, 1, 1, 1}},
        {"nplurals=1; plural=0;", {0, 0, 0, 0, 0, 0, 0}},
        // Polish: precedence, && over ||, nested ?:, % and relations side by side.
        {"nplurals=3; plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);",
         {2, 0, 1, 2, 2, 1, 2}},
        // Unreadable rules and out-of-range answers fall back instead of failing.
        {"nplurals=2; plural=n +;", {1, 0, 1, 1, 1, 1, 1}},
        {"nplurals=2; plural=n / 0 + 7;", {0, 0, 0, 0, 0, 0, 0}},
        {"", {1, 0, 1, 1, 1, 1, 1}},
    };
    const unsigned long counts[] = {0, 1, 2, 5, 11, 22, 101};
    for (const Case& c : cases) {
        auto rule = gnugettext::TPluralRule::FromHeader(std::string("Plural-Forms: ") + c.rule +
                                                        "\nX-Other: 1\n");
        for (size_t i = 0; i < std::size(counts); ++i)
            EXPECT_EQ(rule.Choose(counts[i]), c.forms[i]) << c.rule << " n=" << counts[i];
    }

    TTempDir dir;
    std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n"
                     "Plural-Forms: nplurals=2; plural=(n > 1);\\n\"\n\n"
                     "msgid \"%d resend\"\nmsgid_plural \"%d resends\"\n"
                     "msgstr[0] \"%d reenvio\"\nmsgstr[1] \"%d reenvios\"\n";
    Msgfmt(dir.Path(), "pt_BR", "flash", po);
    TDomain domain("flash", dir.Path(), "pt_BR");
    std::string answer;
    for (auto [n, form] :
         {std::pair{0ul, "%d reenvio"}, {1ul, "%d reenvio"}, {2ul, "%d reenvios"}}) {
        domain.GetPluralTranslation("%d resend", "%d resends", n, answer);
        EXPECT_EQ(answer, form) << n;
    }
    domain.GetPluralTranslation("%d block", "%d blocks", 1, answer);
    EXPECT_EQ(answer, "%d block");
    domain.GetPluralTranslation("%d block", "%d blocks", 0, answer);
    EXPECT_EQ(answer, "%d blocks");
}
