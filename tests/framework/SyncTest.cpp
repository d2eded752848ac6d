#include "framework/Exception.h"
#include "framework/Sync.h"
#include "framework/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
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
    static std::atomic<int> wakes{0};
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
