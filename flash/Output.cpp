#include "flash/Output.h"

#include "flash/Platform.h"
#include "flash/Texts.h"
#include "framework/Json.h"
#include "updater/FirmwareImage.h"

#include <algorithm>

namespace {

std::string OutcomeText(Outcome outcome) {
    switch (outcome) {
    case Outcome::Completed:
        return Tr("completed");
    case Outcome::GivenUp:
        return Tr("given up");
    case Outcome::NoAnswer:
        return Tr("no answer");
    case Outcome::OpenFailed:
        return Tr("could not open the port");
    case Outcome::WrongMonitor:
        return Tr("incompatible boot monitor");
    case Outcome::Interrupted:
        return Tr("interrupted");
    case Outcome::None:
        break;
    }
    return {};
}

std::string BoardText(const std::string& board, const std::string& serial) {
    if (serial.empty())
        return board;
    return board + " " + serial;
}

int Percent(int blocks) {
    return BlockCount > 0 ? blocks * 100 / BlockCount : 0;
}

std::string Bar(int blocks, int width) {
    int filled = BlockCount > 0 ? blocks * width / BlockCount : 0;
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
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

} // namespace

std::string StateText(const PortRun& run) {
    switch (run.CurrentPhase()) {
    case Phase::Connecting:
        return Tr("connecting");
    case Phase::Waiting:
        return Tr("waiting for the next board");
    case Phase::Transferring:
        return run.BlocksSent() < BlockCount ? Tr("updating") : Tr("finishing");
    case Phase::Finished:
        break;
    }
    return OutcomeText(run.LastOutcome());
}

std::string ResultLine(const PortRun& run) {
    const UpdateRecord& r = run.LastRecord();
    std::string line = run.Port() + ": " + OutcomeText(run.LastOutcome());
    if (!r.Board.empty())
        line += ", " + BoardText(r.Board, r.SerialNumber);
    switch (run.LastOutcome()) {
    case Outcome::Completed:
    case Outcome::GivenUp:
    case Outcome::Interrupted:
        if (r.Blocks > 0 || run.LastOutcome() != Outcome::Interrupted)
            line += ", " + TrFormat("%d/%d blocks", {r.Blocks, r.BlockCount});
        if (r.Resends > 0)
            line += ", " + TrPlural("%d resend", "%d resends", r.Resends, {r.Resends});
        break;
    case Outcome::WrongMonitor:
        line += ", " + TrFormat("monitor %s (needs 1.0)", {r.MonitorVersion});
        break;
    default:
        break;
    }
    if (!run.LastDetail().empty())
        line += ": " + run.LastDetail();
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
    std::string line = run.Port() + ": " + state;
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
    case Phase::Transferring:
        state = run.BlocksSent() < BlockCount ? "updating" : "finishing";
        break;
    case Phase::Finished:
        return;
    }
    std::string port = JsonQuoted(run.Port());
    if (seen.State != state) {
        std::fprintf(out_, "{\"event\":\"state\",\"port\":%s,\"state\":\"%s\"}\n", port.c_str(),
                     state);
        seen.State = state;
    }
    bool transferring = run.CurrentPhase() == Phase::Transferring;
    if (transferring && !seen.BoardShown) {
        const ReplyParserState& b = run.Board();
        std::fprintf(out_,
                     "{\"event\":\"board\",\"port\":%s,\"board\":%s,\"serial\":%s,"
                     "\"firmware\":%s,\"monitor\":%s}\n",
                     port.c_str(), JsonQuoted(b.BoardName).c_str(),
                     JsonQuoted(b.SerialNumber).c_str(), JsonQuoted(b.FirmwareVersion).c_str(),
                     JsonQuoted(b.MonitorVersion).c_str());
        seen.BoardShown = true;
    }
    if (!transferring)
        seen.BoardShown = false;
    if (transferring && run.BlocksSent() != seen.Blocks) {
        std::fprintf(out_,
                     "{\"event\":\"progress\",\"port\":%s,\"blocks\":%d,\"block_count\":%d}\n",
                     port.c_str(), run.BlocksSent(), BlockCount);
        seen.Blocks = run.BlocksSent();
    }
}

void Progress::DrawLive(const std::vector<std::unique_ptr<PortRun>>& runs) {
    EraseLive();
    int columns = flashplatform::TerminalColumns();
    size_t portWidth = 0;
    for (const auto& run : runs)
        portWidth = std::max(portWidth, run->Port().size());
    for (const auto& run : runs) {
        std::string line = run->Port() + std::string(portWidth - run->Port().size() + 2, ' ');
        // The board once it has told who it is (an identification gives no serial number).
        const ReplyParserState& b =
            run->CurrentPhase() == Phase::Transferring ? run->Board() : run->Answered();
        if (!b.BoardName.empty())
            line += BoardText(b.BoardName, b.SerialNumber) + "  ";
        line += StateText(*run);
        if (run->CurrentPhase() == Phase::Transferring) {
            line += "  " + Bar(run->BlocksSent(), 20) + " " + std::to_string(run->BlocksSent()) +
                    "/" + std::to_string(BlockCount);
            std::string left = TimeLeft(*run);
            if (!left.empty())
                line += "  " + left;
        }
        // One terminal row per port, or the redraw would climb over the wrong lines. Cut on
        // a character boundary.
        if (static_cast<int>(line.size()) >= columns) {
            size_t cut = columns > 1 ? columns - 1 : 0;
            while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
                --cut;
            line.resize(cut);
        }
        std::fprintf(out_, "\033[2K%s\n", line.c_str());
    }
    liveLines_ = static_cast<int>(runs.size());
    std::fflush(out_);
}

void Progress::EraseLive() {
    if (liveLines_ > 0)
        std::fprintf(out_, "\033[%dF\033[J", liveLines_);
    liveLines_ = 0;
}

void Progress::AttemptEnded(const PortRun& run) {
    if (mode_ == OutputMode::Json) {
        std::fprintf(out_,
                     "{\"event\":\"result\",\"port\":%s,\"result\":\"%s\",\"detail\":%s,"
                     "\"record\":%s}\n",
                     JsonQuoted(run.Port()).c_str(), OutcomeName(run.LastOutcome()),
                     JsonQuoted(run.LastDetail()).c_str(),
                     UpdateRecordJson(run.LastRecord()).c_str());
    } else {
        EraseLive();
        std::fprintf(out_, "%s\n", ResultLine(run).c_str());
    }
    std::fflush(out_);
}

void Progress::Finish(const std::vector<std::unique_ptr<PortRun>>& runs) {
    EraseLive();
    for (const auto& run : runs) {
        if (!run->HalfWritten())
            continue;
        const UpdateRecord& r = run->LastRecord();
        std::string text =
            TrFormat("%s: board %s is half-written: restart it into its boot monitor (hold "
                     "'Dígito' while switching it on) and update it again",
                     {run->Port(), BoardText(r.Board, r.SerialNumber)});
        if (mode_ == OutputMode::Json)
            std::fprintf(out_, "{\"event\":\"half-written\",\"port\":%s,\"serial\":%s}\n",
                         JsonQuoted(run->Port()).c_str(), JsonQuoted(r.SerialNumber).c_str());
        else
            std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(out_);
}
