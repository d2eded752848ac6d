#include "framework/Thread.h"

#include "framework/Sync.h"

#include <sys/resource.h>
#include <unistd.h>

namespace {

// Best effort: an unprivileged process may lower its priority but not raise it.
void ApplyPriority(TThreadPriority priority) {
    static const int niceness[] = {19, 10, 5, 0, -5, -10, -20};
    if (priority != tpNormal)
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness[priority]);
}

} // namespace

TThread::~TThread() {
    if (thread_.joinable())
        thread_.join();
}

void TThread::Start() {
    if (!thread_.joinable() && !finished_)
        thread_ = std::thread(&TThread::Run, this);
}

void TThread::Run() {
    ApplyPriority(Priority);
    try {
        Execute();
    } catch (...) {
        fatal_ = std::current_exception();
    }
    finished_ = true;
    Sync::NotifyWaiters();
}

void TThread::WaitFor() {
    if (!thread_.joinable())
        return;
    Sync::WaitUntil([this] { return finished_.load(); });
    thread_.join();
}
