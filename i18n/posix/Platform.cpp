#include "i18n/Platform.h"

#include "framework/Exception.h"
#include "i18n/Translation.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace gnugettext {

namespace {

// Closes the descriptor on every path out.
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

TFileView LoadFileView(const std::string& path, uint64_t maxSize) {
    // O_NONBLOCK: a FIFO under the catalogue's name must not block the lookup.
    TFd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw Exception("Cannot open file " + path);
    if (st.st_size <= 0)
        throw Exception("Cannot create memory map on file " + path);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > maxSize)
        return {nullptr, size, nullptr};
    std::unique_ptr<unsigned char[]> data(new unsigned char[size]);
    uint64_t got = 0;
    while (got < size) {
        ssize_t n = ::read(file.fd, data.get() + got, static_cast<size_t>(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            throw Exception("Cannot map file " + path +
                            " into memory. Reason: " + std::strerror(err));
        }
        if (n == 0)
            break; // cut short meanwhile: what was read is judged like any other file
        got += static_cast<uint64_t>(n);
    }
    return {data.release(), got, nullptr};
}

void UnloadFileView(TFileView& view) {
    delete[] view.Data;
    view = {};
}

} // namespace gnugettext
