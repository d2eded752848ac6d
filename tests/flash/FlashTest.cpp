// quorvel-flash as a bench or a CI job runs it: a child process updating board simulators on
// pseudo-terminals, judged by its exit status, its output, its service log and what the boards
// received.
#include "framework/Sha256.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SmallFs.h"
#include "tests/support/TestFiles.h"
#include "updater/FirmwareImage.h"
#include "updater/OpenFailure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

ChildProcess Board(std::vector<std::string> args) {
    return ChildProcess(BOARDSIM_PROGRAM, std::move(args));
}

// A pseudo-terminal nobody answers on.
class SilentPort {
public:
    SilentPort() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
    }
    ~SilentPort() { close(master_); }
    const std::string& Path() const { return path_; }

private:
    int master_;
    std::string path_;
};

// A port another program holds, with the same lock the serial component takes.
class HeldPort : public SilentPort {
public:
    HeldPort() {
        fd_ = open(Path().c_str(), O_RDWR | O_NOCTTY);
        flock(fd_, LOCK_EX);
    }
    ~HeldPort() { close(fd_); }

private:
    int fd_;
};

// The log's lines by port.
std::map<std::string, std::vector<std::string>> LogLines(const std::string& path) {
    std::map<std::string, std::vector<std::string>> lines;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        auto at = line.find("\"port\":\"");
        if (at == std::string::npos)
            continue;
        at += 8;
        lines[line.substr(at, line.find('"', at) - at)].push_back(line);
    }
    return lines;
}

std::string Field(const std::string& line, const std::string& key) {
    auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos)
        return "<none>";
    at += key.size() + 3;
    if (line[at] == '"')
        return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

// SHA-256 of the built-in image's bytes in address order, as the simulator's report gives it.
std::string BuiltInImageSha() {
    LoadFirmwareImage();
    std::map<uint32_t, uint8_t> bytes;
    for (FirmwareBlock* b = FirstBlock; b; b = b->Next)
        for (int i = 0; i < b->Count; ++i)
            bytes[b->Address() + i] = b->Data[i];
    Sha256 sha;
    for (auto [address, value] : bytes)
        sha.Update(&value, 1);
    return sha.HexDigest();
}

} // namespace

TEST(Flash, FourBoardsAtOnceEachGetTheExactImage) {
    TempDir dir;
    std::vector<std::unique_ptr<ChildProcess>> boards;
    for (int i = 0; i < 4; ++i) {
        // Two start in their normal firmware, two already in the boot monitor.
        std::vector<std::string> args{"--serial", "C0000" + std::to_string(i), "--exit-when-done",
                                      "--report", dir / ("r" + std::to_string(i) + ".json")};
        if (i % 2)
            args.push_back("--boot");
        // One refuses every 50th frame: its record counts what that cost.
        if (i == 3)
            args.insert(args.end(), {"--nak-every", "50"});
        boards.push_back(std::make_unique<ChildProcess>(BOARDSIM_PROGRAM, args));
        ASSERT_FALSE(boards.back()->Path().empty());
    }
    std::vector<std::string> args{"--verbose", "--log", dir / "log.jsonl"};
    for (auto& b : boards)
        args.push_back(b->Path());
    ChildProcess flash(FLASH_PROGRAM, args, dir / "out", dir / "err");
    ASSERT_EQ(flash.Wait(), 0) << ReadFile(dir / "out") << ReadFile(dir / "err");

    const std::string sha = BuiltInImageSha();
    auto log = LogLines(dir / "log.jsonl");
    const std::string out = ReadFile(dir / "out");
    const std::string trace = ReadFile(dir / "err");
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(boards[i]->Wait(), 0);
        // Every frame and answer with its time: the status query, then the reply to it.
        const std::string port = boards[i]->Path();
        const size_t query = trace.find("Z " + port + " > <S@> (4)\n");
        EXPECT_LT(query, trace.find("Z " + port + " < <KX27V4.4M1.0C0000" + std::to_string(i)))
            << trace;
        ASSERT_EQ(log[port].size(), 1u) << port;
        const std::string& line = log[port][0];
        const int refusals = std::atoi(Field(line, "refusals").c_str());
        const std::string report = ReadFile(dir / ("r" + std::to_string(i) + ".json"));
        EXPECT_TRUE(Has(report, "\"flashed_sha256\": \"" + sha + "\"")) << report;
        // Each refused block goes again with the six after it.
        EXPECT_TRUE(Has(report, "\"accepted\": " + std::to_string(BlockCount + 7 * refusals) + ","))
            << report;
        EXPECT_TRUE(Has(report, "\"naks\": " + std::to_string(refusals) + ",")) << report;
        EXPECT_EQ(Field(line, "result"), "completed");
        EXPECT_EQ(Field(line, "serial"), "C0000" + std::to_string(i));
        EXPECT_EQ(Field(line, "board"), "KX27");
        EXPECT_EQ(Field(line, "firmware_before"), "4.4");
        EXPECT_EQ(Field(line, "monitor"), "1.0");
        EXPECT_EQ(Field(line, "firmware_written"), "4.5");
        EXPECT_EQ(Field(line, "blocks"), std::to_string(BlockCount));
        EXPECT_EQ(Field(line, "block_count"), std::to_string(BlockCount));
        EXPECT_NE(Field(line, "start"), "");
        if (i == 3) {
            EXPECT_GE(refusals, BlockCount / 50);
        } else {
            EXPECT_EQ(refusals, 0);
        }
        EXPECT_EQ(Field(line, "resends"), std::to_string(refusals));
        // Not on a terminal: plain lines, one per state change, and the result.
        EXPECT_TRUE(Has(out, port + ": connecting\n")) << out;
        EXPECT_TRUE(Has(out, port + ": completed, KX27 C0000" + std::to_string(i))) << out;
    }
}

