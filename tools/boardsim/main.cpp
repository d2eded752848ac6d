// quorvel-boardsim: plays a KX27 board on a pseudo-terminal so the updater can be tried
// without hardware. Prints the port's path on the first line of standard output.
#include "tools/boardsim/Report.h"
#include "tools/boardsim/Simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits.h>
#include <map>
#include <string>
#include <unistd.h>

using namespace boardsim;

namespace {

const char Usage[] = R"(usage: quorvel-boardsim [options]
  --boot                 start in the boot monitor (board powered on with 'Digito' held)
  --reboot               after "<FF>", restart as normal firmware reporting version 4.5
  --reboot-fw V          the same, reporting version V (3 characters) after the restart
  --fw V  --mon V        firmware and boot monitor versions, 3 characters (4.4, 1.0)
  --serial S             serial number, 6 characters (A10342)
  --link PATH            symlink PATH to the port while running (e.g. /dev/ttyQSIM0)
  --pace                 bytes take their real time on the line (10 bits per byte)
  --nak-every N          answer "<D?>" to every N-th frame
  --drop-answer N        do not answer the N-th frame
  --silent-after N       stop answering after N accepted frames
  --hang-up-after N      close the line after N accepted frames
  --delay-ms M           send every answer M ms late
  --corrupt-every N      corrupt one byte of every N-th reply
  --incompatible-monitor report boot monitor version 0.9
  --key-rule A|B         on "<S@>" the header key is reset (A, default) or, once a frame
                         has rolled it, kept until the board restarts (B)
  --flip-count N  --flip-address N[:I]  --flip-key N[:I]  --flip-data N[:I]
                         flip one bit of byte I (0 first) of that field of the N-th frame
  --lose-frame N         the N-th frame never reaches the board
  --status-delay-ms M    send status replies M ms later than other answers
  --stray-ff-poll N      send an unasked "<FF>" before the N-th status reply
  --stray-ff-frame N     send an unasked "<FF>" before the answer to the N-th frame
  --ack-delay N:MS       answer the N-th frame MS ms late (the answers after it wait)
  --ack-code N:C         answer the N-th frame "<DC>" (repeatable, like --ack-delay)
  --ack-twice N          answer the N-th frame twice (repeatable)
  --exit-when-done       end after the update is complete
  --idle-timeout S       end after S seconds without traffic
  --report FILE          write a JSON report at exit
  --image-out FILE       write the flashed data as Intel HEX at exit
  --version              print the version and exit
  --help                 print this text and exit

A demonstration with the installed package, in a desktop session:
  sudo quorvel-boardsim --link /dev/ttyQSIM0     (in one terminal; /dev needs root)
  quorvel-updater                                (as yourself, in another)
then pick "ttyQSIM0", click "Abrir", and on "Atualização" "Conectar" and
"Iniciar Atualização". Started through sudo, the simulator gives its port to
the user who ran sudo (SUDO_UID, SUDO_GID), so the updater can open it.
)";

Simulator* running = nullptr;

void OnSignal(int) {
    if (running)
        running->Stop();
}

[[noreturn]] void Bad(const std::string& message) {
    std::cerr << "quorvel-boardsim: " << message << "\n" << Usage;
    std::exit(2);
}

int Count(const std::string& flag, const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 1 || value > INT_MAX)
        Bad(flag + " needs a whole number of at least 1");
    return static_cast<int>(value);
}

std::string Fixed(const std::string& flag, const char* text, size_t length) {
    if (std::strlen(text) != length)
        Bad(flag + " needs exactly " + std::to_string(length) + " characters");
    return text;
}

// "N" or "N:I": the N-th frame, byte I of a field of `length` bytes starting at `offset`.
LineFlip FlipAt(const std::string& flag, const std::string& text, int offset, int length) {
    const size_t colon = text.find(':');
    LineFlip flip{Count(flag, text.substr(0, colon).c_str()), offset};
    if (colon != std::string::npos) {
        const std::string index = text.substr(colon + 1);
        const int i = index == "0" ? 0 : Count(flag, index.c_str());
        if (i >= length)
            Bad(flag + " has a field of " + std::to_string(length) + " bytes");
        flip.Offset += i;
    }
    return flip;
}

