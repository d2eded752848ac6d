/* Two pseudo-terminals joined back to back for the Windows tests under Wine: the port under
 * test is COM5 (the first pair's slave), the test's far end is COM6 (the second pair's
 * slave); whatever one sends, the other receives. Runs the given command (the test under
 * Wine) with the modem-line library preloaded for COM5 (unless it is given as "-"), and writes
 * COM5's line speed into <state dir>/speed whenever it changes.
 *
 *   quorvel-ptybridge <state dir> <preload library> <command> [arguments...]
 */
#define _GNU_SOURCE
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

struct Pair {
    int master, slave;
    char path[64];
};

static void Raw(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
    ioctl(fd, TCSETS2, &t);
}

static int OpenPair(struct Pair* p) {
    p->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (p->master < 0 || grantpt(p->master) || unlockpt(p->master) ||
        ptsname_r(p->master, p->path, sizeof p->path))
        return -1;
    /* Held open so the master never sees a hang-up between the test's opens. */
    p->slave = open(p->path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p->slave < 0)
        return -1;
    Raw(p->master);
    Raw(p->slave);
    return 0;
}

static int Link(const char* dosdevices, const char* name, const char* target) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dosdevices, name);
    unlink(path);
    return symlink(target, path);
}

static void Unlink(const char* dosdevices, const char* name) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dosdevices, name);
    unlink(path);
}

/* Moves what is waiting on one master to the other; a full far side waits for the next round. */
static void Relay(int from, int to) {
    char buf[4096];
    ssize_t n = read(from, buf, sizeof buf);
    for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = write(to, buf + done, (size_t)(n - done));
        if (w > 0)
            done += w;
        else if (w < 0 && errno != EAGAIN && errno != EINTR)
            return;
        else {
            struct pollfd out = {to, POLLOUT, 0};
            poll(&out, 1, 10);
        }
    }
}

static void WriteSpeed(const char* stateDir, int master, unsigned* last) {
    struct termios2 t;
    if (ioctl(master, TCGETS2, &t) != 0 || t.c_ospeed == *last)
        return;
    *last = t.c_ospeed;
    char path[4096], tmp[4100];
    snprintf(path, sizeof path, "%s/speed", stateDir);
    snprintf(tmp, sizeof tmp, "%s.new", path);
    FILE* f = fopen(tmp, "w");
    if (!f)
        return;
    fprintf(f, "%u\n", t.c_ospeed);
    fclose(f);
    rename(tmp, path);
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s <state dir> <preload library> <command> [arguments...]\n",
                argv[0]);
        return 2;
    }
    const char* stateDir = argv[1];
    const char* prefix = getenv("WINEPREFIX");
    if (!prefix) {
        fprintf(stderr, "WINEPREFIX is not set\n");
        return 2;
    }
    char dosdevices[2048];
    if (snprintf(dosdevices, sizeof dosdevices, "%s/dosdevices", prefix) >= (int)sizeof dosdevices)
        return 2;
    struct Pair a, b;
    if (OpenPair(&a) || OpenPair(&b)) {
        perror("pseudo-terminal");
        return 2;
    }
    if (Link(dosdevices, "com5", a.path) || Link(dosdevices, "com6", b.path)) {
        perror(dosdevices);
        return 2;
    }
    char modemState[4096];
    snprintf(modemState, sizeof modemState, "%s/modem", stateDir);
    FILE* f = fopen(modemState, "w");
    if (f) {
        fputs("0\n", f);
        fclose(f);
    }
    unsigned speed = 0;
    WriteSpeed(stateDir, a.master, &speed);

    pid_t child = fork();
    if (child == 0) {
        if (strcmp(argv[2], "-") != 0) /* "-": the lines stay as a pseudo-terminal has them */
            setenv("LD_PRELOAD", argv[2], 1);
        setenv("QUORVEL_MODEM_PTS", a.path, 1);
        setenv("QUORVEL_MODEM_STATE", modemState, 1);
        execvp(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR))
            break;
        struct pollfd p[2] = {{a.master, POLLIN, 0}, {b.master, POLLIN, 0}};
        if (poll(p, 2, 10) > 0) {
            if (p[0].revents & POLLIN)
                Relay(a.master, b.master);
            if (p[1].revents & POLLIN)
                Relay(b.master, a.master);
        }
        WriteSpeed(stateDir, a.master, &speed);
    }
    Unlink(dosdevices, "com5");
    Unlink(dosdevices, "com6");
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
