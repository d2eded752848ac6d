// The port component on real drivers: ttyUSB0 is ftdi_sio on an emulated FTDI adapter, ttyS1
// the 8250 driver on an emulated 16550 whose modem lines the host sets on request.
#include "framework/Exception.h"
#include "framework/Sync.h"
#include "serial/ComBackendCounts.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"
#include "tests/support/ThreadCpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const LatencyFile = "/sys/class/tty/ttyUSB0/device/latency_timer";

// The harness on the host reads requests from the console and answers on it.
bool AskHost(const std::string& request) {
    std::printf("@@ %s\n", request.c_str());
    std::fflush(stdout);
    std::string answer;
    return std::getline(std::cin, answer) && answer.rfind("@@ok", 0) == 0;
}

int LatencyTimer() {
    std::ifstream in(LatencyFile);
    int ms = -1;
    in >> ms;
    return ms;
}

// A real adapter starts at 16 ms.
void ResetLatencyTimer() {
    std::ofstream(LatencyFile) << "16\n";
    ASSERT_EQ(LatencyTimer(), 16);
}

int Threads() {
    auto entries = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

TEST(RealDrivers, PortFactsAsTheSelectorShowsThem) {
    ResetLatencyTimer();
    const char* serial = std::getenv("QUSB_SERIAL");
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(DescribeComPort(GetComPortDeviceInfo("ttyUSB0")),
              std::string("QEMU USB SERIAL, S/N ") + serial + ", USB 0403:6001, ftdi_sio, " +
                  "latency_timer 16 ms");
    // A UART on the board: its driver, and nothing that only USB devices have.
    ComPortDeviceInfo uart = GetComPortDeviceInfo("/dev/ttyS1");
    EXPECT_FALSE(uart.Driver.empty());
    EXPECT_EQ(DescribeComPort(uart), uart.Driver);
}

TEST(RealDrivers, LowLatencyOnlyWhileOpen) {
    ResetLatencyTimer();
    for (const char* name : {"ttyUSB0", "ttyS1"}) {
        SCOPED_TRACE(name);
        const int granted = ComBackendCounts().LowLatencyGranted;
        TComPort port;
        port.SetPort(name);
        port.Open();
        EXPECT_EQ(ComBackendCounts().LowLatencyGranted, granted + 1);
        if (std::string(name) == "ttyUSB0") {
            EXPECT_EQ(LatencyTimer(), 1);
        }
        port.Close();
    }
    EXPECT_EQ(LatencyTimer(), 16);
}

TEST(RealDrivers, ModemLineChangesArriveOnceInOrderOnTheMainThread) {
    // The emulated UART reads the host's lines after a change of its own outputs and while its
    // modem-status interrupt is on: what it held before the watch shows up as first changes.
    ASSERT_TRUE(AskHost("lines cts dsr car"));
    std::vector<std::string> log;
    bool onMain = true;
    auto note = [&](const std::string& what) {
        onMain = onMain && Sync::IsMainThread();
        log.push_back(what);
    };
    TComPort port;
    port.SetPort("ttyS1");
    port.SetEvents({evCTS, evDSR, evRLSD, evRing});
    port.OnCTSChange = [&](TComponent*, bool on) { note(on ? "cts on" : "cts off"); };
    port.OnDSRChange = [&](TComponent*, bool on) { note(on ? "dsr on" : "dsr off"); };
    port.OnRLSDChange = [&](TComponent*, bool on) { note(on ? "rlsd on" : "rlsd off"); };
    port.OnRing = [&](TComponent*) { note("ring"); };
    const int threads = Threads();
    port.Open();
    // The event thread and the line watch.
    EXPECT_TRUE(PumpUntil([&] { return Threads() == threads + 2; }, 5s)) << Threads();
    const TComSignals all{csCTS, csDSR, csRLSD};
    EXPECT_TRUE(PumpUntil([&] { return port.Signals() == all; }, 5s));
    PumpFor(300ms);
    std::printf("@@ note modem lines: %zu changes seen as the watch started\n", log.size());
    log.clear();

    // One line at a time; the UART counts a ring as the indicator goes off.
    struct Step {
        const char* lines;
        const char* event; // nullptr: none
    };
    const Step steps[] = {{"dsr car", "cts off"},
                          {"car", "dsr off"},
                          {"", "rlsd off"},
                          {"cts", "cts on"},
                          {"cts dsr", "dsr on"},
                          {"cts dsr car", "rlsd on"},
                          {"cts dsr car rng", nullptr},
                          {"cts dsr car", "ring"}};
    std::vector<std::string> want;
    std::vector<long> wakeMs;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.lines);
        if (s.event)
            want.push_back(s.event);
        const auto asked = Clock::now(); // the console's round trip counts too
        ASSERT_TRUE(AskHost(std::string("lines ") + s.lines));
        if (!s.event) {
            PumpFor(200ms);
            continue;
        }
        EXPECT_TRUE(PumpUntil([&] { return log.size() >= want.size(); }, 5s));
        wakeMs.push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count());
    }
    PumpFor(300ms);
    EXPECT_EQ(log, want);
    EXPECT_TRUE(onMain);
    std::sort(wakeMs.begin(), wakeMs.end());
    std::printf("@@ note modem lines: from the host's request to the handler %ld ms (median), "
                "%ld ms (slowest)\n",
                wakeMs[wakeMs.size() / 2], wakeMs.back());

    // Waiting for the next change costs nothing.
    const double before = OtherThreadsCpu();
    PumpFor(1s);
    EXPECT_LT(OtherThreadsCpu() - before, 0.05);

    const auto closing = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - closing, 500ms);
    EXPECT_EQ(Threads(), threads);
}

