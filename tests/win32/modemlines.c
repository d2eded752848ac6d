/* Preloaded into Wine for the Windows tests: a pseudo-terminal has no modem lines, and Wine
 * reads them on every round of a device wait. For the pseudo-terminals named in
 * QUORVEL_MODEM_PTS this answers TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC from the file named
 * in QUORVEL_MODEM_STATE, which holds the line bits as a decimal number: the test sets CTS,
 * DSR, carrier and ring there and sees DTR and RTS there. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*IoctlFn)(int, unsigned long, void*);

/* QUORVEL_MODEM_PTS may name several, separated by ':' (they then share one state). */
static int IsOurPty(int fd) {
    const char* want = getenv("QUORVEL_MODEM_PTS");
    struct stat a, b;
    if (!want || fstat(fd, &a) != 0 || !S_ISCHR(a.st_mode))
        return 0;
    for (const char* at = want; *at;) {
        const char* end = strchr(at, ':');
        size_t len = end ? (size_t)(end - at) : strlen(at);
        char path[256];
        if (len < sizeof path) {
            memcpy(path, at, len);
            path[len] = 0;
            if (stat(path, &b) == 0 && a.st_rdev == b.st_rdev)
                return 1;
        }
        at += len + (end ? 1 : 0);
    }
    return 0;
}

/* Read, change and write back the state under a lock, so the test's own writes are not lost. */
static int Update(unsigned long request, int* bits) {
    const char* path = getenv("QUORVEL_MODEM_STATE");
    int fd = path ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0)
        return -1;
    flock(fd, LOCK_EX);
    char text[32] = {0};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    int state = n > 0 ? atoi(text) : 0;
    const int outputs = TIOCM_DTR | TIOCM_RTS;
    if (request == TIOCMGET)
        *bits = state;
    else if (request == TIOCMSET)
        state = (state & ~outputs) | (*bits & outputs);
    else if (request == TIOCMBIS)
        state |= *bits & outputs;
    else if (request == TIOCMBIC)
        state &= ~(*bits & outputs);
    if (request != TIOCMGET) {
        int len = snprintf(text, sizeof text, "%d\n", state);
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text, (size_t)len, 0) != len) {
            close(fd);
            return -1;
        }
    }
    close(fd);
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static IoctlFn real;
    if (!real)
        real = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
    if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
         request == TIOCMBIC) &&
        IsOurPty(fd))
        return Update(request, (int*)arg);
    return real(fd, request, arg);
}
