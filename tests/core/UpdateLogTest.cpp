#include "updater/UpdateLog.h"

#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(UpdateLog, BoardTextsAreEscapedIntoOneValidLine) {
    struct Case {
        std::string Board, Json;
    };
    const Case cases[] = {
        {"KX27", R"("board":"KX27")"},
        {"a\"b\\c", R"("board":"a\"b\\c")"},
        {std::string("K\nX\0", 4), R"("board":"K\u000aX\u0000")"},
        {"S\xC3\xA3o", "\"board\":\"S\xC3\xA3o\""}, // UTF-8 passes as it is
        {"\xFF\xC3", R"("board":"\u00ff\u00c3")"},  // a stray and a cut sequence do not
        {"\xE2\x82", R"("board":"\u00e2\u0082")"},
    };
    for (const Case& c : cases) {
        UpdateRecord r;
        r.Board = c.Board;
        r.Result = "completed";
        const std::string json = UpdateRecordJson(r);
        EXPECT_NE(json.find(c.Json), std::string::npos) << json;
        EXPECT_EQ(json.find('\n'), std::string::npos);
        EXPECT_EQ(json.front(), '{');
        EXPECT_EQ(json.back(), '}');
    }
}

TEST(UpdateLog, AFileImageIsNamedInsteadOfTheBuiltInVersion) {
    UpdateRecord r;
    r.FirmwareWritten = "4.5";
    EXPECT_NE(UpdateRecordJson(r).find(R"("firmware_written":"4.5")"), std::string::npos);
    r.ImageFile = "/srv/fw.hex";
    r.ImageSha256 = "ab";
    const std::string json = UpdateRecordJson(r);
    EXPECT_EQ(json.find("firmware_written"), std::string::npos);
    EXPECT_NE(json.find(R"("image_file":"/srv/fw.hex","image_sha256":"ab")"), std::string::npos);
}

