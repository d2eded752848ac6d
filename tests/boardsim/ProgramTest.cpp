// The quorvel-boardsim program as scripts and the updater meet it: a child process, its
// port path on standard output, a real pseudo-terminal, its report files at exit.
#include "PtyClient.h"
#include "TestFrames.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace {

class Program {
public:
    explicit Program(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(BOARDSIM_PROGRAM)};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the port path; the program prints it once the port exists.
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            path_.push_back(c);
        close(out[0]);
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& Path() const { return path_; }

    // Waits for the end of the run (no more than `limit`); returns the exit status or -1.
    int Wait(std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }
    void Signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string path_;
};

std::string Text(const std::vector<uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

} // namespace

TEST(Program, IdentificationOnlyAtTheNormalFirmwaresSpeed) {
    TempDir dir;
    {
        // Sent at 19200, "(%B67)" is garbage to the normal firmware: no answer at all.
        Program p({"--idle-timeout", "1", "--report", dir / "wrong.json"});
        ASSERT_FALSE(p.Path().empty());
        PtyClient port(p.Path());
        ASSERT_TRUE(port.IsOpen());
        port.SetBaud(19200);
        port.Write("(%B67)");
        EXPECT_EQ(port.ReadUntilHangUp(), "");
        EXPECT_EQ(p.Wait(), 0);
        const std::string report = ReadFile(dir / "wrong.json");
        EXPECT_TRUE(Has(report, "\"wrong_speed_bytes\": 6,")) << report;
        EXPECT_TRUE(Has(report, "\"identifications\": 0,")) << report;
    }
    {
        Program p({"--idle-timeout", "1", "--report", dir / "right.json"});
        PtyClient port(p.Path());
        port.SetBaud(9600);
        port.Write("(%B67)");
        EXPECT_EQ(port.Read(14), "(KX27V4.4M1.0)");
        // The monitor listens at 19200: a status query still at 9600 goes unanswered.
        port.Write("<S@>");
        EXPECT_EQ(port.ReadUntilHangUp(), "");
        EXPECT_EQ(p.Wait(), 0);
        const std::string report = ReadFile(dir / "right.json");
        EXPECT_TRUE(Has(report, "\"wrong_speed_bytes\": 4,")) << report;
        EXPECT_TRUE(Has(report, "\"status_polls\": 0,")) << report;
    }
}

TEST(Program, FullSessionEndsByItselfWithReportAndImage) {
    TempDir dir;
    Program p({"--boot", "--serial", "B77777", "--exit-when-done", "--link", dir / "ttyQSIM0",
               "--report", dir / "r.json", "--image-out", dir / "image.hex"});
    struct stat st {};
    ASSERT_EQ(lstat((dir / "ttyQSIM0").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    PtyClient port(dir / "ttyQSIM0");
    ASSERT_TRUE(port.IsOpen());
    port.SetBaud(19200);
    port.Write("<S@>");
    EXPECT_EQ(port.Read(20), "<KX27V4.4M1.0B77777>");
    testframes::Sender s;
    port.Write(Text(s.Next(0x800, testframes::Pattern(64, 5))));
    EXPECT_EQ(port.Read(4), "<DD>");
    port.Write(Text(s.Next(0x840, {0xAA, 0xBB})));
    EXPECT_EQ(port.Read(4), "<DD>");
    port.Write("<F@>");
    EXPECT_EQ(port.Read(4), "<FF>");
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_NE(lstat((dir / "ttyQSIM0").c_str(), &st), 0) << "link left behind";

    const std::string report = ReadFile(dir / "r.json");
    EXPECT_TRUE(Has(report, "\"accepted\": 2,")) << report;
    EXPECT_TRUE(Has(report, "\"address_hex\": \"0x000800\", \"length\": 66")) << report;
    const std::string hex = ReadFile(dir / "image.hex");
    EXPECT_EQ(hex.substr(0, 9), ":10080000");
    EXPECT_TRUE(Has(hex, ":02084000AABB51\n")) << hex;
    EXPECT_TRUE(hex.ends_with(":00000001FF\n"));
}

TEST(Program, SigtermWritesTheReportAndRemovesTheLink) {
    TempDir dir;
    Program p({"--link", dir / "ttyQSIM1", "--report", dir / "r.json"});
    ASSERT_FALSE(p.Path().empty());
    {
        PtyClient port(dir / "ttyQSIM1");
        port.SetBaud(9600);
        port.Write("(%B67)");
        EXPECT_EQ(port.Read(14), "(KX27V4.4M1.0)");
    }
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_TRUE(Has(ReadFile(dir / "r.json"), "\"identifications\": 1,"));
    struct stat st {};
    EXPECT_NE(lstat((dir / "ttyQSIM1").c_str(), &st), 0);
}

TEST(Program, HangUpAfterAcceptedFramesClosesTheLine) {
    Program p({"--boot", "--hang-up-after", "1"});
    PtyClient port(p.Path());
    port.SetBaud(19200);
    testframes::Sender s;
    port.Write(Text(s.Next(0x800, {1, 2, 3})));
    EXPECT_EQ(port.Read(4), "<DD>");
    port.ReadUntilHangUp();
    EXPECT_TRUE(port.HungUp());
    EXPECT_EQ(p.Wait(), 0);
}

TEST(Program, RejectsBadFlags) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--fw", "4.40"},
                                          {"--serial", "A1"},
                                          {"--nak-every", "0"},
                                          {"--bogus"},
                                          {"--report"},
                                          {"--key-rule", "C"},
                                          {"--flip-key", "3:7"},
                                          {"--flip-data", "x"}}) {
        Program p(args);
        EXPECT_TRUE(p.Path().empty());
        EXPECT_EQ(p.Wait(), 2) << args[0];
    }
}

