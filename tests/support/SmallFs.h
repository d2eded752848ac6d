#pragma once
// A small filesystem of its own (a tmpfs the test mounts; needs root), to see what a program
// does when the disk is full. Unmounted with everything in it at the end.
#include "tests/support/TestFiles.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

class SmallFs {
public:
    explicit SmallFs(int kib) {
        const std::string options = "size=" + std::to_string(kib) + "k";
        mounted_ = mount("tmpfs", dir_.Path().c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallFs() {
        if (mounted_)
            umount2(dir_.Path().c_str(), MNT_DETACH);
    }
    SmallFs(const SmallFs&) = delete;
    SmallFs& operator=(const SmallFs&) = delete;

    bool Mounted() const { return mounted_; }
    std::string operator/(const std::string& name) const { return dir_ / name; }

    // Takes every free block into the file "filler".
    void Fill() const {
        const int fd = open((dir_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const std::string block(4096, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    }
    void Free() const { unlink((dir_ / "filler").c_str()); }

private:
    TempDir dir_;
    bool mounted_ = false;
};