TEST(UpdateLog, DefaultPathFollowsXdgDataHome) {
    const char* home = std::getenv("HOME");
    struct Case {
        const char* Xdg;
        std::string Expected;
    } cases[] = {
        {"/data", "/data/quorvel/updates.jsonl"},
        {"relative", std::string(home ? home : "") + "/.local/share/quorvel/updates.jsonl"},
        {nullptr, std::string(home ? home : "") + "/.local/share/quorvel/updates.jsonl"},
    };
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string keep = saved ? saved : "";
    for (const Case& c : cases) {
        if (c.Xdg)
            setenv("XDG_DATA_HOME", c.Xdg, 1);
        else
            unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(DefaultUpdateLogPath(), c.Expected) << (c.Xdg ? c.Xdg : "(unset)");
    }
    if (saved)
        setenv("XDG_DATA_HOME", keep.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

// Several programs appending at once: every line stays whole.
TEST(UpdateLog, ConcurrentAppendsNeverMixLines) {
    TempDir tmp;
    const fs::path log = fs::path(tmp / "new") / "folder" / "updates.jsonl";
    constexpr int Writers = 4, Records = 500;
    for (int w = 0; w < Writers; ++w) {
        if (fork() == 0) {
            UpdateRecord r;
            r.Port = "ttyUSB" + std::to_string(w);
            r.Board = std::string(3000, 'K'); // longer than a pipe's atomic write
            std::string error;
            for (int i = 0; i < Records; ++i) {
                r.Blocks = i;
                if (!AppendUpdateRecord(log.string(), r, error))
                    _exit(1);
            }
            _exit(0);
        }
    }
    for (int w = 0; w < Writers; ++w) {
        int status = 0;
        wait(&status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto lines = Lines(log);
    ASSERT_EQ(lines.size(), size_t{Writers * Records});
    std::set<std::string> distinct(lines.begin(), lines.end());
    EXPECT_EQ(distinct.size(), lines.size());
    for (const std::string& line : lines)
        ASSERT_TRUE(line.front() == '{' && line.back() == '}' && line.size() > 3000) << line;
}

TEST(UpdateLog, AnUnwritableLogIsAnErrorNamingThePath) {
    TempDir tmp;
    std::ofstream(tmp / "file") << "x";
    const std::string path = tmp / "file/updates.jsonl";
    std::string error;
    EXPECT_FALSE(AppendUpdateRecord(path, UpdateRecord{}, error));
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
}

// What a log already holds, and a file that can take only part of the next line (a full
// disk): the record lands on a line of its own, whole, or not at all.
TEST(UpdateLog, ARecordIsWholeOnItsOwnLineOrNotInTheLogAtAll) {
    UpdateRecord r;
    r.Port = "ttyUSB0";
    r.Result = "completed";
    const std::string line = UpdateRecordJson(r);
    struct Case {
        const char* Name;
        std::string Before;
        long Limit; // file size limit in bytes, 0: none
        bool Written;
        std::string After;
    };
    const Case cases[] = {
        {"new log", "", 0, true, line + "\n"},
        {"whole lines", "{\"a\":1}\n", 0, true, "{\"a\":1}\n" + line + "\n"},
        {"torn last line", "{\"a\":1}\n{\"st", 0, true, "{\"a\":1}\n{\"st\n" + line + "\n"},
        {"room for half", "{\"a\":1}\n", 40, false, "{\"a\":1}\n"},
        {"no room at all", "{\"a\":1}\n", 8, false, "{\"a\":1}\n"},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        const std::string log = tmp / "updates.jsonl";
        if (!c.Before.empty())
            std::ofstream(log, std::ios::binary) << c.Before;
        // The limit makes the kernel take part of a write, as a full disk does; a child keeps
        // it from this process.
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t child = fork();
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            if (c.Limit > 0) {
                rlimit limit{static_cast<rlim_t>(c.Limit), static_cast<rlim_t>(c.Limit)};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            std::string error;
            const bool written = AppendUpdateRecord(log, r, error);
            const std::string report = (written ? "1" : "0") + error;
            [[maybe_unused]] ssize_t n = write(pipeFds[1], report.data(), report.size());
            _exit(0);
        }
        close(pipeFds[1]);
        std::string report;
        char buffer[256];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            report.append(buffer, n);
        close(pipeFds[0]);
        waitpid(child, nullptr, 0);
        ASSERT_FALSE(report.empty()) << c.Name;
        EXPECT_EQ(report[0] == '1', c.Written) << c.Name << ": " << report;
        EXPECT_EQ(Has(report, log + ": "), !c.Written) << c.Name << ": " << report;
        EXPECT_EQ(ReadFile(log), c.After) << c.Name;
    }
}

// A writer killed at any moment leaves whole records behind, and at most the one it was
// writing cut short on a line of its own (a kill -9 can stop a write between two pages): the
// next record never joins it.
TEST(UpdateLog, AWriterKilledAtAnyMomentLeavesOnlyWholeLines) {
    TempDir tmp;
    const std::string log = tmp / "updates.jsonl";
    UpdateRecord r;
    r.Board = std::string(5000, 'K');
    constexpr int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            std::string error;
            for (;;)
                AppendUpdateRecord(log, r, error);
        }
        usleep(static_cast<useconds_t>(1000 + round * 997 % 20000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    std::string error;
    ASSERT_TRUE(AppendUpdateRecord(log, r, error)) << error;
    const auto lines = Lines(log);
    ASSERT_GE(lines.size(), 2u);
    const std::string& whole = lines.back();
    ASSERT_TRUE(whole.size() > 5000 && whole.front() == '{' && whole.back() == '}') << whole;
    int cut = 0;
    for (const std::string& line : lines) {
        if (line == whole)
            continue;
        // Not whole: the beginning of a record, alone on its line.
        EXPECT_EQ(whole.compare(0, line.size(), line), 0) << line.substr(0, 80);
        EXPECT_LT(line.size(), whole.size());
        ++cut;
    }
    EXPECT_LE(cut, rounds);
    EXPECT_EQ(ReadFile(log).back(), '\n');
}
