// The serial ports present on Linux: tty class entries backed by a device, and symlinks in
// the device folder that lead to a pseudo-terminal (the usual way virtual ports are made).
// Nothing is opened to probe: opening a port raises DTR and disturbs whoever uses it.
#include "serial/ComPort.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A folder that is not there lists no port (a system without serial hardware, a container
// without /sys): only one that cannot be read is an error. Null when it is absent.
DirPtr OpenFolder(const std::string& path) {
    DirPtr dir(opendir(path.c_str()));
    if (!dir && errno != ENOENT)
        throw EComPort(mcRegistryError, errno);
    return dir;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A ttyS entry exists for every possible legacy port; only a non-zero type means a UART.
bool UartPresent(const std::string& entry) {
    std::ifstream in(entry + "/type");
    int type = 0;
    return static_cast<bool>(in >> type) && type != 0;
}

// Unix98 pseudo-terminal slaves have majors 136 to 143.
bool IsPseudoTerminal(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

void AddHardwarePorts(std::vector<std::string>& out, const std::string& ttyClassDir) {
    DirPtr dir = OpenFolder(ttyClassDir);
    if (!dir)
        return;
    for (;;) {
        errno = 0; // readdir tells its end from a failure only through errno
        dirent* e = readdir(dir.get());
        if (e == nullptr) {
            if (errno != 0)
                throw EComPort(mcRegistryError, errno);
            break;
        }
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string entry = ttyClassDir + "/" + name;
        if (!Exists(entry + "/device/driver"))
            continue;
        if (name.rfind("ttyS", 0) == 0 && !UartPresent(entry))
            continue;
        out.push_back(name);
    }
}

void AddVirtualPorts(std::vector<std::string>& out, const std::string& devDir) {
    DirPtr dir = OpenFolder(devDir);
    if (!dir)
        return;
    while (dirent* e = readdir(dir.get())) {
        std::string name = e->d_name;
        if (name.rfind("tty", 0) != 0)
            continue;
        std::string path = devDir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && IsPseudoTerminal(path))
            out.push_back(name);
    }
}

unsigned char Fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

} // namespace

bool ComPortNameLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return Fold(static_cast<unsigned char>(x)) < Fold(static_cast<unsigned char>(y));
    });
}

void EnumComPorts(std::vector<std::string>& list, const std::string& ttyClassDir,
                  const std::string& devDir) {
    std::vector<std::string> found;
    AddHardwarePorts(found, ttyClassDir);
    AddVirtualPorts(found, devDir);
    std::stable_sort(found.begin(), found.end(), ComPortNameLess);
    list = std::move(found);
}

void EnumComPorts(std::vector<std::string>& list) {
    EnumComPorts(list, "/sys/class/tty", "/dev");
}
