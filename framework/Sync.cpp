#include "framework/Sync.h"

#include "framework/Exception.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace Sync {
namespace {

struct Entry {
    Routine routine;
    bool waited = false;
    bool done = false;
    std::exception_ptr error;
    // Its own: with a thread per serial port waiting, one shared by all would wake every
    // waiter at each routine that ends.
    std::condition_variable finished;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Entry>> queue;
    std::function<void()> wake;
    std::thread::id mainThread = std::this_thread::get_id();
};

State& state() {
    static State s;
    return s;
}

// Makes sure the main thread is recorded during static initialisation.
[[maybe_unused]] const bool recorded = (state(), true);

void Enqueue(const std::shared_ptr<Entry>& entry) {
    State& s = state();
    std::function<void()> wake;
    {
        std::lock_guard lock(s.mutex);
        s.queue.push_back(entry);
        wake = s.wake;
    }
    s.changed.notify_all();
    if (wake)
        wake();
}

} // namespace

void SetMainThread() {
    std::lock_guard lock(state().mutex);
    state().mainThread = std::this_thread::get_id();
}

bool IsMainThread() {
    std::lock_guard lock(state().mutex);
    return state().mainThread == std::this_thread::get_id();
}

void Synchronize(Routine routine) {
    if (IsMainThread()) {
        routine();
        return;
    }
    auto entry = std::make_shared<Entry>();
    entry->routine = std::move(routine);
    entry->waited = true;
    Enqueue(entry);
    State& s = state();
    std::unique_lock lock(s.mutex);
    entry->finished.wait(lock, [&] { return entry->done; });
    // Take the error out of the entry: the main thread must hold no reference to it once it
    // is ours, or its release there could race with our use of it.
    if (std::exception_ptr error = std::move(entry->error)) {
        lock.unlock();
        std::rethrow_exception(error);
    }
}

void Queue(Routine routine) {
    auto entry = std::make_shared<Entry>();
    entry->routine = std::move(routine);
    Enqueue(entry);
}

bool CheckSynchronize() {
    if (!IsMainThread())
        return false;
    State& s = state();
    bool ran = false;
    for (;;) {
        std::deque<std::shared_ptr<Entry>> batch;
        {
            std::lock_guard lock(s.mutex);
            batch.swap(s.queue);
        }
        if (batch.empty())
            return ran;
        for (auto& entry : batch) {
            ran = true;
            try {
                entry->routine();
            } catch (...) {
                if (entry->waited)
                    entry->error = std::current_exception();
                else
                    HandleException(std::current_exception());
            }
            {
                std::lock_guard lock(s.mutex);
                entry->done = true;
                entry->routine = nullptr;
            }
            // The batch holds the entry, so it outlives this call.
            entry->finished.notify_all();
        }
    }
}

void SetWakeMainThread(std::function<void()> wake) {
    std::lock_guard lock(state().mutex);
    state().wake = std::move(wake);
}

void WaitUntil(const std::function<bool()>& done) {
    State& s = state();
    for (;;) {
        CheckSynchronize();
        std::unique_lock lock(s.mutex);
        if (done())
            return;
        s.changed.wait(lock, [&] { return !s.queue.empty() || done(); });
    }
}

void NotifyWaiters() {
    State& s = state();
    { std::lock_guard lock(s.mutex); }
    s.changed.notify_all();
}

} // namespace Sync