TEST(Flash, EachFailureSaysWhatHappenedAndWhatToDoWhileTheOtherBoardCompletes) {
    LoadFirmwareImage(); // the expected lines hold the block count
    struct Case {
        const char* name;
        std::vector<std::string> boardArgs; // empty: a port without a board behind it
        bool held;
        const char* result;
        std::string line;
        int status;
        const char* resends;
        const char* lang = "C";
        bool quiet = false;             // only the result lines
        const char* verified = nullptr; // --verify, and the record's "verified"
        const char* reason = nullptr;   // the record's "reason", when checked
    };
    const std::string holder = "flash_tests (pid " + std::to_string(getpid()) + ")";
    const Case cases[] = {
        {"silent",
         {},
         false,
         "no-answer",
         ": no answer: no board answered: check the cable",
         3,
         "0",
         "C",
         true},
        {"silent",
         {},
         false,
         "no-answer",
         ": sem resposta: nenhuma placa respondeu: confira o cabo",
         3,
         "0",
         "pt_BR.UTF-8"},
        {"monitor 0.9",
         {"--boot", "--incompatible-monitor"},
         false,
         "wrong-monitor",
         ": incompatible boot monitor, KX27 A10342, monitor 0.9 (needs 1.0): this updater works "
         "with boot monitor 1.0 only",
         4,
         "0"},
        {"monitor 0.9",
         {"--boot", "--incompatible-monitor"},
         false,
         "wrong-monitor",
         ": monitor de boot incompatível, KX27 A10342, monitor 0.9 (precisa de 1.0): este "
         "atualizador só funciona com o monitor de boot 1.0",
         4,
         "0",
         "pt_BR.UTF-8"},
        {"held by another program",
         {},
         true,
         "open-failed",
         ": could not open the port: in use by " + holder + ": close it and run again",
         2,
         "0"},
        {"held by another program",
         {},
         true,
         "open-failed",
         ": não foi possível abrir a porta: em uso por " + holder + ": feche-o e execute de novo",
         2,
         "0",
         "pt_BR.UTF-8"},
        // Five blocks accepted, then nothing: sent three times in all, then given up.
        {"stops answering",
         {"--boot", "--silent-after", "5"},
         false,
         "given-up",
         ": given up, KX27 A10342, 5/" + std::to_string(BlockCount) +
             " blocks, 2 resends: the board stopped answering: to try again, switch the board on "
             "with the 'Dígito' key held down",
         5,
         "2"},
        {"stops answering",
         {"--boot", "--silent-after", "5"},
         false,
         "given-up",
         ": abandonada, KX27 A10342, 5/" + std::to_string(BlockCount) +
             " blocos, 2 reenvios: a placa parou de responder. Para tentar novamente, ligue a "
             "placa com a tecla 'Dígito' pressionada",
         5,
         "2",
         "pt_BR.UTF-8"},
        // Ends that say what happened: a board refusing one block, an answer too many.
        {"refuses every frame",
         {"--boot", "--nak-every", "1"},
         false,
         "given-up",
         ": given up, KX27 A10342, 0/" + std::to_string(BlockCount) +
             " blocks, 9 resends: the board refused block 0x0800 ten times: to try again, "
             "switch the board on with the 'Dígito' key held down and run the update again",
         5,
         "9",
         "C",
         false,
         nullptr,
         "refused: the board refused block 0x0800 ten times"},
        {"answers one frame twice",
         {"--boot", "--ack-twice", "5"},
         false,
         "given-up",
         ": given up, KX27 A10342, 6/" + std::to_string(BlockCount) +
             " blocks: answers out of step with the frames: the board may hold a wrong image; "
             "switch it on with the 'Dígito' key held down and run the update again",
         5,
         "0",
         "C",
         false,
         nullptr,
         "out-of-step: answers out of step with the frames"},
        {"answers one frame twice",
         {"--boot", "--ack-twice", "5"},
         false,
         "given-up",
         ": abandonada, KX27 A10342, 6/" + std::to_string(BlockCount) +
             " blocos: respostas fora de passo com os quadros: a placa pode ter uma imagem "
             "errada; ligue-a com a tecla 'Dígito' pressionada e execute a atualização novamente",
         5,
         "0",
         "pt_BR.UTF-8",
         false,
         nullptr,
         "out-of-step: answers out of step with the frames"},
        // --verify: the restarted board answers with the new firmware, never answers, or
        // answers with another one.
        {"restarts with the new firmware",
         {"--boot", "--reboot"},
         false,
         "completed",
         ": completed, KX27 A10342, 430/430 blocks, firmware 4.5 runs after the restart",
         0,
         "0",
         "C",
         false,
         "true"},
        {"never comes back",
         {"--boot"},
         false,
         "completed",
         ": completed, not verified, KX27 A10342, 430/430 blocks: no answer after the restart: "
         "the image was sent whole, yet the board does not run it",
         6,
         "0",
         "C",
         false,
         "false"},
        {"restarts with another firmware",
         {"--boot", "--reboot-fw", "4.4"},
         false,
         "completed",
         ": concluída, não verificada, KX27 A10342, 430/430 blocos: firmware 4.4 depois de "
         "religada, 4.5 esperado: a imagem foi enviada inteira, mas a placa não a executa",
         6,
         "0",
         "pt_BR.UTF-8",
         false,
         "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.lang);
        TempDir dir;
        // A board that restarts is still running when it has been checked.
        ChildProcess good =
            Board({"--boot", "--serial", "G00001", c.verified ? "--reboot" : "--exit-when-done"});
        SilentPort silent;
        HeldPort held;
        std::unique_ptr<ChildProcess> board;
        std::string port = c.held ? held.Path() : silent.Path();
        if (!c.boardArgs.empty()) {
            board = std::make_unique<ChildProcess>(BOARDSIM_PROGRAM, c.boardArgs);
            port = board->Path();
        }
        std::vector<std::string> args{"--wait", "1", "--log", dir / "log.jsonl", good.Path(), port};
        if (c.quiet)
            args.push_back("--quiet");
        if (c.verified)
            args.push_back("--verify");
        ChildProcess flash(FLASH_PROGRAM, args, dir / "out", dir / "err", c.lang);
        EXPECT_EQ(flash.Wait(), c.status) << ReadFile(dir / "out") << ReadFile(dir / "err");
        auto log = LogLines(dir / "log.jsonl");
        ASSERT_EQ(log[good.Path()].size(), 1u);
        EXPECT_EQ(Field(log[good.Path()][0], "result"), "completed");
        ASSERT_EQ(log[port].size(), 1u);
        EXPECT_EQ(Field(log[port][0], "result"), c.result);
        EXPECT_EQ(Field(log[port][0], "resends"), c.resends);
        EXPECT_EQ(Field(log[port][0], "verified"), c.verified ? c.verified : "<none>");
        EXPECT_EQ(Field(log[good.Path()][0], "verified"), c.verified ? "true" : "<none>");
        // The record's words are English in every language; who held the port is named.
        if (!c.verified) {
            EXPECT_EQ(Field(log[port][0], "reason"),
                      c.held     ? "open-failed: in use by another program (EBUSY)"
                      : c.reason ? c.reason
                                 : c.result);
        }
        EXPECT_EQ(Field(log[port][0], "held_by"), c.held ? holder : "<none>");
        const std::string out = ReadFile(dir / "out");
        EXPECT_TRUE(Has(out, port + c.line)) << port + c.line << "\n" << out;
        EXPECT_EQ(Has(out, ": connecting\n"), !c.quiet && c.lang[0] == 'C') << out;
    }
}

TEST(Flash, AdapterPulledOutMidTransferSaysReconnectAndRestart) {
    for (const char* lang : {"C", "pt_BR.UTF-8"}) {
        TempDir dir;
        ChildProcess board = Board({"--boot", "--pace", "--serial", "P00001"});
        ChildProcess flash(FLASH_PROGRAM, {"--json", "--log", dir / "log.jsonl", board.Path()},
                           dir / "out", dir / "err", lang);
        ASSERT_TRUE(WaitForText(dir / "out", "\"event\":\"progress\"")) << ReadFile(dir / "out");
        board.Signal(SIGKILL); // the line hangs up as an unplugged adapter's does
        EXPECT_EQ(flash.Wait(10s), 2) << ReadFile(dir / "out");
        const std::string out = ReadFile(dir / "out");
        EXPECT_TRUE(Has(out, "\"result\":\"port-error\"")) << out;
        // The window's own words for it.
        EXPECT_TRUE(
            Has(out, "\"detail\":\"" + TransferFailureCause(EIO, lang[0] == 'C'
                                                                     ? CauseLanguage::English
                                                                     : CauseLanguage::Portuguese)))
            << out;
        EXPECT_TRUE(Has(out, "\"event\":\"summary\",\"time\":\"")) << out;
        EXPECT_TRUE(Has(ReadFile(dir / "log.jsonl"),
                        "\"result\":\"port-error\",\"reason\":\"port-error: adapter "
                        "disconnected (EIO)\""))
            << ReadFile(dir / "log.jsonl");
    }
}

TEST(Flash, WhoHoldsAPortIsNamedHoweverItHoldsIt) {
    TempDir dir;
    const std::string lockDir = "/var/lock";
    const bool canLock = access(lockDir.c_str(), W_OK) == 0;
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    struct Case {
        const char* name;
        int how;    // 0 opened, 1 flock, 2 exclusive mode, 3 lock file of a live process, 4 dead,
                    // 5 opened by a program whose name is longer than the kernel keeps
        bool named; // the update refuses the port and names the process
    };
    const Case cases[] = {
        {"opened by another process", 0, true},
        {"flock", 1, true},
        {"exclusive mode", 2, true},
        {"lock file of a running process", 3, true},
        {"lock file of a dead process", 4, false},
        {"a long program name", 5, true},
    };
    // A program of that name: sleep under another name.
    const std::string longName = dir / "fault_matrix_test_holder";
    std::filesystem::copy_file("/bin/sleep", longName);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.how == 3 || c.how == 4) && !canLock)
            continue;
        // The test holds the line's far end (the master), as a board simulator would.
        SilentPort port;
        // The lock file is named after the name the port is given by.
        const std::string link = dir / ("ttyQHOLD" + std::to_string(c.how));
        ASSERT_EQ(symlink(port.Path().c_str(), link.c_str()), 0);
        const std::string lockFile = lockDir + "/LCK..ttyQHOLD" + std::to_string(c.how);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = fork();
        if (holder == 0) {
            // Not the far end: the master stays with the test only.
            for (int f = 3; f < 1024; ++f)
                if (f != ready[1])
                    close(f);
            if (c.how <= 2 || c.how == 5) {
                int fd = open(port.Path().c_str(), O_RDWR | O_NOCTTY);
                if (c.how == 1)
                    flock(fd, LOCK_EX);
                if (c.how == 2)
                    ioctl(fd, TIOCEXCL);
            }
            if (c.how == 5) {
                // The pipe closes once the program runs under its own name.
                fcntl(ready[1], F_SETFD, FD_CLOEXEC);
                execl(longName.c_str(), longName.c_str(), "1000", nullptr);
                _exit(127);
            }
            [[maybe_unused]] ssize_t n = write(ready[1], "x", 1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char x;
        ASSERT_EQ(read(ready[0], &x, 1), c.how == 5 ? 0 : 1);
        close(ready[0]);
        if (c.how == 3 || c.how == 4)
            std::ofstream(lockFile) << std::setw(10) << (c.how == 3 ? holder : dead) << "\n";
        ChildProcess flash(FLASH_PROGRAM, {"--wait=1", "--no-log", link}, dir / "out", dir / "err");
        const int status = flash.Wait();
        const std::string out = ReadFile(dir / "out");
        if (c.named) {
            EXPECT_EQ(status, 2) << out;
            const std::string name = c.how == 5 ? "fault_matrix_test_holder" : "flash_tests";
            EXPECT_TRUE(Has(out, link + ": could not open the port: in use by " + name + " (pid " +
                                     std::to_string(holder) + ")"))
                << out;
        } else {
            EXPECT_EQ(status, 3) << out; // free: nothing answers on it
        }
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        std::remove(lockFile.c_str());
    }
}

