// links: quorvel_boardsim quorvel_core
// The physical limit of an update: the wire time of the whole built-in image at 19200 baud,
// computed from the block list, against a run through the simulator pacing every byte at the
// line rate. The updater can only come near the computed figure, never below it.
#include "tests/support/SimulatedBoard.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/ReplyParser.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace boardsim;
using Clock = std::chrono::steady_clock;

namespace {

struct SlavePort {
    int Fd;
    void ClearBuffer(bool, bool) { tcflush(Fd, TCIOFLUSH); }
    void Write(const void* data, int length) {
        const char* p = static_cast<const char*>(data);
        while (length > 0) {
            ssize_t n = write(Fd, p, static_cast<size_t>(length));
            if (n > 0) {
                p += n;
                length -= static_cast<int>(n);
            }
        }
    }
};

struct Replies : ReplyReceiver {
    int Statuses = 0, Acks = 0, Naks = 0, Completions = 0;
    void IdentificationReceived() override {}
    void StatusReceived() override {
        ++Statuses;
        ResetHeaderKey();
    }
    void AckReceived(char code) override { ++(code == 'D' ? Acks : Naks); }
    void CompletionReceived() override { ++Completions; }
};

bool Pump(int fd, Replies& replies, int& counter, int target) {
    while (counter < target) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        uint8_t buffer[64];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            ParseReplyBytes(std::span(buffer, static_cast<size_t>(n)), replies);
    }
    return true;
}

} // namespace

int main() {
    LoadFirmwareImage();
    long frameBytes = 0;
    for (const FirmwareBlock* b = FirstBlock; b; b = b->Next)
        frameBytes += 15 + b->Count;
    const long answerBytes = 4L * BlockCount;
    const long closingBytes = 4 + 4; // "<F@>" and "<FF>"
    const long totalBytes = frameBytes + answerBytes + closingBytes;
    const double wireSeconds = totalBytes * 10.0 / 19200;

    SimulatorOptions options;
    options.Pace = true;
    options.Board.StartInMonitor = true;
    SimulatedBoard sim(options);

    int fd = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    tcsetattr(fd, TCSANOW, &t);

    Replies replies;
    Controller.Updating = true;
    Parser.ParserState = 14; // reading the boot monitor's replies, as after a connect wait
    SlavePort port{fd};
    bool ok = write(fd, "<S@>", 4) == 4 && Pump(fd, replies, replies.Statuses, 1);

    const auto start = Clock::now();
    for (const FirmwareBlock* b = FirstBlock; ok && b; b = b->Next) {
        SendBlockFrame(port, *b);
        const int before = replies.Acks + replies.Naks;
        ok = Pump(fd, replies, replies.Acks, replies.Acks + 1) &&
             replies.Acks + replies.Naks > before;
    }
    ok = ok && write(fd, "<F@>", 4) == 4 && Pump(fd, replies, replies.Completions, 1);
    const double measured = std::chrono::duration<double>(Clock::now() - start).count();

    sim.Finish();
    close(fd);
    if (!ok || replies.Naks != 0) {
        std::fprintf(
            stderr,
            "the paced run did not complete cleanly (status %d, acks %d, naks %d, completion %d)\n",
            replies.Statuses, replies.Acks, replies.Naks, replies.Completions);
        return 1;
    }
    std::printf("built-in image: %d blocks, %ld frame bytes, %ld answer bytes, %ld closing bytes\n",
                BlockCount, frameBytes, answerBytes, closingBytes);
    std::printf("wire time at 19200 baud (10 bits/byte): %.3f s  (the physical limit)\n",
                wireSeconds);
    std::printf("paced run through the simulator:       %.3f s  (%.1f%% of the limit, "
                "%.2f ms per frame above it)\n",
                measured, 100.0 * measured / wireSeconds,
                1000.0 * (measured - wireSeconds) / BlockCount);
    return 0;
}
