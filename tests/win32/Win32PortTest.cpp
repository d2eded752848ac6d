// The port component on Windows, run under Wine by quorvel-ptybridge: COM5 is the port under
// test and COM6 its peer end (two pseudo-terminals joined back to back); COM5's modem lines
// live in a state file that the preloaded library serves to Wine.
#include "framework/Sync.h"
#include "serial/ComPort.h"
#include "tests/support/ComErrors.h"
#include "tests/support/Pump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::string>;

// A file the bridge keeps in its state folder, seen from Windows through drive Z:.
std::string StateFile(const char* name) {
    const char* dir = std::getenv("QUORVEL_STATE_DIR");
    std::string path = std::string("Z:") + (dir ? dir : "") + "/" + name;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

int ReadState(const char* name) {
    std::ifstream in(StateFile(name));
    int value = -1;
    in >> value;
    return value;
}

// Replaced whole, so the library never reads a half-written file.
void WriteModemLines(int bits) {
    std::string path = StateFile("modem"), next = path + ".new";
    std::ofstream(next, std::ios::trunc) << bits << "\n";
    MoveFileExA(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Linux TIOCM_* bits, as the state file holds them.
constexpr int kDtr = 0x002, kRts = 0x004, kCts = 0x020, kCar = 0x040, kRng = 0x080, kDsr = 0x100;

// The peer end, opened with plain blocking calls so it shares nothing with the code under test.
class FarEnd {
public:
    FarEnd() {
        h_ = CreateFileA("\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
        if (h_ == INVALID_HANDLE_VALUE)
            throw std::runtime_error("COM6 is not mapped (run under quorvel-ptybridge)");
        COMMTIMEOUTS t{0, 0, 50, 0, 0};
        SetCommTimeouts(h_, &t);
        PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~FarEnd() { CloseHandle(h_); }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    void Send(const std::string& bytes) {
        DWORD done = 0;
        for (size_t at = 0; at < bytes.size(); at += done)
            if (!WriteFile(h_, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &done,
                           nullptr))
                throw std::runtime_error("COM6 write failed");
    }
    // What arrived until `count` bytes or a few seconds.
    std::string Receive(size_t count) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            char buf[4096];
            DWORD n = 0;
            if (ReadFile(h_, buf, sizeof buf, &n, nullptr) && n > 0)
                out.append(buf, n);
        }
        return out;
    }

private:
    HANDLE h_;
};

class Win32Port : public ::testing::Test {
protected:
    void SetUp() override {
        WriteModemLines(0);
        port.SetPort("COM5");
        port.FlowControl().SetControlDTR(dtrEnable);
    }
    TComPort port;
    FarEnd peer;
};

TEST_F(Win32Port, OpenAndCloseNotifyInOrder) {
    Log log;
    auto tag = [this](const char* name) {
        return std::string(name) + (port.Connected() ? " on" : " off");
    };
    port.OnBeforeOpen = [&](TComponent*) { log.push_back(tag("BeforeOpen")); };
    port.OnAfterOpen = [&](TComponent*) { log.push_back(tag("AfterOpen")); };
    port.OnBeforeClose = [&](TComponent*) { log.push_back(tag("BeforeClose")); };
    port.OnAfterClose = [&](TComponent*) { log.push_back(tag("AfterClose")); };
    port.OnCTSChange = [&](TComponent*, bool on) { log.push_back(on ? "CTS 1" : "CTS 0"); };
    WriteModemLines(kCts);
    port.Open();
    EXPECT_EQ(log, (Log{"BeforeOpen off", "AfterOpen on", "CTS 1"}));
    log.clear();
    port.Close();
    EXPECT_EQ(log, (Log{"CTS 0", "BeforeClose on", "AfterClose off"}));
    EXPECT_FALSE(port.Connected());
}

TEST_F(Win32Port, AFailedOpenGivesCodeOneWithTheSystemError) {
    // Wine does not keep a second opener off a port (share mode 0 is not enforced on
    // devices there), so only a missing port is tried.
    TComPort missing;
    missing.SetPort("COM97");
    Log log;
    missing.OnBeforeOpen = [&](TComponent*) { log.push_back("BeforeOpen"); };
    missing.OnAfterOpen = [&](TComponent*) { log.push_back("AfterOpen"); };
    try {
        missing.Open();
        ADD_FAILURE() << "opened a port that does not exist";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, 1);
        EXPECT_EQ(e.WinErrorCode, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(e.Message, "Unable to open com port (win error code: 2)");
    }
    EXPECT_EQ(log, (Log{"BeforeOpen"}));
    EXPECT_FALSE(missing.Connected());
}

TEST_F(Win32Port, BaudRateGoesToTheDeviceWhileOpenAndWaitsWhileClosed) {
    port.SetBaudRate(br19200);
    port.Open();
    EXPECT_TRUE(PumpUntil([] { return ReadState("speed") == 19200; }, 3s));
    port.SetBaudRate(br115200);
    EXPECT_TRUE(PumpUntil([] { return ReadState("speed") == 115200; }, 3s));
    port.SetBaudRate(br9600);
    EXPECT_TRUE(PumpUntil([] { return ReadState("speed") == 9600; }, 3s));
}

TEST_F(Win32Port, BytesTravelBothWaysAndReadsNeverWait) {
    port.Open();
    char byte;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(&byte, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(port.WriteStr(""), 0);
    EXPECT_EQ(port.WriteStr("(%B67)"), 6);
    EXPECT_EQ(peer.Receive(6), "(%B67)");
    peer.Send("<DD>");
    EXPECT_TRUE(PumpUntil([&] { return port.InputCount() == 4; }));
    std::string got;
    while (port.InputCount() > 0 && port.Read(&byte, 1) == 1)
        got += byte;
    EXPECT_EQ(got, "<DD>");
}

TEST_F(Win32Port, QuarterMegabyteEachWayArrivesIntact) {
    std::string out(256 * 1024, '\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    port.Timeouts().SetWriteTotalConstant(20000);
    port.Open();
    std::string received;
    std::thread reader([&] { received = peer.Receive(out.size()); });
    EXPECT_EQ(port.Write(out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
    reader.join();
    EXPECT_TRUE(received == out) << received.size() << " bytes came";

    std::string in;
    port.OnRxChar = [&](TComponent*, int) {
        char buf[4096];
        while (int n = port.Read(buf, sizeof buf))
            in.append(buf, static_cast<size_t>(n));
    };
    // Sent from another thread: the main thread must stay free to take the events.
    std::thread sender([&] { peer.Send(out); });
    EXPECT_TRUE(PumpUntil([&] { return in.size() >= out.size(); }, 30s)) << in.size();
    sender.join();
    EXPECT_TRUE(in == out);
    port.Close();
}

TEST_F(Win32Port, ReceivedBytesRaiseRxCharOnTheMainThread) {
    std::vector<int> counts;
    std::thread::id where;
    port.OnRxChar = [&](TComponent*, int count) {
        counts.push_back(count);
        where = std::this_thread::get_id();
        char buf[64];
        port.Read(buf, sizeof buf);
    };
    port.Open();
    peer.Send("<S@>");
    ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }, 2s));
    EXPECT_EQ(where, std::this_thread::get_id());
    int total = 0;
    PumpFor(200ms);
    for (int c : counts)
        total += c;
    EXPECT_EQ(total, 4);
    // Nothing new: nothing more, however long the line stays quiet.
    counts.clear();
    PumpFor(300ms);
    EXPECT_TRUE(counts.empty());
    port.Close();
}

// Wine's device wait may keep ending with nothing to report (error 995 on a pseudo-terminal
// without the modem-line library): the event thread must not turn that into a busy loop.
TEST_F(Win32Port, AQuietOpenPortCostsAlmostNoProcessorTime) {
    auto cpu = [] {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        auto ticks = [](FILETIME f) {
            return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime;
        };
        return double(ticks(kernel) + ticks(user)) / 1e7;
    };
    int events = 0;
    port.OnRxChar = [&](TComponent*, int) { ++events; };
    port.Open();
    PumpFor(100ms);
    double before = cpu();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpu() - before, 0.25);
    EXPECT_EQ(events, 0);
    port.Close();
}

TEST_F(Win32Port, WriteIsFollowedByTxEmpty) {
    int empties = 0;
    port.OnTxEmpty = [&](TComponent*) { ++empties; };
    port.Open();
    port.WriteStr("<F@>");
    EXPECT_TRUE(PumpUntil([&] { return empties > 0; }, 3s));
    port.Close();
}

TEST_F(Win32Port, ModemLineChangesArriveAsEventsAndOutputsReachTheLines) {
    struct Case {
        int lines;
        const char* expected;
    } cases[] = {{kCts, "CTS 1"},  {0, "CTS 0"},  {kDsr, "DSR 1"}, {0, "DSR 0"},
                 {kCar, "RLSD 1"}, {0, "RLSD 0"}, {kRng, "Ring"}};
    Log log;
    port.OnCTSChange = [&](TComponent*, bool on) { log.push_back(on ? "CTS 1" : "CTS 0"); };
    port.OnDSRChange = [&](TComponent*, bool on) { log.push_back(on ? "DSR 1" : "DSR 0"); };
    port.OnRLSDChange = [&](TComponent*, bool on) { log.push_back(on ? "RLSD 1" : "RLSD 0"); };
    port.OnRing = [&](TComponent*) { log.push_back("Ring"); };
    port.Open();
    EXPECT_TRUE(PumpUntil([] { return (ReadState("modem") & kDtr) != 0; }, 1s));
    EXPECT_EQ(ReadState("modem") & kRts, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        // Wine takes the lines it compares against when a wait starts: a change made before
        // the event thread is back in its wait would go unseen, so let it get there.
        PumpFor(50ms);
        log.clear();
        WriteModemLines(c.lines | kDtr);
        EXPECT_TRUE(PumpUntil(
            [&] { return std::find(log.begin(), log.end(), c.expected) != log.end(); }, 3s))
            << ::testing::PrintToString(log);
    }
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsEnable);
    EXPECT_TRUE(PumpUntil([] { return (ReadState("modem") & (kDtr | kRts)) == kRts; }, 1s));
    port.Close(); // its handlers write to this test's log
}

// Close stops the event thread while it waits for the main thread to take a dispatch: that
// dispatch runs during Close, after OnBeforeClose, with the device still open.
TEST_F(Win32Port, CloseRunsAQueuedDispatchAfterBeforeClose) {
    std::atomic<bool> queued{false};
    Sync::SetWakeMainThread([&] { queued = true; });
    Log log;
    port.OnRxChar = [&](TComponent*, int) {
        log.push_back(port.Connected() ? "rx open" : "rx closed");
    };
    port.OnBeforeClose = [&](TComponent*) { log.push_back("BeforeClose"); };
    port.OnAfterClose = [&](TComponent*) { log.push_back("AfterClose"); };
    port.Open();
    peer.Send("xy");
    for (int i = 0; i < 5000 && !queued; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(queued);
    port.Close();
    Sync::SetWakeMainThread(nullptr);
    EXPECT_EQ(log, (Log{"BeforeClose", "rx open", "AfterClose"}));
}

// Interval and multiplier MAXDWORD with a total constant: on Windows a read waits up to the
// constant for a first byte; under Wine such an overlapped read never ends by itself, and
// the port must not hang on it either way.
TEST_F(Win32Port, ReadsWithATotalTimeoutEndWithinTheirLimit) {
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalMultiplier(-1);
    port.Timeouts().SetReadTotalConstant(200);
    port.Open();
    char buf[8];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(buf, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    peer.Send("x");
    EXPECT_TRUE(PumpUntil([&] { return port.InputCount() == 1; }));
    EXPECT_EQ(port.Read(buf, 1), 1);
    EXPECT_EQ(buf[0], 'x');
}

TEST_F(Win32Port, CloseEndsTheEventThreadPromptlyAndEmptiesTheQueues) {
    port.Open();
    peer.Send("unread");
    EXPECT_TRUE(PumpUntil([&] { return port.InputCount() == 6; }));
    auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    int error = 0;
    EXPECT_EQ(ComErrorCode([&] { port.InputCount(); }, &error), 10);
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    port.Open();
    EXPECT_EQ(port.InputCount(), 0);
}

// The runner maps a few ports through the registry (HKLM\Software\Wine\Ports), which makes
// Wine list them under SERIALCOMM, and names them here in their expected order.
TEST(Win32PortList, ShowsTheRegisteredPortsSortedAsText) {
    const char* expected = std::getenv("QUORVEL_EXPECTED_PORTS");
    if (!expected || !*expected)
        GTEST_SKIP() << "no registry ports set up for this run";
    std::vector<std::string> list{"stale"};
    EnumComPorts(list);
    const std::string wanted = std::string(",") + expected + ",";
    std::vector<std::string> mapped;
    for (const std::string& name : list)
        if (wanted.find("," + name + ",") != std::string::npos)
            mapped.push_back(name);
    std::string joined;
    for (const std::string& name : mapped)
        joined += (joined.empty() ? "" : ",") + name;
    EXPECT_EQ(joined, expected);
    for (size_t i = 1; i < list.size(); ++i)
        EXPECT_LE(lstrcmpiA(list[i - 1].c_str(), list[i].c_str()), 0) << list[i];
}

// A value with no data at all (no terminating zero either) lists as an empty name.
TEST(Win32PortList, EmptyDataGivesAnEmptyName) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "\\Device\\QTestEmpty", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 0);
    std::vector<std::string> list;
    EnumComPorts(list);
    RegDeleteValueA(key, "\\Device\\QTestEmpty");
    RegCloseKey(key);
    EXPECT_EQ(std::count(list.begin(), list.end(), std::string()), 1);
}

} // namespace