// The faults that try the updater's transfer integrity; false when `flag` is none of them.
template <class Value> bool IntegrityFault(const std::string& flag, Value value, BoardConfig& b) {
    static const std::map<std::string, std::pair<int, int>> fields = {{"--flip-count", {2, 1}},
                                                                      {"--flip-address", {3, 3}},
                                                                      {"--flip-key", {6, 7}},
                                                                      {"--flip-data", {13, 64}}};
    if (auto field = fields.find(flag); field != fields.end()) {
        b.Flips.push_back(FlipAt(flag, value(), field->second.first, field->second.second));
    } else if (flag == "--key-rule") {
        const std::string rule = value();
        if (rule != "A" && rule != "B")
            Bad("--key-rule is A or B");
        b.Keys = rule == "A" ? KeyRule::ResetOnStatus : KeyRule::KeepUntilRestart;
    } else if (flag == "--lose-frame") {
        b.LoseFrame = Count(flag, value());
    } else if (flag == "--status-delay-ms") {
        b.StatusDelayMs = Count(flag, value());
    } else if (flag == "--stray-ff-poll") {
        b.StrayCompletionAtPoll = Count(flag, value());
    } else if (flag == "--ack-twice") {
        b.AckTwice.insert(Count(flag, value()));
    } else if (flag == "--stray-ff-frame") {
        b.StrayCompletionAtFrame = Count(flag, value());
    } else if (flag == "--ack-delay" || flag == "--ack-code") {
        // "N:MS" or "N:C".
        const std::string text = value();
        const size_t colon = text.find(':');
        if (colon == std::string::npos || colon + 1 >= text.size())
            Bad(flag + " needs N:" + (flag == "--ack-code" ? "C" : "MS"));
        const int frame = Count(flag, text.substr(0, colon).c_str());
        const std::string rest = text.substr(colon + 1);
        if (flag == "--ack-delay") {
            b.AckDelayMs[frame] = Count(flag, rest.c_str());
        } else {
            if (rest.size() != 1)
                Bad("--ack-code needs one character");
            b.AckCode[frame] = rest[0];
        }
    } else {
        return false;
    }
    return true;
}

// What the command line asks for.
struct Command {
    SimulatorOptions Options;
    std::string Link, ReportPath, ImagePath;
};

// The board's faults that take a count: "--nak-every N" and the like.
struct CountOption {
    const char* Flag;
    int BoardConfig::*Member;
};
constexpr CountOption CountOptions[] = {
    {"--nak-every", &BoardConfig::NakEvery},         {"--drop-answer", &BoardConfig::DropAnswerTo},
    {"--silent-after", &BoardConfig::SilentAfter},   {"--hang-up-after", &BoardConfig::HangUpAfter},
    {"--corrupt-every", &BoardConfig::CorruptEvery},
};

// Who the board is and what it does wrong; false when `flag` is none of that.
template <class Value> bool BoardOption(const std::string& flag, Value value, BoardConfig& b) {
    for (const CountOption& c : CountOptions) {
        if (flag == c.Flag) {
            b.*c.Member = Count(flag, value());
            return true;
        }
    }
    if (flag == "--boot") {
        b.StartInMonitor = true;
    } else if (flag == "--reboot") {
        b.Reboot = true;
    } else if (flag == "--reboot-fw") {
        b.Reboot = true;
        b.RebootFirmwareVersion = Fixed(flag, value(), 3);
    } else if (flag == "--fw") {
        b.FirmwareVersion = Fixed(flag, value(), 3);
    } else if (flag == "--mon") {
        b.MonitorVersion = Fixed(flag, value(), 3);
    } else if (flag == "--serial") {
        b.SerialNumber = Fixed(flag, value(), 6);
    } else if (flag == "--incompatible-monitor") {
        b.IncompatibleMonitor = true;
    } else {
        return IntegrityFault(flag, value, b);
    }
    return true;
}

// How the run goes and what it leaves behind; false when `flag` is none of that.
template <class Value> bool RunOption(const std::string& flag, Value value, Command& command) {
    SimulatorOptions& o = command.Options;
    if (flag == "--link")
        command.Link = value();
    else if (flag == "--pace")
        o.Pace = true;
    else if (flag == "--delay-ms")
        o.AnswerDelayMs = Count(flag, value());
    else if (flag == "--exit-when-done")
        o.ExitWhenDone = true;
    else if (flag == "--idle-timeout")
        o.IdleTimeoutSeconds = Count(flag, value());
    else if (flag == "--report")
        command.ReportPath = value();
    else if (flag == "--image-out")
        command.ImagePath = value();
    else
        return false;
    return true;
}