// What the driver answers on a descriptor of a device that went away: "0" for a read of
// nothing, the error's name otherwise.
std::string Answer(ssize_t rc) {
    return rc >= 0 ? std::to_string(rc) : strerrorname_np(errno);
}

std::string ListedUsbPort() {
    std::vector<std::string> ports;
    EnumComPorts(ports);
    for (const std::string& p : ports)
        if (p.rfind("ttyUSB", 0) == 0)
            return p;
    return {};
}

long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(RealDrivers, AdapterUnpluggedUnderAnOpenPort) {
    TComPort port;
    port.SetPort("ttyUSB0");
    int reports = 0;
    TComErrors errors;
    port.OnError = [&](TComponent*, TComErrors e) {
        ++reports;
        errors = e;
    };
    // Whichever thread finds the device gone tells it: the event thread as OnError with ceIO,
    // or the main thread as the exception of a call in a handler (here reading the board's
    // answer, whose delivery waited while this thread asked the host).
    static int thrown;
    thrown = 0;
    SetExceptionHandler([](const std::string&) { ++thrown; });
    const int threads = Threads();
    port.Open();
    // Pulled out while the line watch's first TIOCMGET is on the wire, the emulated adapter
    // holds the guest's disconnect for the USB control timeout (5 s): unplug a settled port.
    ASSERT_TRUE(PumpUntil([&] { return Threads() == threads + 2; }, 5s));
    PumpFor(300ms);
    // A descriptor of our own shows what the driver answers to each kind of call.
    int raw = ::open("/dev/ttyUSB0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    port.WriteStr("(%B67)");
    const auto unplugged = Clock::now(); // the host's round trip counts too
    ASSERT_TRUE(AskHost("unplug"));
    EXPECT_TRUE(PumpUntil([&] { return reports + thrown > 0; }, 5s));
    const long toldMs = MsSince(unplugged);
    EXPECT_TRUE(thrown > 0 || errors.Contains(ceIO));
    // The node goes, and the list no longer holds it.
    EXPECT_TRUE(PumpUntil([] { return !std::filesystem::exists("/dev/ttyUSB0"); }, 5s));
    const long goneMs = MsSince(unplugged);
    EXPECT_EQ(ListedUsbPort(), "");

    char byte = 'x';
    int bits = 0;
    serial_struct ss{};
    pollfd pfd{raw, POLLIN | POLLOUT, 0};
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"read", Answer(::read(raw, &byte, 1))},
        {"write", Answer(::write(raw, &byte, 1))},
        {"TIOCMGET", Answer(ioctl(raw, TIOCMGET, &bits))},
        {"TCFLSH", Answer(ioctl(raw, TCFLSH, TCIOFLUSH))},
        {"TIOCGSERIAL", Answer(ioctl(raw, TIOCGSERIAL, &ss))},
        {"poll", poll(&pfd, 1, 0) == 1 ? std::to_string(pfd.revents) : "none"}};
    std::string seen;
    for (const auto& [call, answer] : answers) {
        seen += call + " " + answer + ", ";
        // The backend takes these (and a read of nothing) as the device gone.
        if (call != "read" && call != "poll") {
            EXPECT_TRUE(answer == "EIO" || answer == "ENXIO" || answer == "ENODEV") << call;
        }
    }
    EXPECT_EQ(answers[0].second, "0");
    EXPECT_TRUE(pfd.revents & (POLLHUP | POLLERR));

    // Told once; the port's threads then sleep.
    PumpFor(300ms);
    EXPECT_EQ(reports + thrown, 1);
    SetExceptionHandler(nullptr);
    const double before = OtherThreadsCpu();
    PumpFor(1s);
    EXPECT_LT(OtherThreadsCpu() - before, 0.05);
    try {
        port.WriteStr("x");
        ADD_FAILURE() << "a write to a device that is gone succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.WinErrorCode, EIO);
    }

    // Plugged back, the adapter is listed again (under another name while the old one is
    // still open).
    ASSERT_TRUE(AskHost("plug"));
    const auto plugged = Clock::now();
    EXPECT_TRUE(PumpUntil([] { return !ListedUsbPort().empty(); }, 10s));
    const long backMs = MsSince(plugged);
    const std::string back = ListedUsbPort();
    std::printf("@@ note unplugged: told by %ld ms (%s), node gone by %ld ms; on a descriptor: "
                "%splugged back as %s, listed after %ld ms\n",
                toldMs, thrown ? "an exception in a handler" : "OnError", goneMs, seen.c_str(),
                back.c_str(), backMs);
    ::close(raw);
    EXPECT_NO_THROW(port.Close());
    EXPECT_FALSE(port.Connected());
}

} // namespace
