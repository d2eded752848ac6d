// Who holds a tty, found the way fuser finds it. Nothing here opens a port nobody else has
// open: the first open raises DTR, which resets many boards.
#include "serial/ComPortInfo.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string DevicePath(const std::string& port) {
    return !port.empty() && port[0] == '/' ? port : "/dev/" + port;
}

std::string ProcessName(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    // The kernel keeps 15 bytes of a name: the program's own file name is whole.
    if (name.size() == 15) {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string program;
        std::getline(cmdline, program, '\0');
        program = program.substr(program.find_last_of('/') + 1);
        if (program.rfind(name, 0) == 0)
            name = program;
    }
    return name;
}

bool Alive(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

void Add(std::vector<ComPortHolder>& holders, int pid, ComPortHolder::THow how) {
    for (const ComPortHolder& h : holders)
        if (h.Pid == pid && h.How == how)
            return;
    holders.push_back({pid, pid > 0 ? ProcessName(pid) : std::string(), how});
}

// The pseudo-terminal a descriptor of /dev/ptmx leads to, -1 for any other descriptor.
int PtyIndexOfMaster(const std::string& procDir, const char* fd) {
    char target[64];
    ssize_t n = readlink((procDir + "/fd/" + fd).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return -1;
    target[n] = 0;
    if (std::string(target) != "/dev/ptmx" && std::string(target) != "/dev/pts/ptmx")
        return -1;
    std::ifstream info(procDir + "/fdinfo/" + fd);
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("tty-index:", 0) == 0)
            return std::atoi(line.c_str() + 10);
    return -1;
}

// A device asked about, and the pseudo-terminal it is (-1 for any other tty).
struct Device {
    dev_t Number;
    int PtyIndex;
    explicit Device(dev_t number) : Number(number), PtyIndex(-1) {
        if (major(number) >= 136 && major(number) <= 143)
            PtyIndex = static_cast<int>((major(number) - 136) * 256 + minor(number));
    }
};

// Processes other than this one with one of the devices open, in one pass over /proc for all
// of them (a pass reads every descriptor of every process). The far end of a pseudo-terminal
// (a board simulator, socat) holds its master and often the slave too: it is the line, not a
// program competing for it.
void OpenBy(const std::vector<Device>& devices, std::vector<std::vector<ComPortHolder>>& holders) {
    DIR* proc = opendir("/proc");
    if (!proc)
        return;
    const int self = getpid();
    const bool anyPty = std::any_of(devices.begin(), devices.end(),
                                    [](const Device& d) { return d.PtyIndex >= 0; });
    std::vector<char> opened(devices.size()), farEnd(devices.size());
    while (dirent* entry = readdir(proc)) {
        int pid = std::atoi(entry->d_name);
        if (pid <= 0 || pid == self)
            continue;
        std::string procDir = std::string("/proc/") + entry->d_name;
        DIR* fds = opendir((procDir + "/fd").c_str()); // another user's needs root
        if (!fds)
            continue;
        std::fill(opened.begin(), opened.end(), 0);
        std::fill(farEnd.begin(), farEnd.end(), 0);
        while (dirent* fd = readdir(fds)) {
            struct stat st;
            if (fd->d_name[0] == '.' || stat((procDir + "/fd/" + fd->d_name).c_str(), &st) != 0 ||
                !S_ISCHR(st.st_mode))
                continue;
            const int master = anyPty ? PtyIndexOfMaster(procDir, fd->d_name) : -1;
            for (size_t i = 0; i < devices.size(); ++i) {
                opened[i] |= st.st_rdev == devices[i].Number;
                farEnd[i] |= master >= 0 && master == devices[i].PtyIndex;
            }
        }
        closedir(fds);
        for (size_t i = 0; i < devices.size(); ++i)
            if (opened[i] && !farEnd[i])
                Add(holders[i], pid, ComPortHolder::hoOpen);
    }
    closedir(proc);
}

// Whole-file locks on the device's inode (the component's flock).
void LockedBy(const struct stat& st, std::vector<ComPortHolder>& holders) {
    std::ifstream in("/proc/locks");
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string number, kind, mode, access, where;
        int pid = 0;
        words >> number >> kind;
        if (kind == "->") // a waiter, not a holder
            continue;
        words >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == id && pid != getpid())
            Add(holders, pid, ComPortHolder::hoLock);
    }
}

// The exclusive-mode flag. Asked only of a device someone already has open, so this open
// changes no modem line; a refused open is the flag itself (for anyone but root).
bool Exclusive(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
#ifdef TIOCGEXCL
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        exclusive = 0;
#endif
    ::close(fd);
    return exclusive != 0;
}

// A UUCP lock file: the owner's process id as text (or, in the oldest form, a binary int).
int LockFileOwner(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (content.empty())
        return 0;
    if (content.size() == sizeof(int) && (content[0] < ' ' || content[3] < ' ')) {
        int pid;
        std::copy(content.begin(), content.end(), reinterpret_cast<char*>(&pid));
        return pid;
    }
    return std::atoi(content.c_str());
}

// Besides those that have the device open: the lock, the exclusive flag, the lock file.
void OtherHolders(const std::string& path, const struct stat& st, const std::string& lockDir,
                  std::vector<ComPortHolder>& holders) {
    LockedBy(st, holders);
    // The flag belongs to the device, not to a process: it is charged to those that have the
    // device open.
    if (!holders.empty() && Exclusive(path))
        for (size_t i = 0, n = holders.size(); i < n; ++i)
            if (holders[i].How == ComPortHolder::hoOpen)
                Add(holders, holders[i].Pid, ComPortHolder::hoExclusive);
    // The lock file is named after the device's own name, as minicom and friends write it.
    std::string name = path.substr(path.find_last_of('/') + 1);
    char real[4096];
    if (ssize_t n = readlink(path.c_str(), real, sizeof real - 1); n > 0) {
        real[n] = 0;
        std::string target = real;
        name = target.substr(target.find_last_of('/') + 1);
    }
    for (const std::string& candidate : {path.substr(path.find_last_of('/') + 1), name}) {
        int owner = LockFileOwner(lockDir + "/LCK.." + candidate);
        if (Alive(owner) && owner != getpid())
            Add(holders, owner, ComPortHolder::hoLockFile);
    }
}

} // namespace

std::vector<std::vector<ComPortHolder>> ComPortHolders(const std::vector<std::string>& ports,
                                                       const std::string& lockDir) {
    std::vector<std::vector<ComPortHolder>> holders(ports.size());
    std::vector<Device> devices;
    std::vector<size_t> asked; // the index in `ports` of each device
    std::vector<struct stat> stats(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        if (stat(DevicePath(ports[i]).c_str(), &stats[i]) != 0 || !S_ISCHR(stats[i].st_mode))
            continue;
        devices.emplace_back(stats[i].st_rdev);
        asked.push_back(i);
    }
    // A port that is not there (a loop looking for its adapter) costs no look through /proc.
    if (devices.empty())
        return holders;
    std::vector<std::vector<ComPortHolder>> openBy(devices.size());
    OpenBy(devices, openBy);
    for (size_t d = 0; d < devices.size(); ++d) {
        holders[asked[d]] = std::move(openBy[d]);
        OtherHolders(DevicePath(ports[asked[d]]), stats[asked[d]], lockDir, holders[asked[d]]);
    }
    return holders;
}

std::vector<ComPortHolder> ComPortHolders(const std::string& port, const std::string& lockDir) {
    return ComPortHolders(std::vector<std::string>{port}, lockDir).front();
}
