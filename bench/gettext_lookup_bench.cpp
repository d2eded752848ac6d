// links: quorvel_i18n
// Per-lookup time of the runtime against glibc's own dgettext, same process, same catalogue
// (made by msgfmt, with glibc's hash table in it), after one warm-up pass over the queries.
// glibc translates only in a real non-C locale: one is compiled with localedef into this
// run's own LOCPATH, and a known text must translate before anything is timed.
#include "i18n/Translation.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <libintl.h>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TQueries {
    std::string domain;
    std::vector<std::string> hits, misses, mix;
    std::vector<std::u16string> wideHits, wideMisses, wideMix;
};

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "gettext_lookup_bench: %s\n", why.c_str());
    std::exit(1);
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        Fail("command failed: " + command);
}

// Texts with long shared prefixes, as real message catalogues have.
std::vector<std::string> MakeIds(int count) {
    static const char* prefixes[] = {
        "Cannot open the serial port ",          "Cannot open the serial port settings file ",
        "Error reading the configuration of ",   "Error reading the configuration of module ",
        "The board did not answer the command ", "Unable to"};
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i)
        ids.push_back(std::string(prefixes[i % 6]) + std::to_string(i * 7919 % 1000003) +
                      " (item " + std::to_string(i) + ")");
    return ids;
}

std::string Quote(const std::string& s) {
    return "\"" + s + "\"";
}

TQueries MakeCatalogue(const std::string& dir, int count) {
    TQueries q;
    q.domain = "bench" + std::to_string(count);
    std::vector<std::string> ids = MakeIds(count);
    fs::path out = fs::path(dir) / q.domain / "pt_BR" / "LC_MESSAGES";
    fs::create_directories(out);
    std::string po = (out / (q.domain + ".po")).string();
    {
        std::ofstream f(po);
        f << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
        for (const auto& id : ids)
            f << "msgid " << Quote(id) << "\nmsgstr " << Quote("Tradução de " + id) << "\n\n";
    }
    Run("msgfmt -o '" + (out / (q.domain + ".mo")).string() + "' '" + po + "'");

    std::mt19937 random(count);
    std::shuffle(ids.begin(), ids.end(), random);
    q.hits = ids;
    for (auto id : ids) {
        id.back() = '#'; // never the last character of a real text
        q.misses.push_back(id);
    }
    for (size_t i = 0; i < ids.size(); ++i)
        q.mix.push_back(i % 10 == 9 ? q.misses[i] : q.hits[i]);
    for (auto* list : {&q.hits, &q.misses, &q.mix}) {
        auto& wide = list == &q.hits ? q.wideHits : list == &q.misses ? q.wideMisses : q.wideMix;
        for (const auto& s : *list)
            wide.push_back(*gnugettext::Utf8ToWide(s));
    }
    return q;
}

const std::vector<std::string>& Pick(const TQueries& q, int kind) {
    return kind == 0 ? q.hits : kind == 1 ? q.misses : q.mix;
}
const std::vector<std::u16string>& PickWide(const TQueries& q, int kind) {
    return kind == 0 ? q.wideHits : kind == 1 ? q.wideMisses : q.wideMix;
}

template <typename F>
void Timed(benchmark::State& state, const std::vector<std::string>& list, F f) {
    for (const auto& s : list) // warm-up pass
        f(s);
    size_t i = 0;
    for (auto _ : state) {
        f(list[i]);
        if (++i == list.size())
            i = 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/quorvel-gettext-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        Fail("mkdtemp failed");
    std::string dir = pattern;
    std::string locpath = dir + "/locales";
    fs::create_directories(locpath);
    // localedef warns about nothing we use but exits 1 on warnings: judge by the result.
    [[maybe_unused]] const int localedefStatus = std::system(
        ("localedef -i pt_BR -f UTF-8 '" + locpath + "/pt_BR.UTF-8' >/dev/null 2>&1").c_str());
    ::setenv("LOCPATH", locpath.c_str(), 1);
    ::unsetenv("LANGUAGE");
    if (!std::setlocale(LC_ALL, "pt_BR.UTF-8"))
        Fail("pt_BR.UTF-8 could not be compiled with localedef (package 'locales' missing?)");

    static std::vector<TQueries> catalogues;
    for (int count : {500, 5000, 50000})
        catalogues.push_back(MakeCatalogue(dir, count));

    static gnugettext::TGnuGettextInstance instance(dir + "/none");
    instance.UseLanguage("pt_BR");
    for (const auto& q : catalogues) {
        std::string catalogueDir = dir + "/" + q.domain;
        ::bindtextdomain(q.domain.c_str(), catalogueDir.c_str());
        instance.bindtextdomain(q.domain, catalogueDir);
        const std::string& known = q.hits.front();
        std::string expected = "Tradução de " + known;
        if (::dgettext(q.domain.c_str(), known.c_str()) != expected)
            Fail("glibc's dgettext does not translate " + known);
        if (instance.dgettextUtf8(q.domain, known) != expected)
            Fail("the runtime does not translate " + known);
    }

    const char* kinds[] = {"hit", "near_miss", "mix90_10"};
    for (const auto& q : catalogues) {
        for (int kind = 0; kind < 3; ++kind) {
            std::string suffix = q.domain + "/" + kinds[kind];
            benchmark::RegisterBenchmark(
                ("glibc_dgettext/" + suffix).c_str(), [&q, kind](benchmark::State& s) {
                    Timed(s, Pick(q, kind), [&](const std::string& id) {
                        benchmark::DoNotOptimize(::dgettext(q.domain.c_str(), id.c_str()));
                    });
                });
            benchmark::RegisterBenchmark(("quorvel_lookup_utf8/" + suffix).c_str(),
                                         [&q, kind](benchmark::State& s) {
                                             std::string answer;
                                             Timed(s, Pick(q, kind), [&](const std::string& id) {
                                                 instance.dgettextUtf8(q.domain, id, answer);
                                                 benchmark::DoNotOptimize(answer.data());
                                             });
                                         });
            benchmark::RegisterBenchmark(
                ("quorvel_dgettext_wide/" + suffix).c_str(), [&q, kind](benchmark::State& s) {
                    const auto& wide = PickWide(q, kind);
                    for (const auto& id : wide)
                        instance.dgettext(q.domain, id);
                    size_t i = 0;
                    for (auto _ : s) {
                        benchmark::DoNotOptimize(instance.dgettext(q.domain, wide[i]));
                        if (++i == wide.size())
                            i = 0;
                    }
                });
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(dir);
    return 0;
}