// The command line; --help and --version end the program here, anything wrong too.
Command ReadCommand(int argc, char** argv) {
    Command command;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                Bad(flag + " needs a value");
            return argv[++i];
        };
        if (BoardOption(flag, value, command.Options.Board) || RunOption(flag, value, command))
            continue;
        if (flag == "--help" || flag == "-h") {
            std::cout << Usage;
            std::exit(0);
        }
        if (flag == "--version") {
            std::cout << "quorvel-boardsim " QUORVEL_VERSION "\n";
            std::exit(0);
        }
        Bad("unknown option " + flag);
    }
    return command;
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        std::cerr << "quorvel-boardsim: cannot write " << path << "\n";
        return false;
    }
    return true;
}

// A link left behind by a run that was killed may be replaced; anything else is not ours.
bool MakeLink(const std::string& link, const std::string& target) {
    char old[PATH_MAX];
    ssize_t n = readlink(link.c_str(), old, sizeof old - 1);
    if (n >= 0) {
        old[n] = '\0';
        if (std::strncmp(old, "/dev/pts/", 9) != 0 || access(old, F_OK) == 0) {
            std::cerr << "quorvel-boardsim: " << link << " exists and points to " << old << "\n";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::cerr << "quorvel-boardsim: cannot create " << link << ": " << std::strerror(errno)
                  << "\n";
        return false;
    }
    return true;
}

// Under sudo the pseudo-terminal would be root's alone; the user who ran sudo gets it, so the
// updater started as that user can open it.
bool HandToSudoUser(const std::string& port) {
    const char* uid = std::getenv("SUDO_UID");
    const char* gid = std::getenv("SUDO_GID");
    if (geteuid() != 0 || !uid || !gid)
        return true;
    char* end = nullptr;
    unsigned long u = std::strtoul(uid, &end, 10);
    bool good = *uid && !*end;
    unsigned long g = std::strtoul(gid, &end, 10);
    good = good && *gid && !*end;
    if (!good || chown(port.c_str(), static_cast<uid_t>(u), static_cast<gid_t>(g)) != 0) {
        std::cerr << "quorvel-boardsim: cannot give " << port << " to the user of sudo: "
                  << (good ? std::strerror(errno) : "bad SUDO_UID/SUDO_GID") << "\n";
        return false;
    }
    return true;
}

void RemoveLink(const std::string& link, const std::string& target) {
    char now[PATH_MAX];
    ssize_t n = readlink(link.c_str(), now, sizeof now - 1);
    if (n >= 0 && std::string(now, static_cast<size_t>(n)) == target)
        unlink(link.c_str());
}

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The report and the flashed image, as asked; false when one could not be written.
bool WriteResults(const Command& command, const Board& board) {
    bool written = true;
    if (!command.ReportPath.empty())
        written = WriteFile(command.ReportPath, ReportJson(board)) && written;
    if (!command.ImagePath.empty())
        written = WriteFile(command.ImagePath, IntelHex(Segments(board.Memory()))) && written;
    return written;
}

int Run(const Command& command) {
    Simulator simulator(command.Options);
    if (!HandToSudoUser(simulator.SlavePath()))
        return 1;
    if (!command.Link.empty() && !MakeLink(command.Link, simulator.SlavePath()))
        return 1;
    running = &simulator;
    CatchStopSignals();

    std::cout << simulator.SlavePath() << std::endl;
    Simulator::End end = Simulator::End::Stopped;
    std::string failure;
    try {
        end = simulator.Run();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    running = nullptr;
    if (!command.Link.empty())
        RemoveLink(command.Link, simulator.SlavePath());

    const bool written = WriteResults(command, simulator.GetBoard());
    if (!failure.empty()) {
        std::cerr << "quorvel-boardsim: " << failure << "\n";
        return 1;
    }
    if (end == Simulator::End::HungUp)
        std::cerr << "quorvel-boardsim: hung up the line as asked\n";
    return written ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const Command command = ReadCommand(argc, argv);
    try {
        return Run(command);
    } catch (const std::exception& e) {
        std::cerr << "quorvel-boardsim: " << e.what() << "\n";
        return 1;
    }
}
