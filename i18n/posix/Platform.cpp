#include "i18n/Platform.h"

#include "framework/Exception.h"
#include "i18n/Translation.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gnugettext {

namespace {

// Closes the descriptor on every path out; the mapping outlives it.
struct TFd {
    int fd;
    ~TFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

bool IsPathSeparator(char c) {
    return c == '/';
}

std::string OwnExecutablePath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

std::string SystemLanguage() {
    return LanguageFromEnvironment();
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TFileView MapFileView(const std::string& path) {
    // O_NONBLOCK: a FIFO under the catalogue's name must not block the lookup.
    TFd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw Exception("Cannot open file " + path);
    if (st.st_size <= 0)
        throw Exception("Cannot create memory map on file " + path);
    void* view =
        ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (view == MAP_FAILED) {
        int err = errno;
        throw Exception("Cannot map file " + path + " into memory. Reason: " + std::strerror(err));
    }
    return {static_cast<const unsigned char*>(view), static_cast<uint64_t>(st.st_size), nullptr};
}

void UnmapFileView(TFileView& view) {
    if (view.Data)
        ::munmap(const_cast<unsigned char*>(view.Data), static_cast<size_t>(view.Size));
    view = {};
}

} // namespace gnugettext