TEST(Program, PacedDelayedAndCorruptedAnswersStillComeInOrder) {
    Program p({"--boot", "--pace", "--delay-ms", "30", "--corrupt-every", "2", "--reboot"});
    PtyClient port(p.Path());
    port.SetBaud(19200);
    port.Write("<S@>");
    EXPECT_EQ(port.Read(20), "<KX27V4.4M1.0A10342>");
    port.Write("<S@>");
    EXPECT_EQ(port.Read(20), "<\xb4X27V4.4M1.0A10342>");
    port.Write("<F@>");
    EXPECT_EQ(port.Read(4), "<FF>");
    // Rebooted into the new firmware, which listens at 9600 again.
    port.SetBaud(9600);
    port.Write("(%B67)");
    EXPECT_EQ(port.Read(14), "(\xb4X27V4.5M1.0)");
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 0);
}

TEST(Program, IntegrityFaultsReachTheBoardAndTheReport) {
    TempDir dir;
    Program p({"--boot", "--key-rule", "B", "--stray-ff-poll", "1", "--status-delay-ms", "40",
               "--flip-data", "1:3", "--lose-frame", "3", "--report", dir / "r.json"});
    PtyClient port(p.Path());
    port.SetBaud(19200);
    port.Write("<S@>");
    EXPECT_EQ(port.Read(24), "<FF><KX27V4.4M1.0A10342>");
    testframes::Sender s;
    port.Write(Text(s.Next(0x800, {1, 2, 3, 4})));
    EXPECT_EQ(port.Read(4), "<D?>");
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 0);
    const std::string report = ReadFile(dir / "r.json");
    for (const char* field :
         {"\"key_rule\": \"B\",", "\"stray_completions\": 1,", "\"late_status_answers\": 1,",
          "\"flipped_bytes\": 1,", "\"lost_frames\": 0,"})
        EXPECT_TRUE(Has(report, field)) << field << "\n" << report;
}

// `sudo quorvel-boardsim --link ...` must leave a port the user who ran sudo can open.
TEST(Program, UnderSudoThePortBelongsToTheUserWhoRanIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, as under sudo";
    setenv("SUDO_UID", "65534", 1);
    setenv("SUDO_GID", "65534", 1);
    Program p({"--idle-timeout", "5"});
    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    struct stat st {};
    ASSERT_EQ(stat(p.Path().c_str(), &st), 0) << p.Path();
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_TRUE(st.st_mode & S_IRUSR && st.st_mode & S_IWUSR);
}
