// Event delivery: the event thread waits on the device and hands events to the main thread.
#include "framework/Sync.h"
#include "serial/ComBackend.h"
#include "serial/ComPort.h"
#include "serial/posix/ModemWatch.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"
#include "tests/support/ThreadCpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::string>;

// Notices when a worker hands something to the main thread.
class QueueWatch {
public:
    QueueWatch() {
        Sync::SetWakeMainThread([this] { queued_ = true; });
    }
    ~QueueWatch() { Sync::SetWakeMainThread(nullptr); }
    void Reset() { queued_ = false; }
    bool WaitQueued() {
        for (int i = 0; i < 10000 && !queued_; ++i)
            std::this_thread::sleep_for(1ms);
        return queued_.exchange(false);
    }

private:
    std::atomic<bool> queued_{false};
};

class Events : public ::testing::Test {
protected:
    void SetUp() override { port.SetPort(pty.SlavePath()); }
    // The handlers refer to the test body's locals, which are gone by now.
    void TearDown() override {
        port.OnRxChar = nullptr;
        port.OnTxEmpty = nullptr;
        port.OnError = nullptr;
        port.OnBeforeClose = port.OnAfterClose = nullptr;
        port.Close();
    }
    Pty pty;
    TComPort port;
};

TEST_F(Events, RxCharRunsOnTheMainThreadWithTheQueueLength) {
    Log log;
    bool onMain = true;
    std::string received;
    port.OnRxChar = [&](TComponent* sender, int count) {
        onMain = onMain && Sync::IsMainThread();
        EXPECT_EQ(sender, &port);
        EXPECT_EQ(count, port.InputCount());
        char buf[64];
        int n = port.Read(buf, sizeof buf);
        received.append(buf, n);
    };
    port.Open();
    ASSERT_NE(port.EventThread(), nullptr);
    pty.Send("<DD>");
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 4; }));
    pty.Send("<FF>");
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 8; }));
    EXPECT_EQ(received, "<DD><FF>");
    EXPECT_TRUE(onMain);
}

TEST_F(Events, OneWaitReportsEventsInTheFixedOrderAndOnlyNewBytes) {
    QueueWatch watch;
    Log log;
    port.SetEvents({evRxChar, evTxEmpty});
    port.OnRxChar = [&](TComponent*, int count) { log.push_back("rx " + std::to_string(count)); };
    port.OnTxEmpty = [&](TComponent*) { log.push_back("tx"); };
    port.Open();
    pty.Send("a");
    ASSERT_TRUE(watch.WaitQueued()); // the thread now waits for the main thread
    // Meanwhile a write and another byte: the device gathers them for the next wait.
    port.WriteStr("w");
    pty.Send("b");
    for (int i = 0; i < 10000 && port.InputCount() < 2; ++i)
        std::this_thread::sleep_for(1ms); // not pumping: the dispatch must stay pending
    ASSERT_EQ(port.InputCount(), 2);
    ASSERT_TRUE(PumpUntil([&] { return log.size() >= 3; }));
    // The handler reads nothing: the first report already counts the late byte; the
    // second comes for that byte, together with the transmit-empty, in fixed order.
    EXPECT_EQ(log, (Log{"rx 2", "rx 2", "tx"}));
    // Bytes left unread are not reported again and again.
    PumpFor(300ms);
    EXPECT_EQ(log.size(), 3u);
    pty.Send("c");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 4; }));
    EXPECT_EQ(log.back(), "rx 3");
}