TEST(Flash, LoopUpdatesBoardsPluggedInOneAfterAnotherAndWaitsOutTheOneJustUpdated) {
    TempDir dir;
    const std::string link = dir / "ttyBench";
    // It restarts after the update and answers again, with the same serial number.
    ChildProcess first = Board({"--serial", "L00001", "--reboot", "--report", dir / "r1.json"});
    ASSERT_EQ(symlink(first.Path().c_str(), link.c_str()), 0);
    ChildProcess flash(FLASH_PROGRAM, {"--loop", "--json", "--log", dir / "log.jsonl", link},
                       dir / "out", dir / "err");
    ASSERT_TRUE(WaitForText(dir / "log.jsonl", "\"verified\":true")) << ReadFile(dir / "out");
    // Several polls later it is still not updated a second time.
    std::this_thread::sleep_for(1s);
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_TRUE(Has(ReadFile(dir / "r1.json"), "\"completions\": 1,")) << ReadFile(dir / "r1.json");
    // The next board on the same port: the adapter now leads to another line.
    ChildProcess second = Board({"--boot", "--serial", "L00002", "--reboot-fw", "4.4"});
    unlink(link.c_str());
    ASSERT_EQ(symlink(second.Path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitForText(dir / "log.jsonl", "\"result\":\"completed\"", 2))
        << ReadFile(dir / "out") << ReadFile(dir / "err");
    // Ctrl-C ends a loop that is only waiting: nothing was cut short, yet one board failed
    // its check.
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Wait(10s), 6) << ReadFile(dir / "err");
    auto log = LogLines(dir / "log.jsonl");
    // One record per board; the second restarts with the old firmware.
    ASSERT_EQ(log[link].size(), 2u) << ReadFile(dir / "log.jsonl");
    const std::pair<const char*, const char*> expected[] = {{"L00001", "true"},
                                                            {"L00002", "false"}};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Field(log[link][i], "serial"), expected[i].first);
        EXPECT_EQ(Field(log[link][i], "result"), "completed");
        EXPECT_EQ(Field(log[link][i], "verified"), expected[i].second);
    }
    EXPECT_EQ(Field(log[link][0], "firmware_after"), "4.5");
    const std::string out = ReadFile(dir / "out");
    EXPECT_TRUE(Has(out, "\"port\":\"" + link + "\",\"result\":\"completed\"")) << out;
    EXPECT_TRUE(Has(out, "\"state\":\"waiting\"")) << out;
    EXPECT_TRUE(Has(out, "\"updated\":2,\"verified\":1,\"failed\":0")) << out;
    EXPECT_TRUE(Has(out, "\"state\":\"verifying\"")) << out;
}

// Ctrl-C, a closed terminal and Ctrl-\\ alike.
// The live lines on a terminal of a given width: what the flasher drew, frame by frame.
class Terminal {
public:
    explicit Terminal(int columns) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        winsize size{};
        size.ws_col = static_cast<unsigned short>(columns);
        size.ws_row = 24;
        ioctl(master_, TIOCSWINSZ, &size);
        fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~Terminal() { close(master_); }
    const std::string& Path() const { return path_; }
    // Reads what arrived; the frames drawn so far (the lines between two redraws).
    std::vector<std::string> Frames() {
        char buffer[4096];
        for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;)
            seen_.append(buffer, n);
        std::vector<std::string> frames;
        std::string text = seen_;
        std::erase(text, '\r');
        for (size_t at = 0; at < text.size();) {
            size_t next = text.find("\033[4F\033[J", at);
            frames.push_back(text.substr(at, next - at));
            at = next == std::string::npos ? text.size() : next + 7;
        }
        return frames;
    }

private:
    int master_;
    std::string path_, seen_;
};

