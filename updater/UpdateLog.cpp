#include "updater/UpdateLog.h"

#include "framework/Json.h"
#include "updater/LogFile.h"
#include "updater/UpdateState.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return ".";
}
#endif

} // namespace

std::string Iso8601Utc(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &secs);
#else
    gmtime_r(&secs, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string Iso8601UtcMs(std::chrono::system_clock::time_point t) {
    std::string text = Iso8601Utc(t);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) % 1000;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms.count()));
    text.insert(text.size() - 1, fraction); // before the "Z"
    return text;
}

UpdateRecord MakeUpdateRecord(const UpdateState& state, const std::string& port, UpdateEnd end,
                              const std::string& detail) {
    if (!IsGiveUp(end))
        return MakeUpdateRecord(state, port, UpdateEndName(end), detail);
    // Every give-up has the one result; its reason says which it was.
    UpdateRecord r = MakeUpdateRecord(state, port, UpdateEndName(UpdateEnd::GivenUp));
    r.Reason = EndReason(end, detail);
    return r;
}

std::string EndReason(UpdateEnd end, const std::string& detail) {
    return detail.empty() ? UpdateEndName(end) : UpdateEndName(end) + (": " + detail);
}

UpdateRecord MakeUpdateRecord(const UpdateState& state, const std::string& port,
                              const std::string& result, const std::string& detail) {
    const bool completed = result == UpdateEndName(UpdateEnd::Completed);
    UpdateRecord r;
    r.Start = Iso8601Utc(state.Controller.Transfer.Start);
    r.End = Iso8601Utc(std::chrono::system_clock::now());
    r.Port = port;
    r.Board = state.Parser.BoardName;
    r.SerialNumber = state.Parser.SerialNumber;
    r.FirmwareBefore = state.Parser.FirmwareVersion;
    r.MonitorVersion = state.Parser.MonitorVersion;
    if (completed)
        r.FirmwareWritten = BuiltInFirmwareVersion;
    r.Blocks = state.Controller.Transfer.BlocksSent;
    r.BlockCount = BlockCount;
    r.Resends = state.Controller.Transfer.Resends;
    r.Refusals = state.Controller.Transfer.Refusals;
    r.Result = result;
    if (!completed)
        r.Reason = detail.empty() ? result : result + ": " + detail;
    return r;
}

nlohmann::ordered_json UpdateRecordObject(const UpdateRecord& r) {
    nlohmann::ordered_json o;
    o["start"] = r.Start;
    o["end"] = r.End;
    o["port"] = r.Port;
    if (!r.Socket.empty())
        o["socket"] = r.Socket;
    o["board"] = r.Board;
    o["serial"] = r.SerialNumber;
    o["firmware_before"] = r.FirmwareBefore;
    o["monitor"] = r.MonitorVersion;
    if (!r.FirmwareWritten.empty() && r.ImageFile.empty())
        o["firmware_written"] = r.FirmwareWritten;
    if (!r.ImageFile.empty()) {
        o["image_file"] = r.ImageFile;
        o["image_sha256"] = r.ImageSha256;
    }
    o["blocks"] = r.Blocks;
    o["block_count"] = r.BlockCount;
    o["resends"] = r.Resends;
    o["refusals"] = r.Refusals;
    o["result"] = r.Result;
    if (!r.Reason.empty())
        o["reason"] = r.Reason;
    if (!r.HeldBy.empty())
        o["held_by"] = r.HeldBy;
    if (r.Verified) {
        o["verified"] = *r.Verified;
        if (!r.FirmwareAfter.empty())
            o["firmware_after"] = r.FirmwareAfter;
    }
    return o;
}

std::string UpdateRecordJson(const UpdateRecord& r) {
    return JsonLine(UpdateRecordObject(r));
}

#ifdef _WIN32
// Per-user program data on Windows lives in %LOCALAPPDATA% (HOME there may be a Unix path
// handed in by Wine or an MSYS shell).
std::string DefaultUpdateLogPath() {
    if (const char* local = std::getenv("LOCALAPPDATA"); local && *local)
        return std::string(local) + "\\quorvel\\updates.jsonl";
    if (const char* profile = std::getenv("USERPROFILE"); profile && *profile)
        return std::string(profile) + "\\AppData\\Local\\quorvel\\updates.jsonl";
    return "quorvel\\updates.jsonl";
}
#else
std::string DefaultUpdateLogPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    const std::string base = data && data[0] == '/' ? data : HomeFolder() + "/.local/share";
    return base + "/quorvel/updates.jsonl";
}
#endif

bool AppendUpdateRecord(const std::string& path, const UpdateRecord& r, std::string& error,
                        int* errorCode) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    int code = 0;
    if (AppendLogLine(path, UpdateRecordJson(r), error, code))
        return true;
    error = path + ": " + error;
    if (errorCode)
        *errorCode = code;
    return false;
}
