// links: quorvel_window quorvel_boardsim
// A whole update of the built-in image through the main window, clicked as a user would,
// against the board simulator pacing every byte at the line rate; compared with the wire time
// of the same bytes at 19200 baud, which no updater can beat; then the same with one frame in
// 50 refused by the board, one answer late, lost, a refusal near the end, and a line whose
// every answer is 950 ms late (about seven minutes), against the clean update. Also: how long the
// process takes from its start to the window being on screen, and the peak memory of the program
// itself.
//
//   build/bin/update_bench            (as root: the simulator's port is linked into /dev)
//   build/bin/update_bench --answer-delay-ms 16   every answer that much late, as a USB
//                                     adapter's latency timer holds it back
#include "framework/Application.h"
#include "tests/support/SimulatedBoard.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/Unit1.h"
#include "updater/UpdateController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>
#include <QWindow>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SlowLineMs = 950;

// Seconds since this process was started by the kernel.
double SecondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string field;
    long long startTicks = 0;
    for (int i = 1; i <= 22 && stat >> field; ++i)
        if (i == 22)
            startTicks = std::stoll(field);
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    double now = boot.tv_sec + boot.tv_nsec / 1e9;
    return now - double(startTicks) / double(sysconf(_SC_CLK_TCK));
}

bool RunUntil(const std::function<bool()>& done, double seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::usleep(200);
    }
    return true;
}

// Bytes on the wire for the whole image: every frame, its answer, "<F@>" and "<FF>".
long WireBytes() {
    long bytes = 8;
    for (const FirmwareBlock* b = FirstBlock; b; b = b->Next)
        bytes += 15 + b->Count + 4;
    return bytes;
}

