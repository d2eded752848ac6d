#pragma once
// CPU time of a test's own threads, to show that a waiting thread does not spin.
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

// CPU seconds used so far by every thread of the process but the calling one.
inline double OtherThreadsCpu() {
    double total = 0;
    std::string self = std::to_string(gettid());
    DIR* dir = opendir("/proc/self/task");
    while (dirent* e = readdir(dir)) {
        std::string tid = e->d_name;
        if (tid == "." || tid == ".." || tid == self)
            continue;
        std::ifstream in("/proc/self/task/" + tid + "/stat");
        std::string line;
        std::getline(in, line);
        auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(line.substr(close + 2));
        std::string f;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14)
                utime = std::stol(f);
            if (i == 15)
                stime = std::stol(f);
        }
        total += double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    closedir(dir);
    return total;
}

// Milliseconds the calling thread has spent ready to run but waiting for a CPU (the kernel's
// run-queue delay): time a loaded machine took from it, not time it was blocked. 0 where the
// kernel does not keep it.
inline double RunQueueWaitMs() {
    std::ifstream in("/proc/thread-self/schedstat");
    unsigned long long running = 0, waiting = 0;
    if (!(in >> running >> waiting))
        return 0;
    return double(waiting) / 1e6;
}
