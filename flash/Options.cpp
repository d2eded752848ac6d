#include "flash/Options.h"

#include "flash/Texts.h"

#include <charconv>
#include <filesystem>

namespace {

bool ParseSeconds(const std::string& text, int& seconds) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 86400)
        return false;
    seconds = value;
    return true;
}

// Options that stand alone, and options that take a text.
struct FlagOption {
    const char* Name;
    const char* Short; // empty: none
    bool FlashOptions::*Member;
};
constexpr FlagOption FlagOptions[] = {
    {"--help", "-h", &FlashOptions::Help},
    {"--version", "-V", &FlashOptions::Version},
    {"--verbose", "-v", &FlashOptions::Verbose},
    {"--list", "", &FlashOptions::List},
    {"--json", "", &FlashOptions::Json},
    {"--quiet", "-q", &FlashOptions::Quiet},
    {"--loop", "", &FlashOptions::Loop},
    {"--all", "", &FlashOptions::All},
    {"--all-remote", "", &FlashOptions::AllRemote},
    {"--verify", "", &FlashOptions::Verify},
    {"--no-verify", "", &FlashOptions::NoVerify},
    {"--probe", "", &FlashOptions::Probe},
    {"--skip-current", "", &FlashOptions::SkipCurrent},
    {"--no-skip-current", "", &FlashOptions::NoSkipCurrent},
    {"--no-log", "", &FlashOptions::NoLog},
    {"--history", "", &FlashOptions::History},
    {"--summary", "", &FlashOptions::Summary},
};

struct TextOption {
    const char* Name;
    std::string FlashOptions::*Member;
};
constexpr TextOption TextOptions[] = {
    {"--log", &FlashOptions::LogPath},
    {"--image", &FlashOptions::ImagePath},
    {"--check-image", &FlashOptions::CheckImage},
    {"--all-in", &FlashOptions::AllIn},
    {"--bench", &FlashOptions::BenchPath},
};

bool* FlagFor(const std::string& arg, FlashOptions& options) {
    for (const FlagOption& f : FlagOptions)
        if (arg == f.Name || arg == f.Short)
            return &(options.*f.Member);
    return nullptr;
}

std::string* TextFor(const std::string& arg, FlashOptions& options) {
    for (const TextOption& t : TextOptions)
        if (arg == t.Name)
            return &(options.*t.Member);
    return nullptr;
}

// Reads the option at `args[i]` (and its value, moving `i` past it); false with `error` set.
bool ReadOption(const std::vector<std::string>& args, size_t& i, FlashOptions& options,
                std::string& error) {
    std::string arg = args[i];
    // "--wait=3" as well as "--wait 3".
    std::string inlineValue;
    bool hasInline = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg.resize(eq);
        hasInline = true;
    }
    auto value = [&](std::string& out) {
        if (hasInline) {
            out = inlineValue;
            return true;
        }
        if (i + 1 >= args.size()) {
            error = TrFormat("option %s needs a value", {arg});
            return false;
        }
        out = args[++i];
        return true;
    };
    if (bool* flag = FlagFor(arg, options)) {
        if (hasInline) {
            error = TrFormat("option %s takes no value", {arg});
            return false;
        }
        *flag = true;
        return true;
    }
    if (std::string* text = TextFor(arg, options))
        return value(*text);
    if (arg != "--wait") {
        error = TrFormat("unknown option %s", {args[i]});
        return false;
    }
    std::string seconds;
    if (!value(seconds))
        return false;
    if (!ParseSeconds(seconds, options.WaitSeconds)) {
        error = TrFormat("--wait takes whole seconds from 1 to 86400, not \"%s\"", {seconds});
        return false;
    }
    return true;
}

bool ReadArguments(const std::vector<std::string>& args, FlashOptions& options,
                   std::string& error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-')
            options.Ports.push_back(arg);
        else if (arg == "--")
            optionsEnded = true;
        else if (!ReadOption(args, i, options, error))
            return false;
    }
    return true;
}

// A pair of options that turn one thing on and off; on by default with --loop.
bool Settle(bool& on, bool off, bool loop, const std::string& conflict, std::string& error) {
    if (on && off) {
        error = conflict;
        return false;
    }
    on = on || (loop && !off);
    return true;
}

// --history shows the records of one board or one port, or all.
bool SettleHistory(FlashOptions& options, std::string& error) {
    if (options.Ports.size() > 1) {
        error = Tr("--history takes one serial number or port");
        return false;
    }
    if (!options.Ports.empty())
        options.HistoryFilter = options.Ports[0];
    options.Ports.clear();
    return true;
}

bool CheckPorts(const FlashOptions& options, std::string& error) {
    if (options.List && !options.Ports.empty()) {
        error = TrFormat("--list lists every port and takes none (%s)", {options.Ports[0]});
        return false;
    }
    if (options.All && !options.Ports.empty()) {
        error = TrFormat("--all finds the ports itself and takes none (%s)", {options.Ports[0]});
        return false;
    }
    for (size_t i = 0; i < options.Ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (SameDevice(options.Ports[i]) == SameDevice(options.Ports[j])) {
                error = TrFormat("port %s given twice", {options.Ports[i]});
                return false;
            }
        }
    }
    if (!options.List && !options.All && options.Ports.empty()) {
        error = Tr("no port given (try --list, or --help)");
        return false;
    }
    return true;
}

} // namespace