// A query on the main thread between events can take a byte from the driver before the event
// thread has woken for it; the byte must still be reported, or a reply whose last byte went
// that way would wait for the next byte that may never come.
TEST_F(Events, ABytePulledByAQueryBeforeTheThreadWokeIsStillReported) {
    int reports = 0;
    port.OnRxChar = [&](TComponent*, int) {
        if (port.InputCount() > 0) // a report that finds the byte still unread
            ++reports;
    };
    port.Open();
    // Busy threads keep the processors taken, so the event thread is slow to run once woken
    // and the main thread's query gets to the byte first.
    std::atomic<bool> busy{true};
    std::vector<std::thread> hogs;
    for (int h = 0; h < 2; ++h)
        hogs.emplace_back([&] {
            while (busy)
                std::atomic_signal_fence(std::memory_order_seq_cst);
        });
    struct Join {
        std::atomic<bool>& busy;
        std::vector<std::thread>& hogs;
        ~Join() {
            busy = false;
            for (auto& h : hogs)
                h.join();
        }
    } join{busy, hogs};
    for (int i = 0; i < 300; ++i) {
        const int before = reports;
        pty.Send("x");
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (port.InputCount() == 0 && std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_TRUE(PumpUntil([&] { return reports > before; }, 5s))
            << "byte " << i << " waits unreported";
        char c;
        ASSERT_EQ(port.Read(&c, 1), 1);
    }
}

TEST_F(Events, UnreadBytesDoNotMakeTheThreadSpin) {
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int) { ++calls; };
    port.Open();
    // More than the receive buffer takes, so some stay in the driver, where poll() would
    // report them again and again.
    const int total = 4096 + 100;
    pty.Send(std::string(total, 'u'));
    ASSERT_TRUE(PumpUntil([&] { return calls > 0 && port.InputCount() == total; }));
    PumpFor(100ms);
    int settled = calls;
    double before = OtherThreadsCpu();
    PumpFor(1s);
    EXPECT_LT(OtherThreadsCpu() - before, 0.2);
    EXPECT_EQ(calls, settled);
    // Reading them away outside a handler re-arms the wait for single bytes.
    // The driver hands the bytes beyond its own buffer over once room is made, a moment later.
    std::vector<char> buf(2 * total);
    int got = 0;
    EXPECT_TRUE(PumpUntil([&] {
        got += port.Read(buf.data() + got, static_cast<int>(buf.size()) - got);
        return got >= total;
    }));
    EXPECT_EQ(got, total);
    pty.Send("!");
    ASSERT_TRUE(PumpUntil([&] { return calls == settled + 1; }));
}

TEST_F(Events, LinksThatTakeReceivedDataGetItInsteadOfOnRxChar) {
    Log log;
    TComLink plain, first, second;
    plain.RxSignal = [&](TComponent*, bool on) { log.push_back(on ? "rx 1" : "rx 0"); };
    auto taker = [&log](const char* name) {
        return [&log, name](TComponent*, const void* b, int n) {
            log.push_back(std::string(name) + " " + std::string(static_cast<const char*>(b), n));
        };
    };
    first.RxBufHandler = taker("first");
    second.RxBufHandler = taker("second");
    port.RegisterLink(&plain);
    port.RegisterLink(&first);
    port.RegisterLink(&second);
    port.OnRxBuf = [&](TComponent*, const void* b, int n) {
        log.push_back("OnRxBuf " + std::string(static_cast<const char*>(b), n));
    };
    port.OnRxChar = [&](TComponent*, int) { log.push_back("OnRxChar"); };
    port.SetEvents({evRxChar});
    port.Open();
    pty.Send("data");
    ASSERT_TRUE(PumpUntil([&] { return log.size() >= 5; }));
    // The read inside drains the queue, which the plain link hears of too.
    EXPECT_EQ(log, (Log{"rx 1", "rx 0", "OnRxBuf data", "first data", "second data"}));
    EXPECT_EQ(port.InputCount(), 0);
    port.Close();
    port.UnRegisterLink(&first);
    port.UnRegisterLink(&second);
    port.UnRegisterLink(&plain);

    // Without such links, a cleared TriggersOnRxChar hands the bytes to OnRxBuf alone.
    log.clear();
    port.SetTriggersOnRxChar(false);
    port.Open();
    pty.Send("more");
    ASSERT_TRUE(PumpUntil([&] { return !log.empty(); }));
    PumpFor(50ms);
    EXPECT_EQ(log, (Log{"OnRxBuf more"}));
    port.OnRxBuf = nullptr;
}

TEST_F(Events, TxEmptyFollowsAWriteAndTellsLinks) {
    Log log;
    TComLink link;
    link.TxSignal = [&](TComponent*, bool on) { log.push_back(on ? "link tx 1" : "link tx 0"); };
    link.TxEmptyNotify = [&](TComponent*) { log.push_back("link empty"); };
    port.RegisterLink(&link);
    port.SetEvents({evTxEmpty});
    port.OnTxEmpty = [&](TComponent*) { log.push_back("OnTxEmpty"); };
    port.Open();
    PumpFor(50ms);
    EXPECT_TRUE(log.empty()); // idle: nothing to report
    port.WriteStr("<S@>");
    ASSERT_TRUE(PumpUntil([&] { return log.size() >= 4; }));
    EXPECT_EQ(log, (Log{"link tx 1", "link tx 0", "link empty", "OnTxEmpty"}));
    port.Close();
    port.UnRegisterLink(&link);
}