// The peak resident memory of the program itself, shown idle with its image loaded.
long ProgramPeakKilobytes(const std::string& program) {
    if (access(program.c_str(), X_OK) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    kill(child, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss;
}

struct Run {
    bool Ok = false;
    double Seconds = 0;
    uint64_t Naks = 0;
};

// One whole update through a new window against the simulator pacing every byte, the board
// refusing every N-th frame (0: none), every answer `answerDelayMs` late, with the board's own
// `faults` if given. Timed from the click on "Iniciar" to the completion box.
Run PacedUpdate(int nakEvery, int answerDelayMs, const boardsim::BoardConfig* faults = nullptr) {
    // The board comes first, so the window's port list shows it, as for a user.
    boardsim::SimulatorOptions options;
    if (faults)
        options.Board = *faults;
    options.Pace = true;
    options.Board.NakEvery = nakEvery;
    options.AnswerDelayMs = answerDelayMs;
    SimulatedBoard simulator(options);
    const std::string name = "ttyQBENCH" + std::to_string(getpid());
    const std::string link = "/dev/" + name;
    if (symlink(simulator.SlavePath().c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "cannot link %s (run as root)\n", link.c_str());
        return {};
    }
    Controller = ControllerState{};
    auto form = std::make_unique<TForm1>();
    TForm1& f = *form;
    f.show();
    f.ComComboBox1->SetText(name);

    std::string shown;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text().toStdString();
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start(1);

    bool ok = true;
    f.BtSerial->click();
    ok = ok && f.ComPort1->Connected();
    f.TabControl1->setCurrentIndex(1);
    f.BtConecta->click();
    ok = ok && RunUntil([&] { return Controller.BoardReady && f.BtInicia->isEnabled(); }, 20);
    const auto start = Clock::now();
    if (ok)
        f.BtInicia->click();
    ok = ok && RunUntil([&] { return !shown.empty(); }, 600);
    const double measured = std::chrono::duration<double>(Clock::now() - start).count();
    f.TabControl1->setCurrentIndex(0);
    f.BtSerial->click();
    const boardsim::BoardStats& stats = simulator.Finish().Stats();
    unlink(link.c_str());
    form.reset();

    // Every resend answers a refusal (the refused block, then it and the six after it once
    // more); any other would be a frame lost or waited out.
    if (!ok || shown.rfind("Atualização concluída", 0) != 0 ||
        (!faults && stats.Resends > stats.Naks * (1 + UpdateProtocol::EndBlocks))) {
        std::fprintf(stderr, "the update did not complete cleanly (%s; resends %llu)\n",
                     shown.c_str(), static_cast<unsigned long long>(stats.Resends));
        return {};
    }
    return {true, measured, stats.Naks};
}

} // namespace

int main(int argc, char** argv) {
    int answerDelayMs = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--answer-delay-ms")
            answerDelayMs = std::atoi(argv[i + 1]);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication app(argc, argv);
    app.SetTitle("Atualizador Quorvel");
    auto form = std::make_unique<TForm1>();
    form->show();
    RunUntil([&] { return form->windowHandle() && form->windowHandle()->isExposed(); }, 10);
    const double startUp = SecondsSinceProcessStart();
    form.reset();

    Run clean = PacedUpdate(0, answerDelayMs);
    // One refused frame in 50: each is sent again on the next tick, never more than one frame
    // on its way, and the block with the six after it once more.
    Run refusing = clean.Ok ? PacedUpdate(50, answerDelayMs) : Run{};
    // One answer 1.5 s late: the frame goes again after the wait, and the next block waits for
    // the late answer and the resend's own.
    boardsim::BoardConfig late;
    late.AckDelayMs = {{200, 1500}};
    Run lateAnswer = refusing.Ok ? PacedUpdate(0, answerDelayMs, &late) : Run{};
    // A refusal among the last seven blocks: the last seven go again before "<F@>".
    boardsim::BoardConfig nearEnd;
    nearEnd.AckCode = {{BlockCount - 3, '?'}};
    Run faultNearEnd = lateAnswer.Ok ? PacedUpdate(0, answerDelayMs, &nearEnd) : Run{};
    // One answer lost: the frame goes again after the wait; the resend's answer, taken for the
    // lost one, leaves the resend owed, which counts as lost after the copy-lost limit; then
    // the block and the six after it go again.
    boardsim::BoardConfig lost;
    lost.DropAnswerTo = 200;
    Run lostAnswer = faultNearEnd.Ok ? PacedUpdate(0, answerDelayMs, &lost) : Run{};
    // A slow but healthy line: every answer to a frame 950 ms late.
    boardsim::BoardConfig slow;
    for (int frame = 1; frame <= BlockCount; ++frame)
        slow.AckDelayMs[frame] = SlowLineMs;
    Run slowLine = lostAnswer.Ok ? PacedUpdate(0, answerDelayMs, &slow) : Run{};
    if (!clean.Ok || !refusing.Ok || !lateAnswer.Ok || !faultNearEnd.Ok || !lostAnswer.Ok ||
        !slowLine.Ok)
        return 1;
    const long bytes = WireBytes();
    const double limit = bytes * 10.0 / 19200;
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::string program = argv[0];
    program = program.substr(0, program.find_last_of('/') + 1) + "quorvel-updater";
    const long programPeak = ProgramPeakKilobytes(program);

    std::printf("built-in image: %d blocks, %ld bytes on the wire\n", BlockCount, bytes);
    std::printf("wire time at 19200 baud:           %.3f s  (the limit)\n", limit);
    if (answerDelayMs > 0)
        std::printf("every answer late by:              %d ms\n", answerDelayMs);
    std::printf("update through the window, paced:  %.3f s  (%.2f%% above the limit; target 5%%)\n",
                clean.Seconds, 100.0 * (clean.Seconds - limit) / limit);
    // Each refusal sends its block and the six after it again.
    const double sevenFrames = 7 * (15 + 64 + 4) * 10.0 / 19200;
    std::printf("the same, one frame in 50 refused: %.3f s  (%llu refused; %.2f%% above the clean "
                "update; target 10%% and seven frames per refusal, %.3f s)\n",
                refusing.Seconds, static_cast<unsigned long long>(refusing.Naks),
                100.0 * (refusing.Seconds - clean.Seconds) / clean.Seconds,
                clean.Seconds * 1.1 + refusing.Naks * sevenFrames);
    std::printf(
        "the same, one answer 1.5 s late:    %.3f s  (%.3f s above the clean update; target "
        "1.5 s + two ticks)\n",
        lateAnswer.Seconds, lateAnswer.Seconds - clean.Seconds);
    std::printf(
        "the same, a refusal 3 blocks before the end: %.3f s  (%.3f s above the clean update; "
        "target seven frames, %.3f s)\n",
        faultNearEnd.Seconds, faultNearEnd.Seconds - clean.Seconds, sevenFrames);
    std::printf("the same, one answer lost:         %.3f s  (%.3f s above the clean update; "
                "target the wait, the copy-lost limit, a tick and seven frames, %.3f s)\n",
                lostAnswer.Seconds, lostAnswer.Seconds - clean.Seconds,
                1.1 + UpdateProtocol::LostCopyMs / 1000.0 + sevenFrames);
    const double slowLimit = limit + BlockCount * SlowLineMs / 1000.0;
    std::printf("every answer %d ms late:           %.3f s  (%.2f%% above the wire time and %d "
                "times the latency, %.3f s; target 2%%)\n",
                SlowLineMs, slowLine.Seconds, 100.0 * (slowLine.Seconds - slowLimit) / slowLimit,
                BlockCount, slowLimit);
    std::printf("process start to window shown:     %.0f ms\n", startUp * 1000);
    std::printf("peak memory, this bench process:   %ld KiB (window, simulator, two updates)\n",
                self.ru_maxrss);
    if (programPeak >= 0)
        std::printf("peak memory, quorvel-updater idle: %ld KiB\n", programPeak);
    return 0;
}
