// quorvel-flash: the board update from the command line, several ports at once, with a
// service record per board.
#include "flash/Flasher.h"
#include "flash/History.h"
#include "flash/ImageFile.h"
#include "flash/Platform.h"
#include "flash/PortList.h"
#include "flash/Texts.h"
#include "i18n/Translation.h"
#include "serial/ComPortInfo.h"
#include "serial/ComPortStartup.h"
#include "updater/FirmwareImage.h"
#include "updater/UpdateLog.h"

#include <cstdio>
#include <exception>
#include <filesystem>

namespace {

int Run(int argc, char** argv) {
    FlashOptions options;
    std::string error;
    if (!ParseFlashOptions({argv + 1, argv + argc}, options, error)) {
        std::fprintf(stderr, "quorvel-flash: %s\n", error.c_str());
        return 1;
    }
    if (options.Help) {
        std::fputs(FlashUsage().c_str(), stdout);
        return 0;
    }
    if (options.Version) {
        std::puts("quorvel-flash " QUORVEL_VERSION);
        return 0;
    }
    if (options.List) {
        std::vector<std::string> ports;
        if (options.AllIn.empty())
            EnumComPorts(ports);
        else if (!ReadPortFolder(options.AllIn, ports))
            return 1;
        PrintPortList(stdout, options.Json, ports);
        return 0;
    }
    if (options.History) {
        HistoryRequest request{options.LogPath.empty() ? DefaultUpdateLogPath() : options.LogPath,
                               options.HistoryFilter, options.Json, options.Summary};
        switch (PrintHistory(stdout, request, error)) {
        case HistoryResult::Printed:
            return 0;
        case HistoryResult::NoRecords:
            return NothingToDoExitCode;
        case HistoryResult::Unreadable:
            break;
        }
        std::fprintf(stderr, "quorvel-flash: %s\n", error.c_str());
        return 1;
    }
    if (!options.CheckImage.empty()) {
        ImageFileFacts facts;
        if (!LoadImageFile(options.CheckImage, facts, error)) {
            std::fprintf(stderr, "quorvel-flash: %s\n", error.c_str());
            return 1;
        }
        std::fputs(DescribeImageFile(options.CheckImage, facts).c_str(), stdout);
        return 0;
    }
    ImageFacts image;
    if (options.ImagePath.empty()) {
        LoadFirmwareImage();
        image.FirmwareWritten = BuiltInFirmwareVersion;
    } else {
        // Refused before any port is touched.
        ImageFileFacts facts;
        if (!LoadImageFile(options.ImagePath, facts, error)) {
            std::fprintf(stderr, "quorvel-flash: %s\n", error.c_str());
            return 1;
        }
        // The record names the file wherever the flasher was started from.
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(options.ImagePath, ec);
        image.File = ec ? options.ImagePath : absolute.lexically_normal().string();
        image.Sha256 = facts.Sha256;
    }
    OutputMode mode = options.Json                        ? OutputMode::Json
                      : options.Quiet                     ? OutputMode::Quiet
                      : flashplatform::IsTerminal(stdout) ? OutputMode::Live
                                                          : OutputMode::Plain;
    Progress progress(mode, stdout);
    return RunFlasher(options, image, progress);
}

} // namespace

int main(int argc, char** argv) {
    flashplatform::PrepareConsole();
    try {
        StartTranslation();
        ComPortStartup();
    } catch (const std::exception& e) {
        // A broken catalogue costs the translations, not the update.
        std::fprintf(stderr, "quorvel-flash: %s\n", e.what());
    }
    int status = 1;
    try {
        status = Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvel-flash: %s\n", e.what());
    }
    ComPortShutdown();
    gnugettext::GnuGettextShutdown();
    return status;
}