TEST_F(Events, NoThreadForAnEmptyEventSet) {
    int calls = 0;
    port.SetEvents({});
    port.OnRxChar = [&](TComponent*, int) { ++calls; };
    port.Open();
    EXPECT_EQ(port.EventThread(), nullptr);
    pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return port.InputCount() == 1; }));
    PumpFor(100ms);
    EXPECT_EQ(calls, 0);
    port.SetEvents({evRxChar}); // takes effect at the next open
    EXPECT_EQ(port.EventThread(), nullptr);
}

TEST_F(Events, CloseRunsAQueuedDispatchAfterBeforeClose) {
    QueueWatch watch;
    Log log;
    port.OnRxChar = [&](TComponent*, int count) {
        log.push_back("rx " + std::to_string(count) + (port.Connected() ? " open" : " closed"));
    };
    port.OnBeforeClose = [&](TComponent*) { log.push_back("BeforeClose"); };
    port.OnAfterClose = [&](TComponent*) { log.push_back("AfterClose"); };
    port.Open();
    pty.Send("xy");
    ASSERT_TRUE(watch.WaitQueued());
    port.Close();
    EXPECT_EQ(log, (Log{"BeforeClose", "rx 2 open", "AfterClose"}));
    EXPECT_EQ(port.EventThread(), nullptr);
}

TEST_F(Events, AFailingHandlerIsReportedAndDeliveryGoesOn) {
    static Log reports;
    reports.clear();
    SetExceptionHandler([](const std::string& m) { reports.push_back(m); });
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int) {
        char buf[16];
        port.Read(buf, sizeof buf);
        if (++calls == 1)
            throw Exception("handler broke");
    };
    port.Open();
    pty.Send("1");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    pty.Send("2");
    ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
    SetExceptionHandler(nullptr);
    EXPECT_EQ(reports, (Log{"handler broke"}));
}

TEST_F(Events, AHandlerMayCloseAndReopenThePort) {
    int calls = 0;
    port.OnRxChar = [&](TComponent*, int) {
        if (++calls == 1) {
            port.Close();
            EXPECT_FALSE(port.Connected());
            port.Open(); // the device is free again at once
        }
    };
    port.Open();
    pty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_TRUE(port.Connected());
    PumpFor(20ms);
    pty.Send("b"); // the new thread serves the reopened port
    ASSERT_TRUE(PumpUntil([&] { return calls >= 2; }));
    port.Close();
}

// A handler that closes the port and then shows a modal box: the box's loop runs what is
// queued for the main thread while the dispatch is still under way, and nothing of that may
// wait for the event thread, which waits for the dispatch.
TEST_F(Events, AHandlerMayCloseThePortAndRunALoopBeforeReturning) {
    bool ran = false;
    port.OnRxChar = [&](TComponent*, int) {
        port.Close();
        Sync::CheckSynchronize(); // as a modal box's loop does
        ran = true;
    };
    port.Open();
    pty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return ran; }));
    EXPECT_FALSE(port.Connected());
    port.Open(); // and once the dispatch has returned, the port works again
    pty.Send("b");
    ran = false;
    ASSERT_TRUE(PumpUntil([&] { return ran; }));
}

TEST_F(Events, HangUpIsReportedOnceWithoutSpinning) {
    std::vector<TComErrors> errors;
    port.OnError = [&](TComponent*, TComErrors e) { errors.push_back(e); };
    port.Open();
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    EXPECT_TRUE(errors[0].Contains(ceIO));
    double before = OtherThreadsCpu();
    PumpFor(1s);
    EXPECT_LT(OtherThreadsCpu() - before, 0.2);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_TRUE(port.Connected());
    int codes[3] = {};
    char c;
    try {
        port.InputCount();
    } catch (const EComPort& e) {
        codes[0] = e.MessageCode;
    }
    try {
        port.Read(&c, 1);
    } catch (const EComPort& e) {
        codes[1] = e.MessageCode;
    }
    try {
        port.Write("a", 1);
    } catch (const EComPort& e) {
        codes[2] = e.MessageCode;
    }
    EXPECT_EQ(codes[0], 10);
    EXPECT_EQ(codes[1], 3);
    EXPECT_EQ(codes[2], 2);
    port.Close(); // returns: the thread no longer waits on the device
    EXPECT_FALSE(port.Connected());
}

