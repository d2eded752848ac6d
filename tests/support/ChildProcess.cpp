#include "tests/support/ChildProcess.h"
#include "tests/support/TestFiles.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

[[noreturn]] void RunChild(const char* program, std::vector<std::string>& args, int pathPipe[2],
                           const std::string& out, const std::string& err, const char* lang) {
    if (out.empty()) {
        dup2(pathPipe[1], 1);
        close(pathPipe[0]);
        close(pathPipe[1]);
    } else {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    }
    // The given language whatever the machine's.
    setenv("LANG", lang, 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    std::vector<char*> argv{const_cast<char*>(program)};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

} // namespace

ChildProcess::ChildProcess(const char* program, std::vector<std::string> args,
                           const std::string& out, const std::string& err, const char* lang) {
    int pathPipe[2] = {-1, -1};
    if (out.empty() && pipe(pathPipe) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0)
        RunChild(program, args, pathPipe, out, err, lang);
    if (out.empty()) {
        close(pathPipe[1]);
        char c;
        while (read(pathPipe[0], &c, 1) == 1 && c != '\n')
            path_.push_back(c);
        close(pathPipe[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !exited_)
        kill(pid_, sig);
}

int ChildProcess::Wait(std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

bool WaitForText(const std::string& path, const std::string& text, int count,
                 std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const std::string content = ReadFile(path);
        int found = 0;
        for (size_t at = content.find(text); at != std::string::npos;
             at = content.find(text, at + 1))
            ++found;
        if (found >= count)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}
