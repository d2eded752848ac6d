#pragma once
// What the flasher prints while the ports run: live lines on a terminal, plain lines for a
// log (per state change and per 10 %), JSON events, or only the results.
#include "flash/PortRun.h"
#include "framework/Json.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

enum class OutputMode { Live, Plain, Json, Quiet };

class Progress {
public:
    Progress(OutputMode mode, std::FILE* out) : mode_(mode), out_(out) {}

    // After each tick: the lines or events of what changed.
    void Update(const std::vector<std::unique_ptr<PortRun>>& runs);
    // --all: a port another program holds is left alone (a line on standard error, or an
    // event).
    void LeftAlone(const std::string& port, const std::vector<ComPortHolder>& holders);
    // An attempt ended on `run`: its result line or event.
    void AttemptEnded(const PortRun& run);
    // The end: boards cut off mid-transfer are named, then the totals (a line for more than
    // one attempt, an event always, the last one).
    // `interrupted`: the run was cut short (the total is shown even for one board).
    void Finish(const std::vector<std::unique_ptr<PortRun>>& runs, bool interrupted);

private:
    struct Seen {
        std::string State;
        int Decile = -1;
        int Blocks = -1;
        bool BoardShown = false;
    };
    Seen& SeenFor(const PortRun& run);
    void Plain(const PortRun& run);
    void Json(const PortRun& run);
    // One event, one line.
    void Print(const nlohmann::ordered_json& event);
    void DrawLive(const std::vector<std::unique_ptr<PortRun>>& runs);
    void EraseLive();

    OutputMode mode_;
    std::FILE* out_;
    std::vector<std::pair<const PortRun*, Seen>> seen_;
    int liveLines_ = 0;
    std::string lastFrame_; // the live lines on the screen
    std::chrono::steady_clock::time_point lastDraw_{};
    int updated_ = 0, failed_ = 0, interrupted_ = 0, noBoard_ = 0, verified_ = 0;
    int current_ = 0, probed_ = 0;
    // Where each board (by serial number) was counted.
    struct Counted {
        int* Counter;
        bool Verified;
    };
    std::map<std::string, Counted> counted_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The live lines of `runs` for a terminal `columns` wide, each ending in a line break: long
// port names lose their middle so the bar, percentage and time left stay in view.
std::string LiveFrame(const std::vector<std::unique_ptr<PortRun>>& runs, int columns);
// The state of a run in words ("connecting", "updating", ...), translated.
std::string StateText(const PortRun& run);
// What went wrong in the run's last attempt and what to do about it; empty for a completion
// or an interruption (which names half-written boards at the end).
std::string FailureAdvice(const PortRun& run);
// The result line of the run's last attempt ("ttyUSB0: completed, KX27 A10342, 118/118 blocks").
std::string ResultLine(const PortRun& run);