TEST_F(Events, WindowSyncHandsOverWithoutWaitingAndDropsEventsOfAClosedPort) {
    QueueWatch watch;
    std::atomic<int> calls{0};
    port.SetSyncMethod(smWindowSync);
    port.OnRxChar = [&](TComponent*, int) {
        EXPECT_TRUE(Sync::IsMainThread());
        ++calls;
        char buf[16];
        port.Read(buf, sizeof buf);
    };
    port.Open();
    pty.Send("1");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    watch.Reset();
    pty.Send("2");
    ASSERT_TRUE(watch.WaitQueued());
    port.Close(); // the pending hand-over belongs to a port being closed: dropped
    PumpFor(50ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(Events, SyncNoneRunsHandlersOnTheEventThread) {
    std::atomic<bool> called{false}, onMain{true};
    port.SetSyncMethod(smNone);
    port.SetEvents({evRxChar});
    port.OnRxChar = [&](TComponent*, int) {
        onMain = Sync::IsMainThread();
        called = true;
    };
    port.Open();
    pty.Send("q");
    ASSERT_TRUE(PumpUntil([&] { return called.load(); }));
    EXPECT_FALSE(onMain);
    port.Close();
}

TEST_F(Events, TheEventCharacterIsFoundInTheBytesAsTheyArrive) {
    int flags = 0, linked = 0;
    std::string received;
    TComLink link;
    link.RxFlagNotify = [&](TComponent*) { ++linked; };
    port.RegisterLink(&link);
    port.SetEventChar('>');
    port.OnRxFlag = [&](TComponent*) { ++flags; };
    port.OnRxChar = [&](TComponent*, int) {
        char buf[64];
        received.append(buf, static_cast<size_t>(port.Read(buf, sizeof buf)));
    };
    port.Open();
    pty.Send("<DD");
    ASSERT_TRUE(PumpUntil([&] { return received == "<DD"; }));
    PumpFor(100ms);
    EXPECT_EQ(flags, 0);
    pty.Send("><S@");
    ASSERT_TRUE(PumpUntil([&] { return flags == 1 && received.size() == 7; }));
    EXPECT_EQ(linked, 1);
    // Changed while open, it counts from the next byte on.
    port.SetEventChar('@');
    pty.Send("x@");
    ASSERT_TRUE(PumpUntil([&] { return flags == 2; }));
    PumpFor(100ms);
    EXPECT_EQ(flags, 2);
    port.UnRegisterLink(&link);
    port.OnRxFlag = nullptr;
}

// The updater purges both queues before every frame; the answer that follows must be
// reported, however soon it comes.
TEST_F(Events, AnAnswerAfterAPurgeIsReported) {
    std::string received;
    port.OnRxChar = [&](TComponent*, int) {
        char buf[64];
        received.append(buf, static_cast<size_t>(port.Read(buf, sizeof buf)));
    };
    port.Open();
    for (int i = 1; i <= 20; ++i) {
        port.ClearBuffer(true, true);
        pty.Send("<DD>");
        ASSERT_TRUE(PumpUntil([&] { return received.size() == 4u * i; }, 5s)) << "answer " << i;
    }
}

TEST(ModemLines, EachMovedCountIsItsLinesEvent) {
    struct Case {
        TModemLineCounts now;
        unsigned events;
    } cases[] = {
        {{0, 0, 0, 0}, 0},         {{1, 0, 0, 0}, EvCtsBit},
        {{0, 2, 0, 0}, EvDsrBit},  {{0, 0, 1, 0}, EvRlsdBit},
        {{0, 0, 0, 1}, EvRingBit}, {{3, 1, 1, 1}, EvCtsBit | EvDsrBit | EvRlsdBit | EvRingBit},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ModemLineEvents({}, c.now), c.events);
        // The events the device reports are those the port dispatches as line changes.
        TComEvents set = MaskToComEvents(c.events);
        EXPECT_EQ(set.Contains(evCTS), (c.events & EvCtsBit) != 0);
        EXPECT_EQ(set.Contains(evRing), (c.events & EvRingBit) != 0);
    }
    EXPECT_EQ(ModemLineEvents({5, 5, 5, 5}, {5, 5, 6, 5}), EvRlsdBit);
}

TEST(ComEventMask, MaskAndSetAreInverses) {
    EXPECT_EQ(ComEventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(MaskToComEvents(0x05FF), AllComEvents);
    EXPECT_EQ(MaskToComEvents(0x0200 | 0x0004), TComEvents({evTxEmpty}));
    for (int e = 0; e < 10; ++e) {
        TComEvents one({static_cast<TComEvent>(e)});
        EXPECT_EQ(MaskToComEvents(ComEventsToMask(one)), one);
    }
}

} // namespace
