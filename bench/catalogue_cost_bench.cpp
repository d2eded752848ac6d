// links: quorvel_i18n
// What one catalogue can cost the program: opening it (read, header, plural rule) and its
// first lookup, for the largest file the runtime takes and for hostile plural rules, and the
// plural choice with the largest rule it takes. peak_mb is the process's peak resident size
// after the case ran (cases run from the smallest file up, so each shows its own peak).
#include "i18n/Translation.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

std::string Repeat(const std::string& part, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += part;
    return out;
}

// A catalogue in <dir>/xx/LC_MESSAGES/<domain>.mo with `rule`, and `padding` bytes of one
// extra translation so the file reaches the size wanted.
std::string Make(const std::string& domain, const std::string& rule, size_t padding) {
    static const std::string dir = [] {
        char name[] = "/tmp/quorvel-catalogue-bench-XXXXXX";
        if (!::mkdtemp(name))
            std::abort();
        return std::string(name);
    }();
    const fs::path out = fs::path(dir) / "xx" / "LC_MESSAGES";
    fs::create_directories(out);
    const std::string po = (out / (domain + ".po")).string();
    std::ofstream(po) << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
                      << "\"Plural-Forms: nplurals=2; plural=" << rule << ";\\n\"\n\n"
                      << "msgid \"Registry error\"\nmsgstr \"Erro no registro\"\n\n"
                      << "msgid \"padding\"\nmsgstr \"" << std::string(padding, 'x') << "\"\n";
    const std::string command =
        "msgfmt -o '" + (out / (domain + ".mo")).string() + "' '" + po + "'";
    if (std::system(command.c_str()) != 0)
        std::abort();
    return dir;
}

double PeakMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

void Open(benchmark::State& state, const std::string& rule, size_t padding) {
    const std::string dir = Make("cost", rule, padding);
    gnugettext::TDomain domain("cost", dir, "xx");
    std::string answer;
    for (auto _ : state) {
        domain.SetLanguage("xx"); // closed: the next lookup reads the file again
        domain.GetTranslation("Registry error", answer);
        benchmark::DoNotOptimize(answer);
    }
    state.counters["file_mb"] = fs::file_size(dir + "/xx/LC_MESSAGES/cost.mo") / 1048576.0;
    state.counters["peak_mb"] = PeakMb();
}

void Choose(benchmark::State& state, const std::string& rule) {
    const auto parsed =
        gnugettext::TPluralRule::FromHeader("Plural-Forms: nplurals=2; plural=" + rule + ";");
    unsigned long n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(parsed.Choose(++n));
}

const std::string kLongest = Repeat("n+", 2047) + "n ";
const std::string kDeepest = Repeat("(", 100) + "n>1" + Repeat(")", 100);

} // namespace

BENCHMARK_CAPTURE(Open, small_catalogue, "n != 1", 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, rule_5000_brackets, Repeat("(", 5000) + "n" + Repeat(")", 5000), 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, rule_300000_terms, Repeat("n+", 300000) + "n", 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, largest_file_taken_8mb, "n != 1", (8 << 20) - 4096)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Choose, longest_rule_taken, kLongest);
BENCHMARK_CAPTURE(Choose, deepest_rule_taken, kDeepest);

BENCHMARK_MAIN();
