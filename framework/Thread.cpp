#include "framework/Thread.h"

#include "framework/Sync.h"

TThread::~TThread() {
    if (thread_.joinable())
        thread_.join();
}

void TThread::Start() {
    if (!thread_.joinable() && !finished_)
        thread_ = std::thread(&TThread::Run, this);
}

void TThread::Run() {
    if (Priority != tpNormal)
        ApplyThreadPriority(Priority);
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