// By-path names longer than the terminal is wide: each line keeps its bar, percentage and
// time left, and the screen is redrawn only when something changed.
TEST(Flash, LiveLinesFitTheTerminalWithTheirBars) {
    for (int columns : {60, 80}) {
        SCOPED_TRACE(columns);
        TempDir dir;
        std::vector<std::unique_ptr<ChildProcess>> boards;
        for (int i = 1; i <= 4; ++i) {
            boards.push_back(std::make_unique<ChildProcess>(
                BOARDSIM_PROGRAM, std::vector<std::string>{"--boot", "--pace", "--serial",
                                                           "P0000" + std::to_string(i)}));
            const std::string name =
                dir / ("pci-0000:00:14.0-usb-0:1." + std::to_string(i) + ":1.0-port0");
            ASSERT_EQ(symlink(boards.back()->Path().c_str(), name.c_str()), 0);
        }
        Terminal terminal(columns);
        const auto start = std::chrono::steady_clock::now();
        ChildProcess flash(FLASH_PROGRAM, {"--no-log", "--all-in", dir.Path()}, terminal.Path(),
                           dir / "err");
        std::vector<std::string> frames;
        const auto allShowTimeLeft = [](const std::string& frame) {
            size_t count = 0;
            for (size_t at = frame.find(" left"); at != std::string::npos;
                 at = frame.find(" left", at + 1))
                ++count;
            return count == 4;
        };
        for (int i = 0; i < 3000 && (frames.empty() || !allShowTimeLeft(frames.back())); ++i) {
            std::this_thread::sleep_for(20ms);
            frames = terminal.Frames();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        flash.Signal(SIGINT);
        flash.Wait();
        ASSERT_FALSE(frames.empty());
        ASSERT_TRUE(allShowTimeLeft(frames.back())) << frames.back();
        for (int i = 1; i <= 4; ++i)
            EXPECT_TRUE(Has(frames.back(), "1." + std::to_string(i) + ":1.0-port0  "))
                << frames.back();
        for (size_t f = 0; f < frames.size(); ++f) {
            EXPECT_TRUE(f == 0 || frames[f] != frames[f - 1]) << frames[f];
            std::istringstream lines(frames[f]);
            for (std::string line; std::getline(lines, line);) {
                ASSERT_EQ(line.rfind("\033[2K", 0), 0u) << line;
                line = line.substr(4);
                size_t width = 0;
                for (unsigned char c : line)
                    width += (c & 0xC0) != 0x80;
                EXPECT_LT(width, static_cast<size_t>(columns)) << line;
                EXPECT_TRUE(Has(line, "-port0")) << line; // both ends of the name
                if (Has(line, "updating")) {
                    EXPECT_TRUE(Has(line, "] ") && Has(line, "%")) << line;
                }
            }
        }
        // A few redraws a second at most (a slower machine only draws fewer).
        EXPECT_LE(frames.size(), static_cast<size_t>(seconds * 5) + 5);
    }
}

// --probe says who answers and sends nothing; --skip-current leaves a current board alone.
TEST(Flash, ProbeAndSkipCurrentSendNoImageToABoardThatNeedsNone) {
    LoadFirmwareImage(); // the block count
    TempDir dir;
    ChildProcess current =
        Board({"--boot", "--fw", "4.5", "--serial", "S00001", "--report", dir / "current.json"});
    ChildProcess old = Board({"--boot", "--serial", "S00002", "--report", dir / "old.json"});
    ChildProcess probe(
        FLASH_PROGRAM,
        {"--probe", "--json", "--log", dir / "log.jsonl", current.Path(), old.Path()}, dir / "out",
        dir / "err");
    EXPECT_EQ(probe.Wait(), 0) << ReadFile(dir / "err");
    std::string out = ReadFile(dir / "out");
    EXPECT_TRUE(Has(out, "\"result\":\"probed\"")) << out;
    EXPECT_TRUE(Has(out, "\"serial\":\"S00001\",\"firmware_before\":\"4.5\",\"monitor\":\"1.0\""))
        << out;
    EXPECT_TRUE(Has(out, "\"probed\":2,")) << out;
    EXPECT_EQ(ReadFile(dir / "log.jsonl"), "");

    ChildProcess skip(FLASH_PROGRAM,
                      {"--skip-current", "--log", dir / "log.jsonl", current.Path(), old.Path()},
                      dir / "out", dir / "err");
    EXPECT_EQ(skip.Wait(), 0) << ReadFile(dir / "err");
    out = ReadFile(dir / "out");
    EXPECT_TRUE(Has(out, current.Path() + ": already current, KX27 S00001, firmware 4.5, monitor "
                                          "1.0: nothing sent"))
        << out;
    EXPECT_TRUE(Has(out, "1 board updated, 0 failed, 1 already current")) << out;
    auto log = LogLines(dir / "log.jsonl");
    ASSERT_EQ(log[current.Path()].size(), 1u);
    EXPECT_EQ(Field(log[current.Path()][0], "result"), "already-current");
    EXPECT_EQ(Field(log[current.Path()][0], "reason"), "<none>");
    ASSERT_EQ(log[old.Path()].size(), 1u);
    EXPECT_EQ(Field(log[old.Path()][0], "result"), "completed");
    for (ChildProcess* board : {&current, &old}) {
        board->Signal(SIGTERM);
        EXPECT_EQ(board->Wait(), 0);
    }
    // Not a frame to the current board, the whole image to the other one.
    EXPECT_TRUE(Has(ReadFile(dir / "current.json"), "\"accepted\": 0,"))
        << ReadFile(dir / "current.json");
    EXPECT_TRUE(Has(ReadFile(dir / "old.json"), "\"accepted\": " + std::to_string(BlockCount)))
        << ReadFile(dir / "old.json");
}

// A bench file beside the log names the sockets in lines, events and records, and --all takes
// its ports.
TEST(Flash, BenchFileNamesTheSocketsAndGivesAllItsPorts) {
    TempDir dir;
    ChildProcess first = Board({"--boot", "--exit-when-done", "--serial", "B00001"});
    ChildProcess second = Board({"--boot", "--exit-when-done", "--serial", "B00002"});
    ASSERT_EQ(symlink(first.Path().c_str(), (dir / "by-path-1").c_str()), 0);
    std::ofstream(dir / "bench.conf") << "# bench 7\n\nsoquete 1 = " << dir / "by-path-1"
                                      << "\n  soquete 2 =" << second.Path() << "  \n";
    ChildProcess flash(FLASH_PROGRAM, {"--all", "--log", dir / "log.jsonl"}, dir / "out",
                       dir / "err");
    EXPECT_EQ(flash.Wait(), 0) << ReadFile(dir / "err");
    const std::string out = ReadFile(dir / "out");
    EXPECT_TRUE(Has(out, "soquete 1: completed, KX27 B00001")) << out;
    EXPECT_TRUE(Has(out, "soquete 2: completed, KX27 B00002")) << out;
    const std::string log = ReadFile(dir / "log.jsonl");
    EXPECT_TRUE(Has(log, "\"port\":\"" + dir / "by-path-1" + "\",\"socket\":\"soquete 1\"")) << log;
    EXPECT_TRUE(Has(log, "\"port\":\"" + second.Path() + "\",\"socket\":\"soquete 2\"")) << log;

    const std::pair<std::string, std::string> broken[] = {
        {"soquete 1 /dev/ttyUSB0\n", "bad.conf, line 1: not \"name = port\""},
        {"a = /dev/ttyUSB0\n# x\nb = /dev/../dev/ttyUSB0\n",
         "bad.conf, line 3: socket b or its port given twice"},
    };
    for (const auto& [text, error] : broken) {
        std::ofstream(dir / "bad.conf") << text;
        ChildProcess bad(FLASH_PROGRAM, {"--bench", dir / "bad.conf", "--no-log", "/dev/ttyQNONE"},
                         dir / "out", dir / "err");
        EXPECT_EQ(bad.Wait(), 1);
        EXPECT_TRUE(Has(ReadFile(dir / "err"), error)) << ReadFile(dir / "err");
    }
}

// A board that fails is left alone until it was off the line, and counted once.
TEST(Flash, LoopTriesAFailedBoardAgainOnlyOnceItWasOffTheLine) {
    TempDir dir;
    const std::string link = dir / "ttyBench";
    ChildProcess refusing = Board({"--boot", "--serial", "R00001", "--nak-every", "1"});
    ASSERT_EQ(symlink(refusing.Path().c_str(), link.c_str()), 0);
    ChildProcess flash(FLASH_PROGRAM, {"--loop", "--json", "--log", dir / "log.jsonl", link},
                       dir / "out", dir / "err");
    ASSERT_TRUE(WaitForText(dir / "log.jsonl", "\"result\":\"given-up\"")) << ReadFile(dir / "out");
    // Polled many times meanwhile: it still answers with the same serial number.
    ASSERT_TRUE(WaitForText(dir / "out", "\"state\":\"waiting\""));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(LogLines(dir / "log.jsonl")[link].size(), 1u) << ReadFile(dir / "log.jsonl");
    // Taken off and put back (restarted, and now it takes the image).
    ChildProcess good = Board({"--boot", "--serial", "R00001", "--exit-when-done"});
    refusing.Signal(SIGKILL);
    unlink(link.c_str());
    ASSERT_EQ(symlink(good.Path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitForText(dir / "log.jsonl", "\"result\":\"completed\""))
        << ReadFile(dir / "out") << ReadFile(dir / "err");
    flash.Signal(SIGINT);
    flash.Wait(10s);
    const std::string out = ReadFile(dir / "out");
    EXPECT_TRUE(Has(out, "\"updated\":1,\"verified\":0,\"failed\":0,")) << out;
    EXPECT_EQ(LogLines(dir / "log.jsonl")[link].size(), 2u) << ReadFile(dir / "log.jsonl");
}

TEST(Flash, CtrlCMidTransferStopsEveryPortAndNamesTheHalfWrittenBoards) {
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        // Paced at the line rate, the transfer takes long enough to be cut.
        ChildProcess a =
            Board({"--boot", "--pace", "--serial", "H00001", "--report", dir / "a.json"});
        ChildProcess b =
            Board({"--boot", "--pace", "--serial", "H00002", "--report", dir / "b.json"});
        ChildProcess flash(FLASH_PROGRAM, {"--log", dir / "log.jsonl", a.Path(), b.Path()},
                           dir / "out", dir / "err");
        ASSERT_TRUE(WaitForText(dir / "out", ": updating", 2)) << ReadFile(dir / "out");
        flash.Signal(sig);
        EXPECT_EQ(flash.Wait(5s), 130);
        const std::string err = ReadFile(dir / "err");
        EXPECT_TRUE(Has(err, a.Path() + ": board KX27 H00001 is half-written")) << err;
        EXPECT_TRUE(Has(err, b.Path() + ": board KX27 H00002 is half-written")) << err;
        auto log = LogLines(dir / "log.jsonl");
        for (ChildProcess* board : {&a, &b}) {
            ASSERT_EQ(log[board->Path()].size(), 1u);
            EXPECT_EQ(Field(log[board->Path()][0], "result"), "interrupted");
            // The board received no frame after the interruption.
            std::this_thread::sleep_for(300ms);
            board->Signal(SIGTERM);
            EXPECT_EQ(board->Wait(), 0);
        }
        for (const char* report : {"a.json", "b.json"}) {
            const std::string text = ReadFile(dir / report);
            EXPECT_FALSE(Has(text, "\"accepted\": " + std::to_string(BlockCount) + ",")) << text;
        }
    }
}

// A full disk: the record waits for the next attempt or the end, the log never holds a torn
// line, and a record that never made it is handed to the technician on standard error.
TEST(Flash, AFullDiskKeepsTheRecordsUntilTheyCanBeWrittenOrPrintsThem) {
    SmallFs fs(64);
    if (!fs.Mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const std::string logPath = fs / "log.jsonl";
    // A page almost full of older records and no final line end: the next record starts on
    // a line of its own and needs a page the disk no longer has.
    const std::string before = "{\"port\":\"old\",\"result\":\"completed\"" +
                               std::string(4000, ' ') + "}\n{\"port\":\"cut";
    std::ofstream(logPath, std::ios::binary) << before;
    fs.Fill();
    TempDir dir;
    for (bool freedInTime : {true, false}) {
        ChildProcess board = Board({"--boot", "--exit-when-done", "--serial", "F00001"});
        // Nothing answers on the second port: the flasher runs until it is interrupted.
        SilentPort silent;
        std::vector<std::string> args{"--log", logPath, "--wait", "600", board.Path()};
        if (freedInTime)
            args.push_back(silent.Path());
        ChildProcess flash(FLASH_PROGRAM, args, dir / "out", dir / "err");
        if (freedInTime) {
            ASSERT_TRUE(WaitForText(dir / "err", "warning: cannot write the service log "))
                << ReadFile(dir / "err");
            EXPECT_EQ(ReadFile(logPath), before);
            fs.Free();
            flash.Signal(SIGINT);
            EXPECT_EQ(flash.Wait(), 130) << ReadFile(dir / "err");
            const std::string log = ReadFile(logPath);
            ASSERT_EQ(log.rfind(before + "\n", 0), 0u) << log;
            const std::string added = log.substr(before.size() + 1);
            // The kept record first, then the silent port's.
            EXPECT_EQ(Field(added, "serial"), "F00001") << added;
            EXPECT_EQ(Field(added.substr(added.find('\n')), "port"), silent.Path()) << added;
            EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 2) << added;
            EXPECT_EQ(added.back(), '\n');
            EXPECT_FALSE(Has(ReadFile(dir / "err"), "not written")) << ReadFile(dir / "err");
            std::ofstream(logPath, std::ios::binary | std::ios::trunc) << before;
            fs.Fill();
        } else {
            EXPECT_EQ(flash.Wait(), 7) << ReadFile(dir / "err");
            const std::string err = ReadFile(dir / "err");
            EXPECT_TRUE(Has(err, "1 record was not written to the service log " + logPath +
                                     "; here it is:\n{\"start\""))
                << err;
            EXPECT_TRUE(Has(err, "\"serial\":\"F00001\"")) << err;
            EXPECT_EQ(ReadFile(logPath), before);
        }
        EXPECT_EQ(board.Wait(), 0);
    }
}

TEST(Flash, ImageFileIsCheckedBeforeAnyPortIsTouchedAndNamedInTheLog) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* text; // nullptr: no such file
        const char* error;
    };
    const Case bad[] = {
        {"missing", nullptr, "cannot read the image file"},
        {"folder", "", "is a folder, not an Intel HEX file"},
        {"bad checksum", ":00000001FE\n", "line 1: bad checksum FE (should be FF)"},
        {"bad record type", ":0408000001020304EA\n:0408000601020304E4\n:00000001FF\n",
         "line 2: bad record type 06"},
        {"odd length", ":0408000001020304E\n:00000001FF\n", "line 1: odd length (17 hex digits"},
        {"no end record", ":0408000001020304EA\n",
         "no end-of-file record (:00000001FF) after line 1"},
        {"record after the end", ":00000001FF\n:0408000001020304EA\n",
         "line 2: a record after the end-of-file record (line 1)"},
        {"only the monitor's area", ":0407000001020304EB\n:00000001FF\n",
         "has no data at or above address 0x800"},
    };
    for (const Case& c : bad) {
        SCOPED_TRACE(c.name);
        const std::string file = dir / "image.hex";
        std::filesystem::remove_all(file);
        if (c.text && !*c.text)
            std::filesystem::create_directory(file);
        else if (c.text)
            std::ofstream(file) << c.text;
        ChildProcess board = Board({"--report", dir / "r.json", "--idle-timeout", "1"});
        ChildProcess flash(FLASH_PROGRAM,
                           {"--image", file, "--log", dir / "log.jsonl", board.Path()}, dir / "out",
                           dir / "err");
        EXPECT_EQ(flash.Wait(), 1);
        EXPECT_TRUE(Has(ReadFile(dir / "err"), c.error)) << ReadFile(dir / "err");
        EXPECT_EQ(board.Wait(), 0);
        const std::string report = ReadFile(dir / "r.json");
        EXPECT_TRUE(Has(report, "\"wrong_speed_bytes\": 0,")) << report;
        EXPECT_TRUE(Has(report, "\"identifications\": 0,")) << report;
        EXPECT_EQ(ReadFile(dir / "log.jsonl"), "");
    }

    const std::string text = ":0408000001020304EA\n:00000001FF\n";
    std::ofstream(dir / "good.hex") << text;
    ChildProcess board = Board({"--boot", "--exit-when-done", "--image-out", dir / "flashed.hex"});
    ChildProcess flash(FLASH_PROGRAM,
                       {"--image", dir / "good.hex", "--log", dir / "log.jsonl", board.Path()},
                       dir / "out", dir / "err");
    EXPECT_EQ(flash.Wait(), 0) << ReadFile(dir / "err");
    EXPECT_EQ(board.Wait(), 0);
    EXPECT_TRUE(Has(ReadFile(dir / "flashed.hex"), ":0408000001020304EA"))
        << ReadFile(dir / "flashed.hex");
    auto log = LogLines(dir / "log.jsonl");
    ASSERT_EQ(log[board.Path()].size(), 1u);
    Sha256 sha;
    sha.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(Field(log[board.Path()][0], "image_file"), dir / "good.hex");
    const std::string digest = sha.HexDigest();
    EXPECT_EQ(Field(log[board.Path()][0], "image_sha256"), digest);
    EXPECT_EQ(Field(log[board.Path()][0], "firmware_written"), "<none>");
    EXPECT_EQ(Field(log[board.Path()][0], "blocks"), "1");

    // Files the board cannot hold, or no Intel HEX at all: refused by the same check.
    const std::string good = ":0408000001020304EA\n";
    const std::string end = ":00000001FF\n";
    struct Refusal {
        const char* name;
        std::optional<std::string> text; // none: no such file
        std::string error;
    };
    const Refusal refused[] = {
        {"missing", std::nullopt, "cannot read the image file " + dir / "x.hex" + ": No such file"},
        {"empty", "", "is not an Intel HEX file: the file is empty"},
        {"byte order mark", "\xEF\xBB\xBF" + end,
         "is not an Intel HEX file: it begins with a byte"},
        {"binary",
         std::string("\x7F"
                     "ELF\x02\x01\0\0",
                     8),
         "is not an Intel HEX file: it holds "
         "binary data"},
        {"text", "hello\n" + end, "is not an Intel HEX file: its first line is no record"},
        {"segment address", ":020000021000EC\n" + good + end,
         "line 1: record type 02 (extended segment address) is not supported"},
        {"across 0xFFFF", ":10FFF80000000000000000000000000000000000F9\n" + end,
         "line 1: data up to 0x010007, beyond 0xFFFF where the board's flash ends"},
        {"upper address", ":020000040001F9\n" + good + end, "line 2: data up to 0x010803"},
        {"overlap", good + ":0408020001020304E8\n" + end, "line 2: data at 0x0802 overlaps line 1"},
        {"repeated", good + good + end, "line 2: data at 0x0800 overlaps line 1"},
    };
    for (const Refusal& c : refused) {
        SCOPED_TRACE(c.name);
        if (c.text)
            std::ofstream(dir / "x.hex", std::ios::binary) << *c.text;
        ChildProcess check(FLASH_PROGRAM, {"--check-image", dir / "x.hex"}, dir / "out",
                           dir / "err");
        EXPECT_EQ(check.Wait(), 1);
        EXPECT_TRUE(Has(ReadFile(dir / "err"), c.error)) << ReadFile(dir / "err");
        EXPECT_EQ(ReadFile(dir / "out"), "");
    }
    // A start address means nothing to the board: ignored, and said so.
    std::ofstream(dir / "start.hex") << ":0400000500000800EF\n" + good + end;
    ChildProcess start(FLASH_PROGRAM, {"--check-image", dir / "start.hex"}, dir / "out",
                       dir / "err");
    EXPECT_EQ(start.Wait(), 0) << ReadFile(dir / "err");
    EXPECT_TRUE(Has(ReadFile(dir / "out"), "1 start address record (type 03 or 05) is ignored"))
        << ReadFile(dir / "out");

    // Checked without a board: what would be sent, in either language.
    for (auto [lang, words] : {std::pair{"C", "would send: 1 block of at most 64 bytes (4 data"},
                               {"pt_BR.UTF-8", "enviaria: 1 bloco de até 64 bytes (4 bytes"}}) {
        ChildProcess check(FLASH_PROGRAM, {"--check-image=" + dir / "good.hex"}, dir / "out",
                           dir / "err", lang);
        EXPECT_EQ(check.Wait(), 0);
        const std::string out = ReadFile(dir / "out");
        EXPECT_TRUE(Has(out, words)) << out;
        EXPECT_TRUE(Has(out, "0x000800-0x000803")) << out;
        EXPECT_TRUE(Has(out, digest)) << out;
    }
}

