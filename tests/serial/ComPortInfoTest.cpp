// What the selector's tooltips and `quorvel-flash --list` say about a port, read from a fake
// sysfs tree laid out as the kernel lays out USB adapters; and whether a port is taken.
#include "serial/ComPortInfo.h"
#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

class PortInfo : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvel-info-XXXXXX";
        root = mkdtemp(pattern);
        sys = root / "class" / "tty";
        fs::create_directories(sys);
    }
    void TearDown() override { fs::remove_all(root); }

    static void Write(const fs::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }
    // A USB device with its strings; `driven` is the folder (below it) the tty driver serves.
    fs::path Usb(const std::string& bus, const std::string& vendor, const std::string& product,
                 const std::string& maker, const std::string& name, const std::string& serial) {
        fs::path usb = root / "devices" / "pci0000:00" / "usb1" / bus;
        fs::create_directories(usb);
        Write(usb / "idVendor", vendor);
        Write(usb / "idProduct", product);
        if (!maker.empty())
            Write(usb / "manufacturer", maker);
        Write(usb / "product", name);
        if (!serial.empty())
            Write(usb / "serial", serial);
        return usb;
    }
    // The tty's class entry, its "device" link and the driver link of that device.
    void Tty(const std::string& name, const fs::path& device, const std::string& driver) {
        fs::create_directories(device);
        fs::create_directories(root / "drivers" / driver);
        fs::create_directory_symlink(root / "drivers" / driver, device / "driver");
        fs::create_directories(sys / name);
        fs::create_directory_symlink(fs::relative(device, sys / name), sys / name / "device");
    }

    fs::path root, sys;
};

TEST_F(PortInfo, DescribesAdaptersFromTheirSysfsEntries) {
    fs::path ftdi = Usb("1-1", "0403", "6001", "FTDI", "FT232R USB UART", "A10342");
    Tty("ttyUSB0", ftdi / "1-1:1.0" / "ttyUSB0", "ftdi_sio");
    Write(ftdi / "1-1:1.0" / "ttyUSB0" / "latency_timer", "16");
    fs::path acm = Usb("1-2", "2e8a", "000a", "Quorvel", "Quorvel KX27 Bridge", "");
    Tty("ttyACM0", acm / "1-2:1.0", "cdc_acm");
    // The device's own strings are whatever the device says: one short printable line.
    fs::path odd = Usb("1-3", "1a86", "7523", "", "Bad\x1b[2Jname\t" + std::string(80, 'x'), "");
    Tty("ttyUSB1", odd / "1-3:1.0" / "ttyUSB1", "ch341");
    Tty("ttyS0", root / "devices" / "platform" / "serial8250" / "tty" / "ttyS0", "serial8250");

    struct Case {
        std::string port, text;
        int latency;
    } cases[] = {
        {"ttyUSB0",
         "FTDI FT232R USB UART, S/N A10342, USB 0403:6001, ftdi_sio, latency_timer 16 ms", 16},
        {"/dev/ttyUSB0",
         "FTDI FT232R USB UART, S/N A10342, USB 0403:6001, ftdi_sio, latency_timer 16 ms", 16},
        {"ttyACM0", "Quorvel KX27 Bridge, USB 2e8a:000a, cdc_acm", -1},
        {"ttyUSB1", "Bad [2Jname " + std::string(52, 'x') + ", USB 1a86:7523, ch341", -1},
        {"ttyS0", "serial8250", -1},
        {"ttyVirtual0", "", -1}, // a pseudo-terminal: nothing known
        {"../class", "", -1},
    };
    for (const Case& c : cases) {
        ComPortDeviceInfo info = GetComPortDeviceInfo(c.port, sys.string());
        EXPECT_EQ(DescribeComPort(info), c.text) << c.port;
        EXPECT_EQ(info.LatencyTimerMs, c.latency) << c.port;
    }
    ComPortDeviceInfo ftdiInfo = GetComPortDeviceInfo("ttyUSB0", sys.string());
    EXPECT_EQ(ftdiInfo.Manufacturer, "FTDI");
    EXPECT_EQ(ftdiInfo.SerialNumber, "A10342");
    EXPECT_EQ(ftdiInfo.ProductId, "6001");
}

TEST(PortBusy, FollowsTheComponentsLockAndLeavesAFreePortFree) {
    Pty pty;
    EXPECT_FALSE(ComPortBusy(pty.SlavePath()));
    EXPECT_FALSE(ComPortBusy(pty.SlavePath())); // asking took nothing
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.Open();
    EXPECT_TRUE(ComPortBusy(pty.SlavePath()));
    port.Close();
    EXPECT_FALSE(ComPortBusy(pty.SlavePath()));
    EXPECT_FALSE(ComPortBusy("/dev/quorvel-no-such-port"));
}

// One look through /proc for several ports finds for each what a look of its own finds.
TEST(PortHolders, SeveralPortsAtOnceAsEachAlone) {
    Pty free, held;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        // The slave only: a process with the master is the line's far end, not a holder.
        for (int f = 3; f < 1024; ++f)
            if (f != ready[1])
                close(f);
        [[maybe_unused]] int fd = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        [[maybe_unused]] ssize_t n = write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    const std::vector<std::string> ports = {free.SlavePath(), "/dev/quorvel-no-such-port",
                                            held.SlavePath()};
    auto seen = [](const std::vector<ComPortHolder>& holders) {
        std::vector<std::pair<int, int>> out;
        for (const ComPortHolder& h : holders)
            out.emplace_back(h.Pid, h.How);
        return out;
    };
    const auto all = ComPortHolders(ports);
    ASSERT_EQ(all.size(), ports.size());
    for (size_t i = 0; i < ports.size(); ++i)
        EXPECT_EQ(seen(all[i]), seen(ComPortHolders(ports[i]))) << ports[i];
    EXPECT_TRUE(all[0].empty());
    EXPECT_TRUE(all[1].empty());
    EXPECT_EQ(seen(all[2]), (std::vector<std::pair<int, int>>{{holder, ComPortHolder::hoOpen}}));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

} // namespace
