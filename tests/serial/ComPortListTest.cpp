// The port list over fake sysfs and /dev folders built in a temporary directory.
#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class PortList : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvel-ports-XXXXXX";
        root = mkdtemp(pattern);
        sys = root / "class-tty";
        dev = root / "dev";
        fs::create_directories(sys);
        fs::create_directories(dev);
    }
    void TearDown() override { fs::remove_all(root); }

    void Tty(const std::string& name, bool driver, const char* type = nullptr) {
        fs::create_directories(sys / name);
        if (driver)
            fs::create_directories(sys / name / "device" / "driver");
        if (type)
            std::ofstream(sys / name / "type") << type << "\n";
    }
    std::vector<std::string> List() {
        std::vector<std::string> list{"stale"};
        EnumComPorts(list, sys, dev);
        return list;
    }

    fs::path root, sys, dev;
};

TEST_F(PortList, HardwarePortsAreThoseWithADriverAndARealUart) {
    Tty("ttyUSB0", true);
    Tty("ttyACM1", true);
    Tty("ttyS0", true, "4");
    Tty("ttyS1", true, "0"); // a legacy slot with no UART behind it
    Tty("ttyS2", true);      // no type to tell: not listed
    Tty("console", false);
    Tty("tty5", false);
    EXPECT_EQ(List(), (std::vector<std::string>{"ttyACM1", "ttyS0", "ttyUSB0"}));
}

TEST_F(PortList, SortsWithAsciiCaseFoldedAndDigitsAsCharacters) {
    for (const char* name : {"COM2", "com10", "COM1", "Com3", "COM11"})
        Tty(name, true);
    EXPECT_EQ(List(), (std::vector<std::string>{"COM1", "com10", "COM11", "COM2", "Com3"}));
    EXPECT_TRUE(ComPortNameLess("a", "B"));
    EXPECT_FALSE(ComPortNameLess("B", "a"));
}

TEST_F(PortList, DeviceFolderLinksCountOnlyWhenTheyLeadToAPseudoTerminal) {
    Pty pty;
    fs::create_symlink(pty.SlavePath(), dev / "ttyVirtual0");
    fs::create_symlink(pty.SlavePath(), dev / "virtual1"); // not named tty*
    fs::create_symlink("/dev/null", dev / "ttyNull");
    fs::create_symlink(root / "nowhere", dev / "ttyDangling");
    std::ofstream(dev / "ttyFile") << "x";
    Tty("ttyUSB3", true);
    EXPECT_EQ(List(), (std::vector<std::string>{"ttyUSB3", "ttyVirtual0"}));
}

// A source that is not there lists nothing (a PC without serial ports is a normal state); one
// that is there but cannot be read is error 23 with errno, and the caller's list stays.
TEST_F(PortList, AMissingSourceListsNothingAnUnreadableOneIsError23) {
    Pty pty;
    const struct {
        const char* Case;
        bool ClassMissing, DevMissing;
        std::vector<std::string> Listed;
    } cases[] = {
        {"no tty class", true, false, {"ttyVirtual0"}},
        {"no device folder", false, true, {"ttyUSB0"}},
        {"neither", true, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        Tty("ttyUSB0", true);
        fs::create_symlink(pty.SlavePath(), dev / "ttyVirtual0");
        if (c.ClassMissing)
            fs::remove_all(sys);
        if (c.DevMissing)
            fs::remove_all(dev);
        EXPECT_EQ(List(), c.Listed);
        fs::remove_all(sys);
        fs::remove_all(dev);
        fs::create_directories(sys);
        fs::create_directories(dev);
    }

    fs::remove_all(sys);
    std::ofstream(sys) << "not a folder";
    std::vector<std::string> list{"kept"};
    try {
        EnumComPorts(list, sys, dev);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, 23);
        EXPECT_EQ(e.WinErrorCode, ENOTDIR);
        EXPECT_EQ(e.Message, "Registry error (win error code: " + std::to_string(ENOTDIR) + ")");
    }
    EXPECT_EQ(list, (std::vector<std::string>{"kept"}));
}

TEST(PortListOnThisMachine, ReadsTheRealFolders) {
    std::vector<std::string> list{"stale"};
    // Some containers have no tty class at all: that lists no hardware port, not an error.
    EXPECT_NO_THROW(EnumComPorts(list));
    EXPECT_EQ(std::count(list.begin(), list.end(), "stale"), 0);
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), ComPortNameLess));
}

} // namespace