TEST(Flash, CommandLineListAndLanguage) {
    TempDir dir;
    HeldPort held;
    // The way a virtual port shows up in the list: a link in /dev (needs the rights there).
    const std::string name = "ttyQFLASH" + std::to_string(getpid());
    const std::string link = "/dev/" + name;
    const bool linked = symlink(held.Path().c_str(), link.c_str()) == 0;
    std::ofstream(dir / "plain") << "not a port";
    std::filesystem::create_directory(dir / "empty");
    std::filesystem::create_directory(dir / "sockets");
    std::filesystem::create_symlink(held.Path(), dir / "sockets/socket1");
    struct Case {
        std::vector<std::string> args;
        const char* lang;
        int status;
        std::string out, err;
        bool needsLink;
    };
    const Case cases[] = {
        {{"--bogus"}, "C", 1, "", "unknown option --bogus", false},
        {{"--quiet=yes", "x"}, "C", 1, "", "option --quiet takes no value", false},
        {{"-V"}, "C", 0, "quorvel-flash ", "", false},
        {{"--list", "ttyQN8"},
         "C",
         1,
         "",
         "--list lists every port and takes none (ttyQN8)",
         false},
        {{"--wait=1", "/dev/ttyQX", "/dev/../dev/ttyQX"}, "C", 1, "", "given twice", false},
        // After "--" a name that looks like an option is a port.
        {{"--wait=1", "--no-log", "--", "--ttyQ"}, "C", 2, "--ttyQ: could not open", "", false},
        {{"--summary"}, "C", 1, "", "--summary goes with --history", false},
        {{"--wait", "0", "x"}, "C", 1, "", "--wait takes whole seconds", false},
        {{}, "C", 1, "", "no port given", false},
        {{"--help"}, "C", 0, "  6    --verify: an updated board did not come back", "", false},
        {{"--help"}, "pt_BR.UTF-8", 0, "Uso: quorvel-flash", "", false},
        {{"--wait", "1", "--no-log", "/dev/ttyQNONE"},
         "pt_BR.UTF-8",
         2,
         "/dev/ttyQNONE: não foi possível abrir a porta: a porta não existe: confira o nome com "
         "quorvel-flash --list",
         "",
         false},
        {{"--wait", "1", "--no-log", "/dev/ttyQNONE"},
         "C",
         2,
         "/dev/ttyQNONE: could not open the port: no such port: check its name with "
         "quorvel-flash --list",
         "",
         false},
        {{"--wait", "1", "--no-log", dir / "plain"},
         "C",
         2,
         dir / "plain" + ": could not open the port: This name is not a serial port's.",
         "",
         false},
        // A name from outside never reaches the terminal raw.
        {{"--wait", "1", "--no-log", "/dev/ttyQ\x1b[2J\xc2\x9b"},
         "C",
         2,
         "/dev/ttyQ\\x1b[2J\\xc2\\x9b: could not open the port",
         "",
         false},
        {{"--all-in", dir / "none"},
         "C",
         1,
         "",
         "cannot read the folder " + dir / "none" + ": No such file or directory",
         false},
        {{"--all-in", dir / "plain"}, "pt_BR.UTF-8", 1, "", ": Não é um diretório", false},
        {{"--all-in", dir / "empty"}, "C", 8, "", "no free serial port to probe in ", false},
        {{"--list", "--all-in", dir / "sockets"},
         "C",
         0,
         dir / "sockets/socket1  busy: flash_tests (pid " + std::to_string(getpid()) + ")\n",
         "",
         false},
        {{"--list", "--all-in", dir / "none"}, "C", 1, "", "cannot read the folder ", false},
        {{"--list"},
         "C",
         0,
         name + "  busy: flash_tests (pid " + std::to_string(getpid()) + ")\n",
         "",
         true},
        {{"--list", "--json"}, "C", 0, "\"port\":\"" + name + "\"", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + c.lang);
        if (c.needsLink && !linked)
            continue;
        ChildProcess flash(FLASH_PROGRAM, c.args, dir / "out", dir / "err", c.lang);
        EXPECT_EQ(flash.Wait(), c.status);
        EXPECT_TRUE(Has(ReadFile(dir / "out"), c.out)) << ReadFile(dir / "out");
        EXPECT_TRUE(Has(ReadFile(dir / "err"), c.err)) << ReadFile(dir / "err");
        EXPECT_FALSE(Has(ReadFile(dir / "out") + ReadFile(dir / "err"), "\x1b"));
    }
    if (linked) {
        unlink(link.c_str());
        const std::string json = ReadFile(dir / "out");
        EXPECT_TRUE(Has(json, "\"busy\":true,\"held_by\":[{\"pid\":" + std::to_string(getpid()) +
                                  ",\"name\":\"flash_tests\"}]"))
            << json;
    }
}

