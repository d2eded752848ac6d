#pragma once
// A program the test starts, as a bench or a script would run it: English messages unless
// asked otherwise, its output in files or, when none are given, its first line (the board
// simulator's port) read back. Killed and reaped when the object goes.
#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    ChildProcess(const char* program, std::vector<std::string> args, const std::string& out = {},
                 const std::string& err = {}, const char* lang = "C");
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The first line the program wrote, when its output was not sent to files.
    const std::string& Path() const { return path_; }
    void Signal(int sig);
    // The exit status, or -1 when the child has not ended within `limit` (or died of a signal).
    int Wait(std::chrono::seconds limit = std::chrono::seconds(60));

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string path_;
};

// Waits until `text` occurs `count` times in the file at `path` (a log or an output file that
// another process is writing); false when it did not within `limit`.
bool WaitForText(const std::string& path, const std::string& text, int count = 1,
                 std::chrono::seconds limit = std::chrono::seconds(30));
