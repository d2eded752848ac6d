#pragma once
// The command line of quorvel-flash.
#include <string>
#include <vector>

struct FlashOptions {
    bool Help = false;
    bool Version = false;
    bool List = false;
    bool Json = false;
    bool Quiet = false;
    bool Verbose = false; // every frame and answer on standard error
    bool Loop = false;
    bool Verify = false;   // wait for the restarted board after a completion (on with --loop)
    bool NoVerify = false; // --no-verify
    bool All = false;      // every port where a board answers
    bool Probe = false;    // --probe: say who answers on each port, send no image
    // A board that already runs the image's version is left alone (on with --loop;
    // --no-skip-current turns it off).
    bool SkipCurrent = false;
    bool NoSkipCurrent = false;
    std::string AllIn; // --all-in: the ports in this folder only (such as /dev/serial/by-path)
    bool AllRemote = false; // --all-remote: --all over the named network ports too
    bool NoLog = false;
    bool History = false;
    bool Summary = false; // with --history: one line per day
    int WaitSeconds = 15;
    std::string LogPath;    // empty: the default service log
    std::string BenchPath;  // --bench: the bench file (empty: bench.conf beside the log)
    std::string ImagePath;  // empty: the built-in image
    std::string CheckImage; // --check-image: check this file and send nothing
    std::string HistoryFilter;
    std::vector<std::string> Ports;
};

// False with `error` set for an unknown option, a missing or bad value, a port given twice,
// options that do not go together, or nothing to do.
bool ParseFlashOptions(const std::vector<std::string>& args, FlashOptions& options,
                       std::string& error);

// One key for "ttyUSB0", "/dev/ttyUSB0" and a link to it: they name one device.
std::string SameDevice(const std::string& port);

// The --help text, translated.
std::string FlashUsage();