TEST(Flash, HistoryShowsTheServiceLogAsATableRawOrPerDay) {
    TempDir dir;
    // Two programs appended out of order; a record torn by a full disk with the next one glued
    // on (as an older flasher left it), one cut short at the end; a port name that would clear
    // the screen; a record far longer than any the program writes.
    const std::string logPath = dir / "log.jsonl";
    std::ofstream(logPath)
        << "{\"start\":\"2026-12-08T09:00:00Z\",\"end\":\"2026-12-08T09:00:19Z\",\"port\":"
           "\"/dev/ttyUSB0\",\"board\":\"KX27\",\"serial\":\"A10342\",\"firmware_before\":\"4.4\","
           "\"monitor\":\"1.0\",\"firmware_written\":\"4.5\",\"blocks\":430,\"result\":"
           "\"completed\"}\n"
        << "{\"start\":\"2026-12-07T17:30:00Z\",\"end\":\"2026-12-07T17:30:15Z\",\"port\":"
           "\"/dev/ttyUSB1\",\"board\":\"\",\"serial\":\"\",\"result\":\"no-answer\",\"reason\":"
           "\"no-answer\"}\n"
        << "{\"start\":\"2026-12-08T07:00:00Z\",\"port\":\"/dev/ttyUSB2\",\"res{\"start\":"
           "\"2026-12-08T07:10:00Z\",\"port\":\"/dev/ttyUSB2\",\"result\":\"given-up\"}\n"
        << "{\"start\":\"2026-12-06T11:30:00Z\",\"port\":\"\\u001b[2J\",\"serial\":\"E00001\","
           "\"result\":\"open-failed\",\"reason\":\"open-failed: in use by another program "
           "(EBUSY)\","
           "\"held_by\":\"minicom (pid 812)\"}\n"
        << "{\"start\":\"2026-12-08T08:00:00Z\",\"end\":\"2026-12-08T08:01:05Z\",\"port\":"
           "\"/dev/ttyUSB1\",\"board\":\"KX27\",\"serial\":\"B20001\",\"firmware_before\":\"4.4\","
           "\"result\":\"given-up\",\"reason\":\"given-up\"}\n"
        << "{\"start\":\"2026-12-08T09:00:25Z\",\"end\":\"2026-12-08T09:00:25Z\",\"port\":"
           "\"/dev/ttyUSB0\",\"board\":\"KX27\",\"serial\":\"A10342\",\"firmware_before\":\"4.5\","
           "\"result\":\"verified\"}\n"
        << "{\"start\":\"2026-12-08T11:00:00Z\",\"port\":\"" << std::string(2 << 20, 'x')
        << "\",\"result\":\"completed\"}\n"
        << "{\"start\":\"2026-12-08T10:00:00Z\",\"port\":\"/dev/tty";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> lines; // in this order
        std::vector<std::string> absent;
        int status = 0;
        std::string err = {};
        const char* lang = "C";
    };
    const std::string unreadable = logPath + ": 3 lines unreadable (first at line 3)\n";
    const Case cases[] = {
        {{},
         {"service log " + logPath + "\n",
          "time (UTC)           port          board  serial  firmware    result       duration  "
          "reason",
          "2026-12-06 11:30:00  \\x1b[2J       -      E00001  -           open-failed  -         "
          "open-failed: in use by another program (EBUSY)\n",
          "2026-12-07 17:30:00  /dev/ttyUSB1  -      -       -           no-answer    0:15      "
          "no-answer",
          "2026-12-08 08:00:00  /dev/ttyUSB1  KX27   B20001  4.4         given-up     1:05      "
          "given-up",
          "2026-12-08 09:00:00  /dev/ttyUSB0  KX27   A10342  4.4 -> 4.5  completed    0:19\n",
          "2026-12-08 09:00:25  /dev/ttyUSB0  KX27   A10342  4.5         verified     0:00\n"},
         {"10:00:00", "11:00:00", "07:00:00", "07:10:00", "\x1b"},
         0,
         unreadable},
        {{"E00001"}, {"  \\x1b[2J  "}, {"\x1b"}, 0, unreadable},
        {{"ZZZZZZ"}, {}, {"time"}, 8, unreadable + "no records for ZZZZZZ in " + logPath + "\n"},
        {{"B20001"},
         {"registro de serviço " + logPath + "\n", "abandonada"},
         {"given-up"},
         0,
         logPath + ": 3 linhas ilegíveis (a primeira na linha 3)\n",
         "pt_BR.UTF-8"},
        {{"A10342"}, {"A10342"}, {"B20001", "no-answer"}, 0, unreadable},
        {{"ttyUSB1"}, {"no-answer", "B20001"}, {"A10342"}, 0, unreadable},
        {{"--json", "B20001"},
         {"{\"start\":\"2026-12-08T08:00:00Z\",\"end\""},
         {"A10342"},
         0,
         unreadable},
        {{"--summary"},
         {"2026-12-06  0 updated, 1 failed (open-failed 1)\n",
          "2026-12-07  0 updated, 1 failed (no-answer 1)\n",
          "2026-12-08  1 updated, 1 verified, 1 failed (given-up 1)\n"},
         {},
         0,
         unreadable},
        {{"--summary", "--json"},
         {"{\"day\":\"2026-12-08\",\"updated\":1,\"verified\":1,\"failed\":1,\"by_result\":{"
          "\"given-up\":1}}"},
         {},
         0,
         unreadable},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--history", "--log=" + logPath};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess flash(FLASH_PROGRAM, args, dir / "out", dir / "err", c.lang);
        EXPECT_EQ(flash.Wait(), c.status);
        EXPECT_EQ(ReadFile(dir / "err"), c.err);
        const std::string out = ReadFile(dir / "out");
        size_t at = 0;
        for (const std::string& line : c.lines) {
            size_t found = out.find(line, at);
            EXPECT_NE(found, std::string::npos) << line << "\n" << out;
            at = found == std::string::npos ? at : found;
        }
        for (const std::string& text : c.absent)
            EXPECT_FALSE(Has(out, text)) << text << "\n" << out;
    }
}

