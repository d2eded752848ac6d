#include "framework/Sync.h"
#include "framework/Exception.h"
#include "framework/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

class Worker : public TThread {
public:
    explicit Worker(std::function<void()> body) : body_(std::move(body)) {}
    ~Worker() override { WaitFor(); }

protected:
    void Execute() override { body_(); }

private:
    std::function<void()> body_;
};

} // namespace

TEST(Sync, SynchronizeRunsOnMainThreadAndWaits) {
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> returned{false};
    Worker worker([&] {
        Sync::Synchronize([&] { ranOnMain = Sync::IsMainThread(); });
        returned = true;
    });
    worker.Start();
    // Nothing runs until the main thread looks at its queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    worker.WaitFor();
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(returned);
}

TEST(Sync, ExceptionOfASynchronizedRoutineIsRaisedInTheWorker) {
    std::string caught;
    Worker worker([&] {
        try {
            Sync::Synchronize([] { throw Exception("boom"); });
        } catch (const Exception& e) {
            caught = e.Message;
        }
    });
    worker.Start();
    worker.WaitFor();
    EXPECT_EQ(caught, "boom");
}

// The main thread must let go of a failed routine's exception when it hands it over: the
// worker reads it after the hand-over, and a release on the main thread afterwards would race
// with that read (the exception's reference count lives in the C++ runtime, where
// ThreadSanitizer cannot see it). A routine queued behind the failing one keeps the main
// thread's batch alive until the worker has finished with the exception.
TEST(Sync, AnExceptionHandedToTheWorkerIsReleasedThere) {
    struct Tracked : Exception {
        Tracked(std::string message, std::thread::id* releasedIn)
            : Exception(std::move(message)), releasedIn_(releasedIn) {}
        ~Tracked() override { *releasedIn_ = std::this_thread::get_id(); }
        std::thread::id* releasedIn_;
    };
    std::thread::id releasedIn;
    std::thread::id workerId;
    std::atomic<bool> queued{false};
    std::atomic<bool> handled{false};
    std::string caught;
    Sync::SetWakeMainThread([&] { queued = true; });
    Worker worker([&] {
        workerId = std::this_thread::get_id();
        try {
            Sync::Synchronize([&] { throw Tracked("boom", &releasedIn); });
        } catch (const Exception& e) {
            caught = e.Message;
        }
        handled = true;
    });
    worker.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!queued && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Sync::SetWakeMainThread(nullptr);
    ASSERT_TRUE(queued);
    Sync::Queue([&] {
        while (!handled && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    worker.WaitFor();
    EXPECT_EQ(caught, "boom");
    EXPECT_EQ(releasedIn, workerId);
}

TEST(Sync, WaitForKeepsServingSoAWorkerBlockedInSynchronizeEnds) {
    // A worker that synchronizes many times would deadlock a plain join.
    int count = 0;
    Worker worker([&] {
        for (int i = 0; i < 100; ++i)
            Sync::Synchronize([&] { ++count; });
    });
    worker.Start();
    worker.WaitFor();
    EXPECT_EQ(count, 100);
    EXPECT_TRUE(worker.Finished());
}

TEST(Sync, QueueDoesNotWaitAndReportsErrors) {
    static std::string reported;
    SetExceptionHandler([](const std::string& m) { reported = m; });
    std::atomic<bool> returned{false};
    Worker worker([&] {
        Sync::Queue([] { throw Exception("queued failure"); });
        returned = true;
    });
    worker.Start();
    worker.WaitFor();
    EXPECT_TRUE(returned);
    Sync::CheckSynchronize(); // the wait may already have run it
    EXPECT_EQ(reported, "queued failure");
    SetExceptionHandler(nullptr);
}

TEST(Sync, WakeHookFiresForEachQueuedRoutine) {
    static std::atomic<int> wakes;
    wakes = 0; // the hook cannot capture, so the count is static: start it afresh each run
    Sync::SetWakeMainThread([] { ++wakes; });
    Worker worker([] {
        Sync::Queue([] {});
        Sync::Queue([] {});
    });
    worker.Start();
    worker.WaitFor();
    Sync::CheckSynchronize();
    Sync::SetWakeMainThread(nullptr);
    EXPECT_EQ(wakes, 2);
}

TEST(Thread, EscapedExceptionIsKeptAsFatal) {
    Worker worker([] { throw std::runtime_error("died"); });
    worker.Start();
    worker.WaitFor();
    EXPECT_EQ(ExceptionMessage(worker.FatalException()), "died");
}

TEST(Exception, MessageOfForeignThrownValueIsEmpty) {
    EXPECT_EQ(ExceptionMessage(std::make_exception_ptr(42)), "");
    EXPECT_EQ(ExceptionMessage(std::make_exception_ptr(Exception("x"))), "x");
}
