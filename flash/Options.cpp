#include "flash/Options.h"

#include "flash/Texts.h"

#include <charconv>

namespace {

bool ParseSeconds(const std::string& text, int& seconds) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 86400)
        return false;
    seconds = value;
    return true;
}

} // namespace

bool ParseFlashOptions(const std::vector<std::string>& args, FlashOptions& options,
                       std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = TrFormat("option %s needs a value", {arg});
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--version") {
            options.Version = true;
        } else if (arg == "--list") {
            options.List = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.Quiet = true;
        } else if (arg == "--loop") {
            options.Loop = true;
        } else if (arg == "--no-log") {
            options.NoLog = true;
        } else if (arg == "--wait") {
            if (!value(text))
                return false;
            if (!ParseSeconds(text, options.WaitSeconds)) {
                error = TrFormat("--wait takes whole seconds from 1 to 86400, not \"%s\"", {text});
                return false;
            }
        } else if (arg == "--log") {
            if (!value(options.LogPath))
                return false;
        } else if (arg == "--image") {
            if (!value(options.ImagePath))
                return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = TrFormat("unknown option %s", {arg});
            return false;
        } else {
            options.Ports.push_back(arg);
        }
    }
    if (!options.Help && !options.Version && !options.List && options.Ports.empty()) {
        error = Tr("no port given (try --list, or --help)");
        return false;
    }
    return true;
}

std::string FlashUsage() {
    std::string text =
        Tr("Usage: quorvel-flash [options] PORT...\n"
           "       quorvel-flash --list [--json]\n"
           "\n"
           "Updates the firmware of Quorvel KX27 boards on the given serial ports, all at\n"
           "once, and appends a service record per board to the update log.\n"
           "\n"
           "Options:\n"
           "  --list          list the serial ports (USB adapter facts, \"busy\")\n"
           "  --wait SECONDS  give up on a board that has not answered by then (15)\n"
           "  --image FILE    send this Intel HEX file instead of the built-in image\n"
           "  --loop          after each board, wait on the same port for the next one\n"
           "  --log FILE      append the service records to FILE\n"
           "                  (default: $XDG_DATA_HOME/quorvel/updates.jsonl)\n"
           "  --no-log        keep no service record\n"
           "  --json          one JSON object per event instead of text\n"
           "  --quiet         print only the result line of each port\n"
           "  --help          this text\n"
           "  --version       print the version and exit\n"
           "\n"
           "Exit status:\n"
           "  0    every board was updated\n"
           "  1    bad command line, or an image file that cannot be used\n"
           "  2    a port could not be opened, or failed during an attempt\n"
           "  3    a board did not answer\n"
           "  4    a board's boot monitor is not compatible (version other than 1.0)\n"
           "  5    a transfer was given up (board stopped answering or kept refusing)\n"
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
