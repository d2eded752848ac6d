// Port facts from sysfs. A USB adapter's tty entry leads (through "device") to the port or
// interface its driver serves; the USB device with its ids and strings is a parent of that.
#include "serial/ComPortInfo.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Device strings come from the device itself: one short line of printable text.
std::string Clean(std::string text) {
    const size_t limit = 64;
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < ' ' || c == '\x7f')
            c = ' ';
    if (text.size() > limit) {
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut; // not inside a UTF-8 sequence
        text.resize(cut);
    }
    return text;
}

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return Clean(line);
}

// "ttyUSB0", "/dev/ttyUSB0" or a link to it such as /dev/serial/by-id/...: the tty's name.
std::string TtyName(const std::string& port) {
    if (port.empty() || port[0] != '/')
        return port.find('/') == std::string::npos ? port : std::string();
    std::error_code ec;
    fs::path resolved = fs::canonical(port, ec);
    return (ec ? fs::path(port) : resolved).filename().string();
}

} // namespace

ComPortDeviceInfo GetComPortDeviceInfo(const std::string& port, const std::string& ttyClassDir) {
    ComPortDeviceInfo info;
    std::string name = TtyName(port);
    if (name.empty() || name == "." || name == "..")
        return info;
    std::error_code ec;
    fs::path device = fs::path(ttyClassDir) / name / "device";
    if (!fs::exists(device, ec))
        return info; // a pseudo-terminal or a virtual console has no device behind it
    fs::path driver = fs::read_symlink(device / "driver", ec);
    if (!ec)
        info.Driver = Clean(driver.filename().string());
    std::string latency = ReadLine(device / "latency_timer");
    if (!latency.empty()) {
        try {
            info.LatencyTimerMs = std::stoi(latency);
        } catch (...) {
        }
    }
    fs::path usb = fs::canonical(device, ec);
    for (int up = 0; !ec && up < 4 && !usb.empty() && usb != usb.root_path();
         ++up, usb = usb.parent_path()) {
        if (!fs::exists(usb / "idVendor", ec))
            continue;
        info.VendorId = ReadLine(usb / "idVendor");
        info.ProductId = ReadLine(usb / "idProduct");
        info.Manufacturer = ReadLine(usb / "manufacturer");
        info.Product = ReadLine(usb / "product");
        info.SerialNumber = ReadLine(usb / "serial");
        break;
    }
    return info;
}

namespace {

// Whether /proc/locks shows a whole-file lock on this inode: 1 yes, 0 no, -1 unreadable.
int FlockListed(const struct stat& st) {
    std::ifstream in("/proc/locks");
    if (!in)
        return -1;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, where;
        words >> number >> kind;
        if (kind == "->") // a waiter, not a holder
            continue;
        words >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == id)
            return 1;
    }
    return 0;
}

} // namespace

bool ComPortBusyOpensPort() {
    return false; // the lock table is read where the system lists it
}

bool ComPortBusy(const std::string& port) {
    std::string path = !port.empty() && port[0] == '/' ? port : "/dev/" + port;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    // Opening a tty raises DTR and closing it drops it again, which resets many boards, so
    // the lock is looked up rather than tried where the system lists it.
    if (int listed = FlockListed(st); listed >= 0)
        return listed == 1;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY; // another program's exclusive mode
    bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!busy)
        flock(fd, LOCK_UN);
    ::close(fd);
    return busy;
}