bool ParseFlashOptions(const std::vector<std::string>& args, FlashOptions& options,
                       std::string& error) {
    if (!ReadArguments(args, options, error))
        return false;
    if (options.Help || options.Version || !options.CheckImage.empty())
        return true;
    options.All = options.All || !options.AllIn.empty();
    if (!Settle(options.Verify, options.NoVerify, options.Loop,
                Tr("--verify and --no-verify do not go together"), error) ||
        !Settle(options.SkipCurrent, options.NoSkipCurrent, options.Loop,
                Tr("--skip-current and --no-skip-current do not go together"), error))
        return false;
    if (options.History)
        return SettleHistory(options, error);
    // A plant network may hold ports that are not ours: only probed when asked.
    if (options.AllRemote)
        options.All = true;
    if (options.Summary) {
        error = Tr("--summary goes with --history");
        return false;
    }
    return CheckPorts(options, error);
}

std::string SameDevice(const std::string& port) {
    std::string path = !port.empty() && (port[0] == '/' || port[0] == '\\') ? port : "/dev/" + port;
#ifdef _WIN32
    std::string name = port;
    for (char& c : name)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return name;
#else
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : resolved.string();
#endif
}

std::string FlashUsage() {
    std::string text =
        Tr("Usage: quorvel-flash [options] PORT...\n"
           "       quorvel-flash --all [--loop] [options]\n"
           "       quorvel-flash --list [--json]\n"
           "       quorvel-flash --check-image FILE\n"
           "       quorvel-flash --history [--summary] [--json] [SERIAL|PORT]\n"
           "\n"
           "Updates the firmware of Quorvel KX27 boards on the given serial ports, all at\n"
           "once, and appends a service record per board to the update log. A port is a\n"
           "device, an RFC 2217 network port (rfc2217://host:port) or a name from\n"
           "ports.conf (~/.config/quorvel/ports.conf, /etc/quorvel/ports.conf).\n"
           "\n"
           "Options (--opt=VALUE and --opt VALUE both work; -- ends the options):\n"
           "  --list          list the serial ports (USB adapter facts, who holds them)\n"
           "  --all           update every board found on a USB or ACM port nobody holds\n"
           "  --all-in FOLDER the same over the ports in FOLDER (/dev/serial/by-path)\n"
           "  --all-remote    --all, and every network port named in ports.conf\n"
           "  --wait SECONDS  give up on a board that has not answered by then (15)\n"
           "  --image FILE    send this Intel HEX file instead of the built-in image\n"
           "  --check-image FILE  check an Intel HEX file and show what would be sent\n"
           "  --probe         connect to each board and show who it is, send no image\n"
           "  --skip-current  leave a board alone that already runs the image's version\n"
           "                  (on with --loop; --no-skip-current turns it off)\n"
           "  --loop          after each board, wait on the same port for the next one\n"
           "  --verify        after an update, wait up to --wait seconds for the restarted\n"
           "                  board to answer with the new firmware (on with --loop;\n"
           "                  --no-verify turns it off)\n"
           "  --bench FILE    name the bench's sockets (\"name = port\" lines; default:\n"
           "                  bench.conf beside the log, if there is one)\n"
           "  --log FILE      append the service records to FILE\n"
           "                  (default: $XDG_DATA_HOME/quorvel/updates.jsonl)\n"
           "  --no-log        keep no service record\n"
           "  --history       show the service records (of one board or port), newest last\n"
           "  --summary       with --history: one line per day\n"
           "  --json          one JSON object per event instead of text\n"
           "  -q, --quiet     print only the result line of each port\n"
           "  -v, --verbose   every frame and answer, with its time, on standard error\n"
           "  -h, --help      this text\n"
           "  -V, --version   print the version and exit\n"
           "\n"
           "Exit status:\n"
           "  0    every board was updated\n"
           "  1    bad command line, or an image file that cannot be used\n"
           "  2    a port could not be opened, or failed during an attempt\n"
           "  3    a board did not answer\n"
           "  4    a board's boot monitor is not compatible (version other than 1.0)\n"
           "  5    a transfer was given up (board stopped answering or kept refusing)\n"
           "  6    --verify: an updated board did not come back with the new firmware\n"
           "  7    a service record could not be written (it is printed on standard error)\n"
           "  8    nothing to do: no free port to probe, or no record to show\n"
           "  130  interrupted (Ctrl-C); boards cut off mid-transfer are named\n"
           "With several ports the highest code applies.\n");
#ifdef _WIN32
    // The log's default place on Windows (both languages quote the path the same way).
    const std::string posixDefault = "$XDG_DATA_HOME/quorvel/updates.jsonl";
    if (size_t at = text.find(posixDefault); at != std::string::npos)
        text.replace(at, posixDefault.size(), "%LOCALAPPDATA%\\quorvel\\updates.jsonl");
#endif
    return text;
}