TEST(Flash, AllFindsTheBoardsAmongTheFreePortsAndUpdatesThemOnly) {
    TempDir dir;
    const std::string bench = dir / "by-path";
    std::filesystem::create_directory(bench);
    std::vector<std::unique_ptr<ChildProcess>> boards;
    for (int i = 0; i < 3; ++i) {
        // One in its normal firmware, as a board arrives on the bench.
        std::vector<std::string> args{"--serial", "D0000" + std::to_string(i), "--exit-when-done"};
        if (i > 0)
            args.push_back("--boot");
        boards.push_back(std::make_unique<ChildProcess>(BOARDSIM_PROGRAM, args));
        ASSERT_EQ(
            symlink(boards.back()->Path().c_str(), (bench + "/socket" + std::to_string(i)).c_str()),
            0);
    }
    SilentPort silent;
    HeldPort held;
    ASSERT_EQ(symlink(silent.Path().c_str(), (bench + "/socket3").c_str()), 0);
    ASSERT_EQ(symlink(held.Path().c_str(), (bench + "/socket4").c_str()), 0);
    ChildProcess flash(FLASH_PROGRAM, {"--all-in", bench, "--log", dir / "log.jsonl"}, dir / "out",
                       dir / "err");
    EXPECT_EQ(flash.Wait(), 0) << ReadFile(dir / "out") << ReadFile(dir / "err");
    const std::string out = ReadFile(dir / "out");
    auto log = LogLines(dir / "log.jsonl");
    for (int i = 0; i < 3; ++i) {
        const std::string port = bench + "/socket" + std::to_string(i);
        ASSERT_EQ(log[port].size(), 1u) << out;
        EXPECT_EQ(Field(log[port][0], "result"), "completed");
        EXPECT_EQ(boards[i]->Wait(), 0);
    }
    EXPECT_EQ(log.size(), 3u) << ReadFile(dir / "log.jsonl");
    EXPECT_TRUE(Has(out, bench + "/socket3: no board: nothing answered \"(%B67)\" at 9600 baud "
                                 "nor \"<S@>\" at 19200 baud"))
        << out;
    EXPECT_TRUE(Has(out, "3 boards updated, 0 failed, 1 port without a board")) << out;
    EXPECT_TRUE(Has(ReadFile(dir / "err"), bench + "/socket4: left alone, in use by flash_tests"))
        << ReadFile(dir / "err");
}

