// Lookups from several threads while the language and the binding change under them; run
// under ThreadSanitizer (-DQUORVEL_SANITIZE=thread) to check the locking.
#include "Catalogues.h"

#include "i18n/Translation.h"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace gg = gnugettext;

TEST(Concurrency, LookupsStaySafeWhileUseLanguageRuns) {
    TTempDir dir;
    TEntries entries;
    for (int i = 0; i < 200; ++i)
        entries.emplace_back("text " + std::to_string(i), "texto " + std::to_string(i));
    Msgfmt(dir.Path(), "pt_BR", "default", PoText(entries));
    Msgfmt(dir.Path(), "de", "default", PoText({{"text 7", "Text sieben"}}), true);

    gg::TGnuGettextInstance instance(dir.Path());
    instance.UseLanguage("pt_BR");
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&, t] {
            for (int i = 0; !stop || i < 2000; ++i) {
                std::u16string answer = instance.gettext(u"text 7");
                if (answer != u"texto 7" && answer != u"Text sieben" && answer != u"text 7")
                    ++wrong;
                instance.dgettext(t == 0 ? "cport" : "default", u"text 1");
                if (i == 2000)
                    ++done;
            }
        });
    // Keep switching at least until every reader has made its lookups.
    for (int i = 0; i < 200 || done < 3; ++i) {
        instance.UseLanguage(i % 2 ? "de" : "pt_BR");
        if (i % 50 == 0)
            instance.bindtextdomain("default", dir.Path());
        std::this_thread::yield();
    }
    stop = true;
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(wrong, 0);
    instance.UseLanguage("pt_BR");
    EXPECT_EQ(instance.gettext(u"text 7"), u"texto 7");
}
