#include "flash/Output.h"

#include "flash/Platform.h"
#include "flash/PortList.h"
#include "flash/Printable.h"
#include "flash/Texts.h"
#include "framework/Json.h"
#include "updater/FirmwareImage.h"
#include "updater/OpenFailure.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

namespace {

std::string EndText(const AttemptEnd& end) {
    if (const auto* own = std::get_if<PortEnd>(&end)) {
        switch (*own) {
        case PortEnd::OpenFailed:
            return Tr("could not open the port");
        case PortEnd::NoBoard:
            return Tr("no board");
        case PortEnd::Unverified:
            return Tr("completed, not verified");
        case PortEnd::AlreadyCurrent:
            return Tr("already current");
        case PortEnd::Probed:
            return Tr("answered");
        }
        return {};
    }
    switch (std::get<UpdateEnd>(end)) {
    case UpdateEnd::Completed:
        return Tr("completed");
    case UpdateEnd::GivenUp:
    case UpdateEnd::Refused:
    case UpdateEnd::SlowAnswers:
    case UpdateEnd::OutOfStep:
        return Tr("given up");
    case UpdateEnd::NoAnswer:
        return Tr("no answer");
    case UpdateEnd::PortError:
        return Tr("port error");
    case UpdateEnd::IncompatibleMonitor:
        return Tr("incompatible boot monitor");
    case UpdateEnd::Interrupted:
        return Tr("interrupted");
    }
    return {};
}

// How the last attempt ended, in the user's words; empty before one ended.
std::string LastEndText(const PortRun& run) {
    return run.LastEnd() ? EndText(*run.LastEnd()) : std::string();
}

// The port as the technician knows it: its socket's name on a bench, else its name.
std::string ShownName(const PortRun& run) {
    return Printable(run.Socket().empty() ? run.Port() : run.Socket());
}

// Every event starts with its name and the time it happened, to the millisecond.
nlohmann::ordered_json Event(const char* name) {
    return {{"event", name}, {"time", UtcNowMs()}};
}

// An event about a port: the port, and its socket on a bench.
nlohmann::ordered_json PortEvent(const char* name, const PortRun& run) {
    nlohmann::ordered_json event = Event(name);
    event["port"] = run.Port();
    if (!run.Socket().empty())
        event["socket"] = run.Socket();
    return event;
}

std::string BoardText(const std::string& board, const std::string& serial) {
    if (serial.empty())
        return Printable(board);
    return Printable(board + " " + serial);
}

int Percent(int blocks) {
    return BlockCount > 0 ? blocks * 100 / BlockCount : 0;
}

std::string Bar(int blocks, int width) {
    int filled = BlockCount > 0 ? blocks * width / BlockCount : 0;
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

// Characters on the terminal: a UTF-8 sequence counts once (escaped text has no controls).
size_t TextWidth(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80;
    return width;
}

// The first `count` characters of `text`.
std::string FirstChars(const std::string& text, size_t count) {
    size_t at = 0;
    for (size_t seen = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
            continue;
        if (seen++ == count)
            break;
    }
    return text.substr(0, at);
}

// `text` in at most `width` characters, its middle taken out: by-path names differ at both
// ends ("pci-0000:00:14.0-usb-0:1.1:1.0-port0").
std::string ShortenMiddle(const std::string& text, size_t width) {
    const size_t length = TextWidth(text);
    if (length <= width || width < 3)
        return FirstChars(text, width);
    const size_t head = (width - 1) / 2, tail = width - 1 - head;
    return FirstChars(text, head) + "\u2026" + text.substr(FirstChars(text, length - tail).size());
}

std::string TimeLeft(const PortRun& run) {
    double elapsed = run.TransferSeconds();
    int blocks = run.BlocksSent();
    if (blocks == 0 || elapsed <= 0)
        return {};
    int left = static_cast<int>(elapsed / blocks * (BlockCount - blocks) + 0.5);
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", left / 60, left % 60);
    return TrFormat("%s left", {std::string(text)});
}

// Port names keep at least this many characters whatever the layout.
constexpr int MinNameWidth = 16;

// What follows the port's name on its live line; layouts 0 to 3 are ever narrower (a shorter
// bar, no block count, no board).
std::string LiveTail(const PortRun& run, int layout) {
    std::string tail;
    // The board once it has told who it is (an identification gives no serial number).
    const ReplyParserState& b =
        run.CurrentPhase() == Phase::Transferring ? run.Board() : run.Answered();
    if (!b.BoardName.empty() && layout < 3)
        tail += BoardText(b.BoardName, b.SerialNumber) + "  ";
    tail += StateText(run);
    if (run.CurrentPhase() != Phase::Transferring)
        return tail;
    const int blocks = run.BlocksSent();
    tail += "  " + Bar(blocks, layout == 0 ? 20 : 10) + " " + std::to_string(Percent(blocks)) + "%";
    if (layout < 2)
        tail += " " + std::to_string(blocks) + "/" + std::to_string(BlockCount);
    if (std::string left = TimeLeft(run); !left.empty())
        tail += "  " + left;
    return tail;
}

} // namespace

namespace {

// The system's error code behind the last attempt's end (-1: none), and the language its
// cause is told in.
int AdviceErrorCode(const PortRun& run) {
    return run.LastErrorCode() > 0 ? run.LastErrorCode() : -1;
}

CauseLanguage UserCauseLanguage() {
    return PortugueseWanted() ? CauseLanguage::Portuguese : CauseLanguage::English;
}

std::string PortEndAdvice(PortEnd end, const PortRun& run) {
    switch (end) {
    case PortEnd::OpenFailed: {
        // The window's causes, except where the flasher knows more: who holds the port, and
        // how to look up the right name.
        const int code = AdviceErrorCode(run);
        switch (ClassifyOpenFailure(code)) {
        case OpenFailureKind::InUse:
            return TrFormat("in use by %s: close it and run again",
                            {HoldersText(run.LastHolders())});
        case OpenFailureKind::NotFound:
            return Tr("no such port: check its name with quorvel-flash --list");
        case OpenFailureKind::None:
            return TrFormat("%s: check the port with quorvel-flash --list",
                            {Printable(run.LastDetail())});
        default:
            return OpenFailureCause(code, UserCauseLanguage());
        }
    }
    case PortEnd::NoBoard:
        return Tr("nothing answered \"(%B67)\" at 9600 baud nor \"<S@>\" at 19200 baud");
    case PortEnd::Unverified:
        return TrFormat("%s: the image was sent whole, yet the board does not run it; switch it "
                        "off and on, and update it again if it still does not start",
                        {Printable(run.LastDetail())});
    case PortEnd::AlreadyCurrent:
    case PortEnd::Probed:
        // "(%B67)" sent the board into its boot monitor, where it stays until restarted.
        return Tr("nothing sent; switch the board off and on to leave its boot monitor");
    }
    return {};
}

std::string UpdateEndAdvice(UpdateEnd end, const PortRun& run) {
    switch (end) {
    case UpdateEnd::PortError: {
        const int code = AdviceErrorCode(run);
        const OpenFailureKind kind = ClassifyOpenFailure(code);
        const std::string cause = TransferFailureCause(code, UserCauseLanguage());
        // The system's words only when they are not the adapter pulled out.
        if (kind == OpenFailureKind::Gone || kind == OpenFailureKind::NotWorking)
            return cause;
        if (run.LastDetail().empty())
            return cause;
        return Printable(run.LastDetail()) + ". " + cause;
    }
    case UpdateEnd::NoAnswer:
        return Tr("no board answered: check the cable and the board's power; a board that "
                  "stays silent may need to be switched on with 'Dígito' held to start its boot "
                  "monitor");
    case UpdateEnd::OutOfStep:
        return Tr("answers out of step with the frames: the board may hold a wrong image; "
                  "switch it on with the 'Dígito' key held down and run the update again");
    case UpdateEnd::Refused:
    case UpdateEnd::SlowAnswers:
        // What happened in the record's words, then what to do.
        return run.LastDetail() + ": " +
               Tr("to try again, switch the board on with the 'Dígito' key held down and "
                  "run the update again");
    case UpdateEnd::GivenUp:
        // The window's give-up box says the same.
        return Tr("the board stopped answering: to try again, switch the board on with the "
                  "'Dígito' key held down and run the update again");
    case UpdateEnd::IncompatibleMonitor:
        return Tr("this updater works with boot monitor 1.0 only: use the updater made for the "
                  "board's monitor");
    case UpdateEnd::Completed:
    case UpdateEnd::Interrupted:
        break;
    }
    return {};
}

// What the result line tells of the transfer or the board, after the board's name.
std::string ResultFacts(const AttemptEnd& end, const UpdateRecord& r) {
    if (end == AttemptEnd{UpdateEnd::IncompatibleMonitor})
        return ", " + TrFormat("monitor %s (needs 1.0)", {r.MonitorVersion});
    if (end == AttemptEnd{PortEnd::AlreadyCurrent} || end == AttemptEnd{PortEnd::Probed})
        return ", " + TrFormat("firmware %s, monitor %s",
                               {Printable(r.FirmwareBefore), Printable(r.MonitorVersion)});
    // Cut off, the attempt may not have come as far as a transfer.
    const bool cut =
        end == AttemptEnd{UpdateEnd::Interrupted} || end == AttemptEnd{UpdateEnd::PortError};
    const auto* e = std::get_if<UpdateEnd>(&end);
    const bool transferred = end == AttemptEnd{UpdateEnd::Completed} ||
                             end == AttemptEnd{PortEnd::Unverified} || (e && IsGiveUp(*e));
    if (!cut && !transferred)
        return {};
    std::string facts;
    if (r.Blocks > 0 || !cut)
        facts += ", " + TrFormat("%d/%d blocks", {r.Blocks, r.BlockCount});
    if (r.Resends > 0)
        facts += ", " + TrPlural("%d resend", "%d resends", r.Resends, {r.Resends});
    return facts;
}

} // namespace

std::string FailureAdvice(const PortRun& run) {
    if (!run.LastEnd())
        return {};
    if (const auto* own = std::get_if<PortEnd>(&*run.LastEnd()))
        return PortEndAdvice(*own, run);
    return UpdateEndAdvice(std::get<UpdateEnd>(*run.LastEnd()), run);
}

std::string StateText(const PortRun& run) {
    switch (run.CurrentPhase()) {
    case Phase::Connecting:
        return Tr("connecting");
    case Phase::Waiting:
        return Tr("waiting for the next board");
    case Phase::Verifying:
        return Tr("waiting for the restarted board");
    case Phase::Transferring:
        return run.BlocksSent() < BlockCount ? Tr("updating") : Tr("finishing");
    case Phase::Finished:
        break;
    }
    return LastEndText(run);
}

std::string ResultLine(const PortRun& run) {
    const UpdateRecord& r = run.LastRecord();
    std::string line = ShownName(run) + ": " + LastEndText(run);
    if (!r.Board.empty())
        line += ", " + BoardText(r.Board, r.SerialNumber);
    if (run.LastEnd())
        line += ResultFacts(*run.LastEnd(), r);
    if (r.Verified == true)
        line += ", " + TrFormat("firmware %s runs after the restart", {r.FirmwareAfter});
    if (std::string advice = FailureAdvice(run); !advice.empty())
        line += ": " + advice;
    return line;
}

Progress::Seen& Progress::SeenFor(const PortRun& run) {
    for (auto& [r, seen] : seen_)
        if (r == &run)
            return seen;
    seen_.push_back({&run, Seen{}});
    return seen_.back().second;
}

void Progress::Update(const std::vector<std::unique_ptr<PortRun>>& runs) {
    if (mode_ == OutputMode::Live) {
        DrawLive(runs);
        return;
    }
    for (const auto& run : runs) {
        if (run->Finished())
            continue;
        if (mode_ == OutputMode::Plain)
            Plain(*run);
        else if (mode_ == OutputMode::Json)
            Json(*run);
    }
    std::fflush(out_);
}

void Progress::Plain(const PortRun& run) {
    Seen& seen = SeenFor(run);
    std::string state = StateText(run);
    bool transferring = run.CurrentPhase() == Phase::Transferring;
    int decile = transferring ? Percent(run.BlocksSent()) / 10 : -1;
    if (state == seen.State && decile == seen.Decile)
        return;
    std::string line = ShownName(run) + ": " + state;
    if (transferring) {
        if (state != seen.State)
            line += " " + BoardText(run.Board().BoardName, run.Board().SerialNumber) + ", " +
                    TrFormat("firmware %s, monitor %s",
                             {run.Board().FirmwareVersion, run.Board().MonitorVersion});
        line += ", " + TrFormat("%d%% (%d/%d blocks)",
                                {Percent(run.BlocksSent()), run.BlocksSent(), BlockCount});
    }
    std::fprintf(out_, "%s\n", line.c_str());
    seen.State = state;
    seen.Decile = decile;
}

void Progress::Json(const PortRun& run) {
    Seen& seen = SeenFor(run);
    const char* state = nullptr;
    switch (run.CurrentPhase()) {
    case Phase::Connecting:
        state = "connecting";
        break;
    case Phase::Waiting:
        state = "waiting";
        break;
    case Phase::Verifying:
        state = "verifying";
        break;
    case Phase::Transferring:
        state = run.BlocksSent() < BlockCount ? "updating" : "finishing";
        break;
    case Phase::Finished:
        return;
    }
    if (seen.State != state) {
        nlohmann::ordered_json event = PortEvent("state", run);
        event["state"] = state;
        Print(event);
        seen.State = state;
    }
    bool transferring = run.CurrentPhase() == Phase::Transferring;
    if (transferring && !seen.BoardShown) {
        const ReplyParserState& b = run.Board();
        nlohmann::ordered_json event = PortEvent("board", run);
        event["board"] = b.BoardName;
        event["serial"] = b.SerialNumber;
        event["firmware"] = b.FirmwareVersion;
        event["monitor"] = b.MonitorVersion;
        Print(event);
        seen.BoardShown = true;
    }
    if (!transferring)
        seen.BoardShown = false;
    if (transferring && run.BlocksSent() != seen.Blocks) {
        nlohmann::ordered_json event = PortEvent("progress", run);
        event["blocks"] = run.BlocksSent();
        event["block_count"] = BlockCount;
        event["percent"] = Percent(run.BlocksSent());
        Print(event);
        seen.Blocks = run.BlocksSent();
    }
}

void Progress::Print(const nlohmann::ordered_json& event) {
    std::fprintf(out_, "%s\n", JsonLine(event).c_str());
}

void Progress::DrawLive(const std::vector<std::unique_ptr<PortRun>>& runs) {
    // A few redraws a second are enough to read, and each one is a screenful in a scrollback
    // (tmux, screen); a line that changed waits for the next tick at most.
    const auto now = std::chrono::steady_clock::now();
    if (liveLines_ > 0 && now - lastDraw_ < std::chrono::milliseconds(250))
        return;
    const std::string frame = LiveFrame(runs, flashplatform::TerminalColumns());
    if (liveLines_ == static_cast<int>(runs.size()) && frame == lastFrame_)
        return;
    EraseLive();
    std::fputs(frame.c_str(), out_);
    lastFrame_ = frame;
    lastDraw_ = now;
    liveLines_ = static_cast<int>(runs.size());
    std::fflush(out_);
}

void Progress::EraseLive() {
    if (liveLines_ > 0)
        std::fprintf(out_, "\033[%dF\033[J", liveLines_);
    liveLines_ = 0;
}

std::string LiveFrame(const std::vector<std::unique_ptr<PortRun>>& runs, int columns) {
    // The narrowest layout that leaves the port names some room: the bar and the time left
    // stay to the last.
    std::vector<std::string> names, tails;
    size_t nameWidth = 0, tailWidth = 0;
    for (const auto& run : runs) {
        names.push_back(ShownName(*run));
        nameWidth = std::max(nameWidth, TextWidth(names.back()));
    }
    for (int layout = 0; layout < 4; ++layout) {
        tails.clear();
        tailWidth = 0;
        for (const auto& run : runs) {
            tails.push_back(LiveTail(*run, layout));
            tailWidth = std::max(tailWidth, TextWidth(tails.back()));
        }
        if (static_cast<int>(tailWidth) + 3 + MinNameWidth <= columns)
            break;
    }
    const int room = columns - 3 - static_cast<int>(tailWidth);
    const size_t fits = static_cast<size_t>(std::max(room, MinNameWidth));
    if (nameWidth > fits && names.size() > 1) {
        // What all names share (the folder, the bus) tells the sockets apart least.
        size_t common = names[0].size();
        for (const std::string& name : names)
            common =
                std::min(common, static_cast<size_t>(std::mismatch(name.begin(), name.end(),
                                                                   names[0].begin(), names[0].end())
                                                         .first -
                                                     name.begin()));
        // Back to a separator, so the part that differs keeps its own field ("1.1:1.0-port0").
        while (common > 0 && std::string("/-:").find(names[0][common - 1]) == std::string::npos)
            --common;
        nameWidth = 0;
        for (std::string& name : names) {
            name = "\u2026" + name.substr(common);
            nameWidth = std::max(nameWidth, TextWidth(name));
        }
    }
    nameWidth = std::min(nameWidth, fits);
    std::string frame;
    for (size_t i = 0; i < runs.size(); ++i) {
        std::string name = ShortenMiddle(names[i], nameWidth);
        std::string line = name + std::string(nameWidth - TextWidth(name) + 2, ' ') + tails[i];
        // One terminal row per port, or the redraw would climb over the wrong lines.
        frame += "\033[2K" + FirstChars(line, columns > 1 ? columns - 1 : 0) + "\n";
    }
    return frame;
}

void Progress::LeftAlone(const std::string& port, const std::vector<ComPortHolder>& holders) {
    if (mode_ != OutputMode::Json) {
        std::fprintf(stderr, "%s\n",
                     TrFormat("%s: left alone, in use by %s",
                              {Printable(port), Printable(HoldersText(holders))})
                         .c_str());
        return;
    }
    nlohmann::ordered_json event = Event("left-alone");
    event["port"] = port;
    event["held_by"] = HeldBy(holders);
    Print(event);
    std::fflush(out_);
}

void Progress::AttemptEnded(const PortRun& run) {
    // The totals count boards, not attempts: a board tried again counts by its last attempt.
    int* counter = &failed_;
    const std::optional<AttemptEnd>& end = run.LastEnd();
    if (end == AttemptEnd{UpdateEnd::Completed} || end == AttemptEnd{PortEnd::Unverified})
        counter = &updated_;
    else if (end == AttemptEnd{UpdateEnd::Interrupted})
        counter = &interrupted_;
    else if (end == AttemptEnd{PortEnd::NoBoard})
        counter = &noBoard_;
    else if (end == AttemptEnd{PortEnd::AlreadyCurrent})
        counter = &current_;
    else if (end == AttemptEnd{PortEnd::Probed})
        counter = &probed_;
    const bool verified = run.LastRecord().Verified == true;
    if (const std::string& serial = run.LastRecord().SerialNumber; !serial.empty()) {
        auto [counted, first] = counted_.try_emplace(serial, Counted{counter, verified});
        if (!first) {
            --*counted->second.Counter;
            verified_ -= counted->second.Verified;
            counted->second = {counter, verified};
        }
    }
    ++*counter;
    verified_ += verified;
    if (mode_ == OutputMode::Json) {
        nlohmann::ordered_json event = PortEvent("result", run);
        event["result"] = ResultName(*run.LastEnd());
        event["detail"] = FailureAdvice(run);
        event["system_error"] = run.LastDetail();
        event["record"] = UpdateRecordObject(run.LastRecord());
        Print(event);
    } else {
        EraseLive();
        std::fprintf(out_, "%s\n", ResultLine(run).c_str());
    }
    std::fflush(out_);
}

void Progress::Finish(const std::vector<std::unique_ptr<PortRun>>& runs, bool interrupted) {
    EraseLive();
    // The totals come last: a reader of the events may stop at them.
    for (const auto& run : runs) {
        if (!run->HalfWritten())
            continue;
        const UpdateRecord& r = run->LastRecord();
        std::string text =
            TrFormat("%s: board %s is half-written: restart it into its boot monitor (hold "
                     "'Dígito' while switching it on) and update it again",
                     {ShownName(*run), BoardText(r.Board, r.SerialNumber)});
        if (mode_ == OutputMode::Json) {
            nlohmann::ordered_json event = PortEvent("half-written", *run);
            event["serial"] = r.SerialNumber;
            Print(event);
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (mode_ == OutputMode::Json) {
        nlohmann::ordered_json event = Event("summary");
        event["updated"] = updated_;
        event["verified"] = verified_;
        event["failed"] = failed_;
        event["interrupted"] = interrupted_;
        event["no_board"] = noBoard_;
        event["already_current"] = current_;
        event["probed"] = probed_;
        // Tenths, as "12.3": the library writes the shortest text that reads back the same.
        event["seconds"] = std::round(seconds * 10) / 10;
        Print(event);
    } else if (updated_ + failed_ + interrupted_ + noBoard_ + current_ + probed_ > 1 ||
               interrupted) {
        // One board's result line says it all; a batch, or a run cut short, gets its total.
        const int whole = static_cast<int>(seconds + 0.5);
        char time[16];
        std::snprintf(time, sizeof time, "%d:%02d", whole / 60, whole % 60);
        std::string line = TrPlural("%d board updated", "%d boards updated", updated_, {updated_});
        if (verified_ > 0)
            line += ", " + TrPlural("%d verified", "%d verified", verified_, {verified_});
        line += ", " + TrPlural("%d failed", "%d failed", failed_, {failed_});
        if (interrupted_ > 0)
            line +=
                ", " + TrPlural("%d interrupted", "%d interrupted", interrupted_, {interrupted_});
        if (current_ > 0)
            line +=
                ", " + TrPlural("%d already current", "%d already current", current_, {current_});
        if (probed_ > 0)
            line += ", " + TrPlural("%d answered", "%d answered", probed_, {probed_});
        if (noBoard_ > 0)
            line += ", " + TrPlural("%d port without a board", "%d ports without a board", noBoard_,
                                    {noBoard_});
        line += ", " + TrFormat("%s in all", {std::string(time)});
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}
