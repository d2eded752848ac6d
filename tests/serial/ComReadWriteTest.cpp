// Reads, writes, queue counts and purges against a pseudo-terminal.
#include "serial/ComPort.h"
#include "tests/support/ComErrors.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class ReadWrite : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetPort(pty.SlavePath());
        port.SetEvents({}); // the test reads by itself
        port.Open();
    }
    bool WaitInput(int count) {
        return PumpUntil([&] { return port.InputCount() >= count; });
    }

    Pty pty;
    TComPort port;
};

TEST_F(ReadWrite, BytesTravelBothWays) {
    EXPECT_EQ(port.Write("\x00\xff<S@>", 6), 6);
    EXPECT_EQ(pty.Receive(6), std::string("\x00\xff<S@>", 6));
    EXPECT_EQ(port.WriteStr("(%B67)"), 6);
    EXPECT_EQ(pty.Receive(6), "(%B67)");

    pty.Send(std::string("<KX27\x00\x80>", 8));
    ASSERT_TRUE(WaitInput(8));
    EXPECT_EQ(port.InputCount(), 8);
    // The updater's pattern: count, then one byte at a time.
    std::string got;
    while (port.InputCount() > 0) {
        char c;
        ASSERT_EQ(port.Read(&c, 1), 1);
        got += c;
    }
    EXPECT_EQ(got, std::string("<KX27\x00\x80>", 8));
    EXPECT_EQ(port.OutputCount(), 0);
}

TEST_F(ReadWrite, LongStreamArrivesIntactThroughByteReadsAndCountsStayFresh) {
    // More than the receive buffer holds, sent while the reader is mid-way.
    std::string sent;
    for (int i = 0; i < 20000; ++i)
        sent += static_cast<char>(i * 7 + i / 251);
    std::thread sender([&] { pty.Send(sent); });
    std::string got;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (got.size() < sent.size() && Clock::now() < deadline) {
        while (port.InputCount() > 0) {
            char c;
            ASSERT_EQ(port.Read(&c, 1), 1);
            got += c;
            if (got.size() % 1000 == 0) { // a bigger read now and then
                char buf[700];
                got.append(buf, port.Read(buf, sizeof buf));
            }
        }
    }
    sender.join();
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";

    // Counting without reading sees bytes that arrive after the first count.
    pty.Send("a");
    ASSERT_TRUE(WaitInput(1));
    pty.Send("bc");
    EXPECT_TRUE(WaitInput(3));
    port.ClearBuffer(true, false);
    EXPECT_EQ(port.InputCount(), 0);
}

TEST_F(ReadWrite, ReadOnAnEmptyQueueReturnsAtOnce) {
    char buf[16];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    // and a partial queue gives what is there
    pty.Send("ab");
    ASSERT_TRUE(WaitInput(2));
    EXPECT_EQ(port.Read(buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
}

TEST_F(ReadWrite, EmptyWriteStrSendsNothingAndTellsNoLink) {
    TComLink link;
    int txSignals = 0;
    link.TxSignal = [&](TComponent*, bool) { ++txSignals; };
    port.RegisterLink(&link);
    EXPECT_EQ(port.WriteStr(""), 0);
    EXPECT_EQ(txSignals, 0);
    EXPECT_EQ(port.WriteStr("z"), 1);
    EXPECT_EQ(txSignals, 1);
    EXPECT_EQ(pty.Receive(1), "z"); // nothing came before the z
    port.UnRegisterLink(&link);
}

TEST_F(ReadWrite, LinksHearOfWritesAndOfTheDrainedInput) {
    TComLink link;
    std::vector<std::string> log;
    link.TxSignal = [&](TComponent*, bool on) { log.push_back(on ? "tx 1" : "tx 0"); };
    link.TxBufHandler = [&](TComponent*, const void* b, int n) {
        log.push_back("txbuf " + std::string(static_cast<const char*>(b), n));
    };
    link.RxSignal = [&](TComponent*, bool on) { log.push_back(on ? "rx 1" : "rx 0"); };
    port.RegisterLink(&link);
    port.WriteStr("hey");
    pty.Send("12");
    ASSERT_TRUE(WaitInput(2));
    char c;
    port.Read(&c, 1); // one left: no signal
    port.Read(&c, 1); // drained
    EXPECT_EQ(log, (std::vector<std::string>{"tx 1", "txbuf hey", "rx 0"}));
    port.UnRegisterLink(&link);
}

TEST_F(ReadWrite, ClearBufferDiscardsTheInput) {
    pty.Send("junk");
    ASSERT_TRUE(WaitInput(4));
    port.ClearBuffer(true, true);
    EXPECT_EQ(port.InputCount(), 0);
    char c;
    EXPECT_EQ(port.Read(&c, 1), 0);
}

TEST_F(ReadWrite, WriteGivesUpAfterItsTimeoutWithWhatWasSent) {
    // Nobody reads the master: the pseudo-terminal fills up and the write must end.
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(200);
    std::vector<char> big(4 << 20, 'x');
    auto start = Clock::now();
    int sent = port.Write(big.data(), static_cast<int>(big.size()));
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    port.ClearBuffer(false, true);
}

TEST_F(ReadWrite, AfterCloseEveryQueryRaisesItsCode) {
    port.Close();
    int error = 0;
    EXPECT_EQ(ComErrorCode([&] { port.InputCount(); }, &error), 10);
    EXPECT_EQ(error, EBADF);
    EXPECT_EQ(ComErrorCode([&] { port.OutputCount(); }), 10);
    EXPECT_EQ(ComErrorCode([&] { port.LastErrors(); }), 10);
    char c;
    EXPECT_EQ(ComErrorCode([&] { port.Read(&c, 1); }), 3);
    EXPECT_EQ(ComErrorCode([&] { port.Write("a", 1); }), 2);
    EXPECT_EQ(ComErrorCode([&] { port.ClearBuffer(true, true); }), 5);
    EXPECT_EQ(ComErrorCode([&] { port.Signals(); }), 11);
    EXPECT_EQ(port.WriteStr(""), 0);
}

TEST_F(ReadWrite, PseudoTerminalHasNoModemLinesAndNoErrors) {
    EXPECT_TRUE(port.Signals().Empty());
    EXPECT_TRUE(port.LastErrors().Empty());
}

} // namespace
