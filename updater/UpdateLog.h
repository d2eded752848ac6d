#pragma once
// The service record: one JSON line per board and attempt, appended to a log that the window
// and the terminal flasher share, so a workshop can tell which board got which firmware.
#include "framework/Json.h"
#include "updater/UpdateEnd.h"

#include <chrono>
#include <optional>
#include <string>

struct UpdateState;

struct UpdateRecord {
    std::string Start, End; // ISO 8601, UTC
    std::string Port, Board, SerialNumber;
    std::string Socket; // the bench's name for the port's socket, if it has one
    std::string FirmwareBefore, MonitorVersion; // as the board reported them before the update
    std::string FirmwareWritten;        // the built-in image's version, only once it was written
    std::string ImageFile, ImageSha256; // an image loaded from a file instead
    int Blocks = 0, BlockCount = 0, Resends = 0, Refusals = 0;
    // "completed", "given-up", "no-answer", "open-failed", "wrong-monitor", "port-error" or
    // "interrupted".
    std::string Result;
    // Why an attempt did not complete: its end, and the port's error if there was one.
    std::string Reason;
    // Who held the port when it could not be opened ("minicom (pid 812)").
    std::string HeldBy;
    // Checked after a completion (unset otherwise): whether the restarted board answered with
    // the expected firmware, and the version it reported.
    std::optional<bool> Verified;
    std::string FirmwareAfter;
};

// "2026-12-08T07:31:02Z".
std::string Iso8601Utc(std::chrono::system_clock::time_point t);
// "2026-12-08T07:31:02.042Z".
std::string Iso8601UtcMs(std::chrono::system_clock::time_point t);

// The record of what `state` did on `port`, ended now with `result`; `detail` is the port's
// error text, if any.
UpdateRecord MakeUpdateRecord(const UpdateState& state, const std::string& port,
                              const std::string& result, const std::string& detail = {});
UpdateRecord MakeUpdateRecord(const UpdateState& state, const std::string& port, UpdateEnd end,
                              const std::string& detail = {});

// The record's reason for `end`: its typed name, and what happened if there is more to say.
std::string EndReason(UpdateEnd end, const std::string& detail);

// The record's fields in the log's order; unset optional fields are left out.
nlohmann::ordered_json UpdateRecordObject(const UpdateRecord& r);
// One line, no line break. Bytes from the board that are not UTF-8 come out as \u00XX.
std::string UpdateRecordJson(const UpdateRecord& r);

// quorvel/updates.jsonl under $XDG_DATA_HOME, or ~/.local/share when that is unset.
std::string DefaultUpdateLogPath();

// Appends the record as one line (AppendLogLine: locked, whole or not at all, on the disk when
// it returns true); makes missing folders. False with `error` set to the path and the cause,
// and `errorCode` (if given) to the system's code for it.
bool AppendUpdateRecord(const std::string& path, const UpdateRecord& r, std::string& error,
                        int* errorCode = nullptr);
