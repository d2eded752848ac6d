// The service log on Windows: a record on a line of its own, whole, even after a line that
// another program left without its end, and many records from two threads never torn.
#include "updater/UpdateLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <windows.h>

namespace {

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempLog(const char* name) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + name;
    std::remove(path.c_str());
    return path;
}

} // namespace

TEST(Win32LogFile, ARecordStartsOnItsOwnLine) {
    UpdateRecord r;
    r.Result = "completed";
    const std::string line = UpdateRecordJson(r);
    const std::pair<std::string, std::string> cases[] = {
        {"", line + "\n"},
        {"{\"a\":1}\n", "{\"a\":1}\n" + line + "\n"},
        {"{\"a\":1}\n{\"st", "{\"a\":1}\n{\"st\n" + line + "\n"},
    };
    for (const auto& [before, after] : cases) {
        const std::string path = TempLog("quorvel-log-test.jsonl");
        if (!before.empty())
            std::ofstream(path, std::ios::binary) << before;
        std::string error;
        EXPECT_TRUE(AppendUpdateRecord(path, r, error)) << error;
        EXPECT_EQ(Contents(path), after);
        std::remove(path.c_str());
    }
}

TEST(Win32LogFile, TwoWritersNeverTearARecord) {
    const std::string path = TempLog("quorvel-log-threads.jsonl");
    auto writer = [&path](char mark) {
        UpdateRecord r;
        r.Board = std::string(3000, mark);
        std::string error;
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(AppendUpdateRecord(path, r, error)) << error;
    };
    std::thread a(writer, 'A'), b(writer, 'B');
    a.join();
    b.join();
    std::istringstream lines(Contents(path));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        ASSERT_TRUE(line.front() == '{' && line.back() == '}' && line.size() > 3000) << count;
    EXPECT_EQ(count, 400);
    std::remove(path.c_str());
}
