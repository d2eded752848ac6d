#include "updater/UpdateLog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace

std::string UpdateRecordJson(const UpdateRecord& r) {
    std::string j = "{";
    auto text = [&j](const char* key, const std::string& value) {
        j += std::string(j.size() > 1 ? "," : "") + "\"" + key + "\":" + Quoted(value);
    };
    auto number = [&j](const char* key, int value) {
        j += std::string(",\"") + key + "\":" + std::to_string(value);
    };
    text("start", r.Start);
    text("end", r.End);
    text("port", r.Port);
    text("board", r.Board);
    text("serial_number", r.SerialNumber);
    text("firmware_before", r.FirmwareBefore);
    text("monitor_version", r.MonitorVersion);
    text("firmware_written", r.FirmwareWritten);
    text("image_file", r.ImageFile);
    text("image_sha256", r.ImageSha256);
    number("blocks", r.Blocks);
    number("block_count", r.BlockCount);
    number("resends", r.Resends);
    number("refusals", r.Refusals);
    text("result", r.Result);
    return j + "}";
}

std::string DefaultUpdateLogPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : ".") + "/.local/share";
    }
    return base + "/quorvel/updates.jsonl";
}

bool AppendUpdateRecord(const std::string& path, const UpdateRecord& r, std::string& error) {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // One write per line: appends from several programs never interleave within a line.
    std::string line = UpdateRecordJson(r) + "\n";
    ssize_t n = ::write(fd, line.data(), line.size());
    int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        error = n < 0 ? std::strerror(saved) : "short write";
        return false;
    }
    return true;
}