namespace {

// The English texts of the catalogue: each msgid's runs of words between its placeholders.
std::vector<std::string> CatalogueEnglishPhrases(const std::string& po) {
    std::vector<std::string> msgids;
    std::istringstream in(po);
    bool inId = false;
    for (std::string line; std::getline(in, line);) {
        const bool starts = line.rfind("msgid \"", 0) == 0 || line.rfind("msgid_plural \"", 0) == 0;
        if (starts)
            msgids.emplace_back();
        else if (line.empty() || line[0] != '"')
            inId = false;
        if (!starts && !inId)
            continue;
        inId = true;
        const size_t open = line.find('"');
        msgids.back() += line.substr(open + 1, line.rfind('"') - open - 1);
    }
    std::vector<std::string> phrases;
    for (const std::string& id : msgids) {
        std::string phrase;
        for (size_t i = 0; i <= id.size(); ++i) {
            const bool cut = i == id.size() || id[i] == '%' || (id[i] == '\\' && i + 1 < id.size());
            if (!cut) {
                phrase += id[i];
                continue;
            }
            // Three words at least: shorter runs ("firmware", " in ") read the same in both.
            std::istringstream words(phrase);
            int count = 0;
            for (std::string word; words >> word;)
                count += std::isalpha(static_cast<unsigned char>(word[0])) != 0;
            if (count >= 3)
                phrases.push_back(phrase.substr(phrase.find_first_not_of(" ")));
            phrase.clear();
            ++i; // the placeholder's or the escape's letter
        }
    }
    return phrases;
}

} // namespace

// Every message path that runs without a board, and the failures of ports without one, under
// pt_BR: no English phrase of the catalogue may show.
TEST(Flash, PortugueseCoversEveryLineTheFlasherPrints) {
    TempDir dir;
    std::ofstream(dir / "log.jsonl")
        << "{\"start\":\"2026-12-08T08:00:00Z\",\"end\":\"2026-12-08T08:01:05Z\",\"port\":"
           "\"/dev/ttyUSB1\",\"board\":\"KX27\",\"serial\":\"B20001\",\"firmware_before\":\"4.4\","
           "\"result\":\"given-up\",\"reason\":\"given-up\"}\n"
        << "{\"start\":\"2026-12-08T09:00:00Z\",\"port\":\"/dev/ttyUSB0\",\"serial\":\"A1\","
           "\"firmware_before\":\"4.4\",\"image_file\":\"/x.hex\",\"result\":\"completed\"}\n"
        << "{\"start\":\"2026-12-0";
    std::ofstream(dir / "good.hex") << ":0400000500000800EF\n:0407000001020304EB\n"
                                       ":0408000001020304EA\n:00000001FF\n";
    std::ofstream(dir / "bad.hex") << ":0408000001020304EA\n:0408020001020304E8\n:00000001FF\n";
    std::ofstream(dir / "plain") << "x";
    std::filesystem::create_directory(dir / "empty");
    SilentPort silent;
    HeldPort held;
    ChildProcess current = Board({"--boot", "--fw", "4.5"});
    const std::vector<std::vector<std::string>> runs = {
        {"--probe", current.Path(), silent.Path(), "--wait", "1"},
        {"--skip-current", "--no-log", current.Path()},
        {"--help"},
        {"--bogus"},
        {},
        {"--history", "--log", dir / "log.jsonl"},
        {"--history", "--summary", "--log", dir / "log.jsonl"},
        {"--history", "--log", dir / "log.jsonl", "ZZZ"},
        {"--history", "--log", dir / "none.jsonl"},
        {"--check-image", dir / "good.hex"},
        {"--check-image", dir / "bad.hex"},
        {"--check-image", dir / "plain"},
        {"--check-image", dir / "none.hex"},
        {"--all-in", dir / "none"},
        {"--all-in", dir / "empty"},
        // A log that cannot be written, and every way a port fails without a board.
        {"--wait", "1", "--log", dir / "plain/log.jsonl", silent.Path(), held.Path(), dir / "plain",
         "/dev/ttyQNONE"},
    };
    const std::vector<std::string> phrases =
        CatalogueEnglishPhrases(ReadFile(FLASH_CATALOGUE_SOURCE));
    ASSERT_GT(phrases.size(), 100u);
    for (const char* lang : {"C", "pt_BR.UTF-8"}) {
        std::string all;
        for (const auto& args : runs) {
            ChildProcess flash(FLASH_PROGRAM, args, dir / "out", dir / "err", lang);
            flash.Wait();
            // Records printed as JSON are English in every language.
            std::istringstream lines(ReadFile(dir / "out") + ReadFile(dir / "err"));
            for (std::string line; std::getline(lines, line);)
                all += line[0] == '{' ? "" : line + "\n";
        }
        int english = 0;
        for (const std::string& phrase : phrases) {
            if (!Has(all, phrase))
                continue;
            ++english;
            EXPECT_EQ(lang[0], 'C') << "untranslated: " << phrase << "\n" << all;
        }
        // The check sees English where there is English.
        if (lang[0] == 'C') {
            EXPECT_GT(english, 30) << english;
        }
    }
}
