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
    bool Loop = false;
    bool NoLog = false;
    int WaitSeconds = 15;
    std::string LogPath;   // empty: the default service log
    std::string ImagePath; // empty: the built-in image
    std::vector<std::string> Ports;
};

// False with `error` set for an unknown option, a missing or bad value, or nothing to do.
bool ParseFlashOptions(const std::vector<std::string>& args, FlashOptions& options,
                       std::string& error);

// The --help text, translated.
std::string FlashUsage();
