// The window program's start-up beside broken and hostile catalogues: the window opens every
// time; a catalogue that can be read still translates, one that cannot costs its translations.
#include "tests/support/QtTestSupport.h"

#include "framework/ResString.h"
#include "framework/qt/Translator.h"
#include "i18n/Translation.h"
#include "tests/support/MoFiles.h"
#include "tests/support/TestFiles.h"
#include "updater/ProgramStartup.h"
#include "updater/Unit1.h"

#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

TEST(WindowCatalogues, TheWindowOpensBesideEveryBrokenOrHostileCatalogue) {
    TempDir dir;
    const std::string po = ReadFile(DEFAULT_CATALOGUE_SOURCE);
    ASSERT_FALSE(po.empty());
    const std::string locale = dir / "locale";
    ::setenv("LANG", "pt_BR.UTF-8", 1);
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    std::vector<THostileCatalogue> cases = HostileCatalogues(po);
    cases.insert(cases.begin(), {"the shipped catalogue", true,
                                 [&po](const std::string& mo) { CompileCatalogue(po, mo); }});
    for (const THostileCatalogue& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(locale);
        c.Make(locale + "/pt_BR/LC_MESSAGES/default.mo");
        // The program's own start-up, with "default" bound to the case's folder.
        gnugettext::GnuGettextStartup();
        gnugettext::bindtextdomain("default", locale);
        bool failed = false;
        try {
            StartTranslationAndSerialLayer();
        } catch (...) {
            failed = true;
        }
        EXPECT_EQ(failed, !c.Translates);
        auto* translator = new TGettextTranslator(QCoreApplication::instance());
        QCoreApplication::installTranslator(translator);
        {
            TForm1 form;
            form.show();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
            EXPECT_EQ(LoadResString(SReadError),
                      c.Translates ? "Erro ao ler %s%s%s: %s" : "Error reading %s%s%s: %s");
            form.close();
        }
        QCoreApplication::removeTranslator(translator);
        delete translator;
        StopTranslation();
    }
}
