// Appending to a shared log on POSIX systems: flock, fdatasync, ftruncate.
#include "updater/LogFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes all of `text` at the end; false with errno set when the file took only part of it.
bool WriteAll(int fd, const char* text, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        text += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool EndsInNewline(int fd, off_t size) {
    char last = '\n';
    return size == 0 || (pread(fd, &last, 1, size - 1) == 1 && last == '\n');
}

bool Append(int fd, const std::string& line, std::string& error, int& errorCode) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            errorCode = errno;
            error = std::string("cannot lock: ") + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        errorCode = errno;
        error = std::strerror(errno);
        return false;
    }
    // A line left without its end (a program killed mid-write elsewhere, an editor) keeps
    // its own line instead of swallowing this record.
    const std::string text = (EndsInNewline(fd, st.st_size) ? "" : "\n") + line + "\n";
    if (WriteAll(fd, text.data(), text.size()) && fdatasync(fd) == 0)
        return true;
    errorCode = errno;
    error = std::strerror(errno);
    // Under the lock nobody else wrote after st.st_size.
    if (ftruncate(fd, st.st_size) == 0)
        fdatasync(fd);
    return false;
}

} // namespace

bool AppendLogLine(const std::string& path, const std::string& line, std::string& error,
                   int& errorCode) {
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        errorCode = errno;
        error = std::strerror(errno);
        return false;
    }
    const bool written = Append(fd, line, error, errorCode);
    close(fd); // also drops the lock
    return written;
}
