// quorvel-flash beside broken and hostile catalogues of its own domain: each costs at most the
// translations, named once on standard error, never the program's answers or exit status.
#include "tests/support/MoFiles.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct TResult {
    int Status = -1; // the exit status; 128 + the signal that ended it
    std::string Out, Err;
};

// The flasher copied into `dir`/bin (it looks for catalogues beside itself), run in Portuguese.
TResult RunFlasher(const TempDir& dir, const std::string& args) {
    const std::string command = "cd '" + dir.Path() +
                                "' && env -u LC_ALL -u LC_MESSAGES LANG=pt_BR.UTF-8 "
                                "bin/quorvel-flash " +
                                args + " >out 2>err";
    const int status = std::system(command.c_str());
    TResult result;
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.Out = ReadFile(dir / "out");
    result.Err = ReadFile(dir / "err");
    return result;
}

} // namespace

TEST(FlashCatalogues, ABrokenOrHostileCatalogueCostsOnlyItsTranslations) {
    TempDir dir;
    fs::create_directories(dir / "bin");
    fs::copy_file(FLASH_PROGRAM, dir / "bin/quorvel-flash");
    const std::string po = ReadFile(FLASH_CATALOGUE_SOURCE);
    ASSERT_FALSE(po.empty());
    const std::string mo = dir / "bin/locale/pt_BR/LC_MESSAGES/quorvel-flash.mo";
    // Help, and a port that is not there: the port's own error and exit status 2.
    const std::string runs[] = {"--help", "--wait 1 --no-log /dev/ttyQNONE"};

    std::vector<TResult> without, good;
    for (const std::string& args : runs)
        without.push_back(RunFlasher(dir, args));
    CompileCatalogue(po, mo);
    for (const std::string& args : runs)
        good.push_back(RunFlasher(dir, args));
    ASSERT_EQ(without[0].Status, 0);
    ASSERT_EQ(without[1].Status, 2);
    ASSERT_NE(good[0].Out, without[0].Out) << "the catalogue does not translate --help";

    for (const THostileCatalogue& c : HostileCatalogues(po)) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(dir / "bin/locale");
        c.Make(mo);
        for (size_t i = 0; i < std::size(runs); ++i) {
            SCOPED_TRACE(runs[i]);
            const TResult got = RunFlasher(dir, runs[i]);
            const TResult& want = c.Translates ? good[i] : without[i];
            EXPECT_EQ(got.Status, want.Status);
            EXPECT_EQ(got.Out, want.Out);
            if (c.Translates) {
                EXPECT_EQ(got.Err, want.Err);
                continue;
            }
            // One warning naming the catalogue, then what a run without it says.
            const std::string warning = got.Err.substr(0, got.Err.find('\n') + 1);
            EXPECT_TRUE(Has(warning, "quorvel-flash: warning: ") && Has(warning, mo)) << got.Err;
            EXPECT_EQ(got.Err.substr(warning.size()), want.Err);
        }
    }
}
