#include "tools/transfersim/TransferSim.h"

#include "tools/boardsim/Board.h"
#include "updater/FirmwareImage.h"
#include "updater/UpdateController.h"
#include "updater/UpdateState.h"

#include <algorithm>
#include <deque>
#include <set>

namespace transfersim {

namespace {

using namespace UpdateProtocol;

constexpr int64_t TickUs = 100'000;
constexpr int64_t CalendarStart = 1'800'000'000;
// Frames one block may take: the send budget restored by each refusal up to the limit, on the
// first visit and on every resend after a fault (a short image goes round more than once).
int FramesPerBlock(int blocks, int replays) {
    const int rounds = (EndBlocks + blocks - 1) / blocks;
    return (1 + (replays + 1) * rounds) * SendBudget * (RefusalLimit + 1);
}
constexpr int MaxConnects = 5;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int64_t LineTimeUs(size_t bytes, int baud) {
    return static_cast<int64_t>(bytes) * 10 * 1'000'000 / baud;
}

const char* RuleName(boardsim::KeyRule keys) {
    return keys == boardsim::KeyRule::ResetOnStatus ? "A" : "B";
}

// Noise the parser must pass over: no "<", but the start of an identification and stray
// closing characters.
constexpr char ReplyNoise[] = "\r\n\x00\xff)>#(KX2 (KX27V";

std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

// The image the updater holds; made again only when a run asks for another.
int loadedBlocks = -1;

void UseImage(int blocks) {
    if (blocks == loadedBlocks)
        return;
    loadedBlocks = blocks;
    if (blocks == 0) {
        LoadFirmwareImage();
        return;
    }
    ResetFirmwareBlocks();
    FirmwareBlock* last = nullptr;
    for (int b = 0; b < blocks; ++b) {
        last = AppendFirmwareBlock(last, BoardContract::FirstApplicationAddress + b * 64);
        last->Count = b == blocks - 1 ? 1 + b * 13 % 64 : 64;
        for (int j = 0; j < last->Count; ++j)
            last->Data[j] = static_cast<uint8_t>(Mix(b * 64 + j));
    }
    BlockCount = blocks;
}

struct Transit {
    int64_t Due;
    std::string Bytes;
    int Baud;
    uint32_t Block; // to the board: the block a frame carries; back: the block an intact
                    // "<DD>" accepts; 0 for anything else
};

class Sim : private UpdateView, private UpdateLine {
public:
    Sim(FaultPlan& plan, bool keep)
        : plan_(plan), keep_(keep), board_(plan.Board()),
          controller_(static_cast<UpdateView&>(*this), static_cast<UpdateLine&>(*this), state_) {
        for (const FirmwareBlock* b = FirstBlock; b; b = b->Next) {
            for (int j = 0; j < b->Count; ++j)
                image_[b->Address() + j] = b->Data[j];
            blocks_.push_back(b->Address());
        }
    }

    RunResult Go() {
        // Each block at most the budget of its longest waits, and as many again for resends.
        const int64_t limit =
            (120 + 60 * static_cast<int64_t>(blocks_.size() + EndBlocks * EndReplayLimit) *
                       (1 + OwedAnswerLimit / AckWait)) *
            1'000'000;
        controller_.BtConectaClick();
        while (!ended_ && result_.Ok) {
            int64_t next = INT64_MAX;
            if (timer_)
                next = nextTick_;
            if (!toBoard_.empty())
                next = std::min(next, toBoard_.front().Due);
            if (!toUpdater_.empty())
                next = std::min(next, toUpdater_.front().Due);
            if (next == INT64_MAX) {
                Fail("the updater waits for nothing: no tick, nothing on the line");
                break;
            }
            if (next > limit) {
                Fail("no end after " + std::to_string(limit / 1'000'000) + " s");
                break;
            }
            now_ = next;
            Step();
            Technician();
        }
        if (result_.Ok)
            CheckEnd();
        result_.VirtualMs = now_ / 1000;
        result_.Frames = frames_;
        result_.BlocksSent = state_.Controller.Transfer.BlocksSent;
        result_.ExactImage = board_.Memory() == image_;
        result_.Board = board_.Stats();
        return result_;
    }

private:
    void Step() {
        if (!toBoard_.empty() && toBoard_.front().Due == now_) {
            Transit t = std::move(toBoard_.front());
            toBoard_.pop_front();
            ToBoard(t);
        } else if (!toUpdater_.empty() && toUpdater_.front().Due == now_) {
            Transit t = std::move(toUpdater_.front());
            toUpdater_.pop_front();
            if (t.Block != 0)
                confirmed_.insert(t.Block);
            input_ += t.Bytes;
            controller_.ReceiveBytes();
        } else {
            nextTick_ += TickUs;
            ++ticks_;
            if (plan_.StrayCompletion(ticks_)) {
                Log("stray \"<FF>\"");
                Answer("<FF>", 0, 0);
            }
            if (plan_.Noise(ticks_)) {
                Log("noise");
                Answer("\x13\xF0 D?>", 0, 0);
            }
            if (const char code = plan_.Invented(ticks_)) {
                const std::string bytes{'<', 'D', code, '>'};
                Log("an answer " + bytes + " made up by the line");
                tooMany_ = true;
                Answer(bytes, 0, 0);
            }
            controller_.TimeoutTimer();
        }
    }

    // What a technician does: start as soon as the board is ready; connect again while the
    // board does not answer, for a while.
    void Technician() {
        if (ended_)
            return;
        if (!started_ && state_.Controller.BoardReady) {
            readyAt_ = readyAt_ < 0 ? now_ : readyAt_;
            if (now_ - readyAt_ >= plan_.StartAfterMs() * int64_t{1000}) {
                started_ = true;
                controller_.BtIniciaClick();
            }
        } else if (!started_ && unanswered_) {
            unanswered_ = false;
            readyAt_ = -1;
            if (++connects_ > MaxConnects) {
                ended_ = true;
                result_.End = UpdateEndName(UpdateEnd::NoAnswer);
            } else {
                controller_.BtConectaClick();
            }
        }
    }

    void ToBoard(const Transit& t) {
        const auto replies = board_.Receive(reinterpret_cast<const uint8_t*>(t.Bytes.data()),
                                            t.Bytes.size(), t.Baud);
        for (const boardsim::Reply& r : replies) {
            const int n = ++answers_;
            const AnswerFault f = plan_.ForAnswer(n);
            std::string bytes = r.Bytes;
            const bool ack = bytes.size() == 4 && bytes[1] == 'D';
            if (f.Lost) {
                Log("reply " + std::to_string(n) + " " + bytes + " lost");
                tooFew_ = true;
                continue;
            }
            if (f.Code && ack) {
                Log("reply " + std::to_string(n) + " " + bytes + " turned into code " +
                    std::string(1, f.Code));
                bytes[2] = f.Code;
            }
            if (f.FlipOffset >= 0) {
                const size_t at = static_cast<size_t>(f.FlipOffset) % bytes.size();
                Log("reply " + std::to_string(n) + " " + bytes + ": bit " +
                    std::to_string(f.FlipBit) + " of byte " + std::to_string(at) + " flipped");
                bytes[at] = static_cast<char>(bytes[at] ^ (1 << f.FlipBit));
            }
            const int delay = f.DelayMs + r.DelayMs + (ack ? plan_.LatencyMs() : 0);
            tooMany_ = tooMany_ || f.DelayMs > 0 || r.DelayMs > 0 || f.Duplicated;
            if (f.DelayMs > 0 || r.DelayMs > 0)
                Log("reply " + std::to_string(n) + " " + bytes + " " + std::to_string(delay) +
                    " ms late");
            const std::string noise =
                f.NoiseBefore ? std::string(ReplyNoise, sizeof ReplyNoise - 1) : "";
            Answer(noise + bytes, delay, bytes == "<DD>" ? t.Block : 0);
            if (f.Duplicated) {
                Log("reply " + std::to_string(n) + " " + bytes + " arrives twice");
                Answer(noise + bytes, delay, 0);
            }
        }
    }

    // The line back keeps the order: a late reply holds back the ones after it.
    void Answer(const std::string& bytes, int delayMs, uint32_t block) {
        const int64_t start = std::max<int64_t>(now_ + delayMs * int64_t{1000}, updaterLineFree_);
        updaterLineFree_ = start + LineTimeUs(bytes.size(), BoardContract::BootMonitorBaud);
        toUpdater_.push_back({updaterLineFree_, bytes, BoardContract::BootMonitorBaud, block});
    }

    void Log(const std::string& what) {
        if (keep_)
            result_.Schedule.push_back(std::to_string(now_ / 1000) + " ms: " + what);
    }

    void Fail(const std::string& why) {
        if (!result_.Ok)
            return;
        result_.Ok = false;
        result_.Failure = std::to_string(now_ / 1000) + " ms: " + why;
    }

    void CheckFrame(uint32_t block) {
        const int most =
            FramesPerBlock(static_cast<int>(blocks_.size()), state_.Controller.Transfer.Replays);
        if (++framesPer_[block] > most)
            Fail("more than " + std::to_string(most) + " frames for block " + Hex(block));
    }

    // A shifted pairing may send "<F@>" early; the answer it still owes then ends the
    // transfer as not proven, and two faults that cancel leave the board right all the same.
    // What the board holds decides.
    void NoteClosing() {
        for (uint32_t b : blocks_)
            if (!confirmed_.count(b)) {
                Log("\"<F@>\" sent while block " + Hex(b) + " has no acceptance of its own");
                return;
            }
    }

    void CheckEnd() {
        if (state_.Controller.Updating)
            Fail("the transfer ended with Updating still on");
        if (result_.End != UpdateEndName(UpdateEnd::Completed))
            return;
        if (board_.Memory() != image_) {
            result_.WrongBoard = true;
            result_.CountCanCancel = tooMany_ && tooFew_;
            for (const auto& [address, byte] : image_) {
                auto it = board_.Memory().find(address);
                if (it == board_.Memory().end() || it->second != byte) {
                    Fail("completed, but the board's byte at " + Hex(address) + " is wrong");
                    return;
                }
            }
            result_.KeysCanRejoin = flips_ >= 2;
            Fail("completed, but the board holds bytes outside the image");
        }
    }

    // UpdateView
    void SetLabelText(Label, const std::string&) override {}
    void SetStatusColor(TColor) override {}
    void SetButtonEnabled(Button, bool) override {}
    void SetProgressPosition(int) override {}
    void SetProgressMaximum(int) override {}
    void StepProgress() override {}
    void SetTimerEnabled(bool enabled) override {
        // Enabling restarts the period.
        if (enabled && !timer_)
            nextTick_ = now_ + TickUs;
        timer_ = enabled;
    }
    void ShowMessage(const std::string&) override {}
    void AttemptEnded(UpdateEnd end, const std::string&) override {
        if (end == UpdateEnd::Completed || IsGiveUp(end) || end == UpdateEnd::IncompatibleMonitor) {
            ended_ = true;
            result_.End = UpdateEndName(end);
        } else {
            Fail(std::string("unexpected end: ") + UpdateEndName(end));
        }
    }
    void StatusUnanswered() override {
        unanswered_ = true;
        ++result_.Unanswered;
    }

    // UpdateLine
    void SetBaudRate(int baud) override { baud_ = baud; }
    int InputCount() override { return static_cast<int>(input_.size()); }
    int Read(void* buffer, int count) override {
        const int n = std::min(count, static_cast<int>(input_.size()));
        std::copy_n(input_.begin(), n, static_cast<char*>(buffer));
        input_.erase(0, n);
        return n;
    }
    int Write(const void* buffer, int count) override {
        std::string bytes(static_cast<const char*>(buffer), count);
        uint32_t block = 0;
        if (count >= 15 && bytes[0] == '<' && bytes[1] == 'D') {
            block = state_.CurrentBlock->Address();
            const int n = ++frames_;
            CheckFrame(block);
            const FrameFault f = plan_.ForFrame(n);
            tooFew_ = tooFew_ || f.Lost || f.FlipOffset >= 0;
            flips_ += f.FlipOffset >= 0;
            if (f.Lost) {
                Log("frame " + std::to_string(n) + " (" + Hex(block) + ") lost");
                return count;
            }
            if (f.FlipOffset >= 0) {
                const int at = 2 + f.FlipOffset % (count - 3);
                Log("frame " + std::to_string(n) + " (" + Hex(block) + "): bit " +
                    std::to_string(f.FlipBit) + " of byte " + std::to_string(at) + " flipped");
                bytes[at] = static_cast<char>(bytes[at] ^ (1 << f.FlipBit));
            }
        } else if (bytes == ClosingCommand) {
            NoteClosing();
        }
        const int64_t start = std::max(now_, boardLineFree_);
        boardLineFree_ = start + LineTimeUs(bytes.size(), baud_);
        toBoard_.push_back({boardLineFree_, std::move(bytes), baud_, block});
        return count;
    }
    int WriteStr(const std::string& text) override {
        return Write(text.data(), static_cast<int>(text.size()));
    }
    void ClearBuffer(bool input, bool) override {
        if (input)
            input_.clear();
    }
    std::time_t CalendarSeconds() override { return CalendarStart + now_ / 1'000'000; }
    int64_t SteadyMs() override { return now_ / 1000; }

    FaultPlan& plan_;
    bool keep_;
    boardsim::Board board_;
    UpdateState state_;
    UpdateController controller_;
    RunResult result_;
    std::map<uint32_t, uint8_t> image_;
    std::vector<uint32_t> blocks_;
    std::set<uint32_t> confirmed_;
    std::map<uint32_t, int> framesPer_;
    std::deque<Transit> toBoard_, toUpdater_;
    std::string input_;
    int64_t now_ = 0, nextTick_ = 0, boardLineFree_ = 0, updaterLineFree_ = 0, readyAt_ = -1;
    int baud_ = 9600, ticks_ = 0, frames_ = 0, answers_ = 0, connects_ = 0;
    bool timer_ = false, started_ = false, unanswered_ = false, ended_ = false;
    bool tooMany_ = false, tooFew_ = false;
    int flips_ = 0;
};

} // namespace

RandomPlan::RandomPlan(uint64_t seed, PlanKind kind, uint32_t lostRate) : seed_(seed), kind_(kind) {
    auto pick = [&](uint64_t kind, std::initializer_list<uint32_t> rates) {
        return *(rates.begin() + Draw(kind, 0) % rates.size());
    };
    board_.Keys =
        Draw(1, 0) & 1 ? boardsim::KeyRule::KeepUntilRestart : boardsim::KeyRule::ResetOnStatus;
    board_.StartInMonitor = (Draw(2, 0) & 1) != 0;
    blocks_ = Draw(3, 0) % 64 == 0 ? 0 : 1 + static_cast<int>(Draw(4, 0) % 12);
    lostFrame_ = pick(10, {0, 0, 300, 60});
    flip_ = pick(11, {0, 300, 60, 15});
    lostAnswer_ = pick(12, {0, 200, 40, 10});
    late_ = pick(13, {0, 100, 20, 5});
    refusal_ = pick(14, {0, 100, 20, 6});
    unknown_ = pick(15, {0, 0, 200, 30});
    answerFlip_ = pick(16, {0, 0, 200, 30});
    stray_ = pick(17, {0, 0, 50, 10});
    switch (kind) {
    case PlanKind::Faults:
        break;
    case PlanKind::LongDelays:
        maxDelayMs_ = 2 * OwedAnswerLimit * 100;
        break;
    case PlanKind::Latency:
        latencyMs_ = 500 + static_cast<int>(Draw(18, 0) % 2001);
        break;
    case PlanKind::Duplicates:
        duplicate_ = pick(19, {200, 40, 10});
        invented_ = pick(24, {0, 500, 100});
        break;
    case PlanKind::LostAnswers:
        lostFrame_ = flip_ = late_ = refusal_ = unknown_ = answerFlip_ = stray_ = 0;
        lostAnswer_ = lostRate;
        break;
    }
}

uint64_t RandomPlan::Draw(uint64_t kind, uint64_t n) const {
    return Mix(Mix(seed_) ^ Mix(kind << 40 ^ n));
}

bool RandomPlan::OneIn(uint32_t rate, uint64_t kind, uint64_t n) const {
    return rate != 0 && Draw(kind, n) % rate == 0;
}

FrameFault RandomPlan::ForFrame(int n) {
    FrameFault f;
    f.Lost = OneIn(lostFrame_, 20, n);
    if (OneIn(flip_, 21, n)) {
        f.FlipOffset = static_cast<int>(Draw(22, n) % 256);
        f.FlipBit = static_cast<int>(Draw(23, n) % 8);
    }
    return f;
}

AnswerFault RandomPlan::ForAnswer(int n) {
    AnswerFault f;
    f.Lost = OneIn(lostAnswer_, 30, n);
    if (OneIn(late_, 31, n))
        f.DelayMs = static_cast<int>(Draw(32, n) % (maxDelayMs_ + 1));
    if (OneIn(refusal_, 33, n))
        f.Code = '?';
    else if (OneIn(unknown_, 34, n))
        f.Code = static_cast<char>('a' + Draw(35, n) % 26);
    if (OneIn(answerFlip_, 36, n)) {
        f.FlipOffset = static_cast<int>(Draw(37, n) % 4);
        f.FlipBit = static_cast<int>(Draw(38, n) % 8);
    }
    f.Duplicated = OneIn(duplicate_, 39, n);
    return f;
}

bool RandomPlan::StrayCompletion(int tick) {
    return OneIn(stray_, 40, tick);
}

bool RandomPlan::Noise(int tick) {
    return OneIn(stray_, 41, tick);
}

char RandomPlan::Invented(int tick) {
    if (!OneIn(invented_, 42, tick))
        return 0;
    return Draw(43, tick) & 1 ? 'D' : '?';
}

std::string RandomPlan::Describe() const {
    auto rate = [](uint32_t r) { return r ? "1/" + std::to_string(r) : std::string("never"); };
    std::string edges;
    if (maxDelayMs_ != 3000)
        edges += ", answers up to " + std::to_string(maxDelayMs_) + " ms late";
    if (latencyMs_)
        edges += ", every answer " + std::to_string(latencyMs_) + " ms late";
    if (duplicate_)
        edges +=
            ", answers duplicated " + rate(duplicate_) + ", made up per tick " + rate(invented_);
    return "seed " + std::to_string(seed_) + " (" + PlanKindNames[static_cast<int>(kind_)] +
           "): key rule " + RuleName(board_.Keys) + ", " +
           (blocks_ ? std::to_string(blocks_) + " blocks" : std::string("the built-in image")) +
           (board_.StartInMonitor ? ", board in its monitor" : ", board in its firmware") +
           "; frames lost " + rate(lostFrame_) + ", flipped " + rate(flip_) + "; replies lost " +
           rate(lostAnswer_) + ", late " + rate(late_) + ", refused " + rate(refusal_) +
           ", unknown " + rate(unknown_) + ", flipped " + rate(answerFlip_) +
           "; stray replies per tick " + rate(stray_) + edges;
}

BytesPlan::BytesPlan(std::span<const uint8_t> bytes) {
    if (bytes.size() >= 2) {
        board_.Keys =
            bytes[0] & 1 ? boardsim::KeyRule::KeepUntilRestart : boardsim::KeyRule::ResetOnStatus;
        board_.StartInMonitor = (bytes[0] & 2) != 0;
        latencyMs_ = (bytes[0] >> 2) * 50;
        blocks_ = bytes[1] == 255 ? 0 : 1 + bytes[1] % 12;
        bytes = bytes.subspan(2);
    }
    const int span = blocks_ ? blocks_ * 4 + 16 : 1024;
    for (; bytes.size() >= 4; bytes = bytes.subspan(4)) {
        const int n = 1 + (bytes[1] | bytes[2] << 8) % span;
        const uint8_t p = bytes[3];
        const int kinds = static_cast<int>(BytesFault::Count);
        const int bit = bytes[0] / kinds % 8;
        switch (static_cast<BytesFault>(bytes[0] % kinds)) {
        case BytesFault::LostFrame:
            frames_[n].Lost = true;
            break;
        case BytesFault::FlippedFrame:
            frames_[n].FlipOffset = p;
            frames_[n].FlipBit = bit;
            break;
        case BytesFault::LostAnswer:
            answers_[n].Lost = true;
            break;
        case BytesFault::LateAnswer:
            answers_[n].DelayMs = std::min(3000, p * 12);
            break;
        case BytesFault::Refused:
            answers_[n].Code = '?';
            break;
        case BytesFault::UnknownCode:
            answers_[n].Code = p == 'D' ? 'x' : static_cast<char>(p);
            break;
        case BytesFault::FlippedAnswer:
            answers_[n].FlipOffset = p % 4;
            answers_[n].FlipBit = bit;
            break;
        case BytesFault::StrayCompletion:
            strays_[n] = true;
            break;
        case BytesFault::Noise:
            noise_[n] = true;
            break;
        case BytesFault::VeryLateAnswer:
            answers_[n].DelayMs = p * 40;
            break;
        case BytesFault::Twice:
            answers_[n].Duplicated = true;
            break;
        case BytesFault::MadeUp:
        case BytesFault::Count:
            invented_[n] = p & 1 ? '?' : 'D';
            break;
        }
    }
}

FrameFault BytesPlan::ForFrame(int n) {
    auto it = frames_.find(n);
    return it == frames_.end() ? FrameFault{} : it->second;
}

AnswerFault BytesPlan::ForAnswer(int n) {
    auto it = answers_.find(n);
    return it == answers_.end() ? AnswerFault{} : it->second;
}

bool BytesPlan::StrayCompletion(int tick) {
    return strays_.count(tick) != 0;
}

bool BytesPlan::Noise(int tick) {
    return noise_.count(tick) != 0;
}

char BytesPlan::Invented(int tick) {
    auto it = invented_.find(tick);
    return it == invented_.end() ? 0 : it->second;
}

std::string BytesPlan::Describe() const {
    return std::string("key rule ") + RuleName(board_.Keys) + ", " +
           (blocks_ ? std::to_string(blocks_) + " blocks" : std::string("the built-in image")) +
           ", " + (latencyMs_ ? ", every answer " + std::to_string(latencyMs_) + " ms late" : "") +
           ", " +
           std::to_string(frames_.size() + answers_.size() + strays_.size() + noise_.size() +
                          invented_.size()) +
           " faults";
}

BoardPlan::BoardPlan(boardsim::BoardConfig board, BoardLine line)
    : noise_(line.NoiseBeforeReplies) {
    board_ = std::move(board);
    blocks_ = 0;
    latencyMs_ = line.LatencyMs;
    startAfterMs_ = line.StartAfterMs;
}

AnswerFault BoardPlan::ForAnswer(int) {
    AnswerFault f;
    f.NoiseBefore = noise_;
    return f;
}

std::string BoardPlan::Describe() const {
    std::string line;
    if (latencyMs_)
        line += ", every answer " + std::to_string(latencyMs_) + " ms late";
    if (noise_)
        line += ", noise before every reply";
    if (startAfterMs_)
        line += ", polled " + std::to_string(startAfterMs_) + " ms before the start";
    return std::string("the built-in image to a board with faults of its own, key rule ") +
           RuleName(board_.Keys) + (board_.StartInMonitor ? ", in its monitor" : "") + line;
}

EndClass Classify(const std::string& end) {
    if (end == UpdateEndName(UpdateEnd::Completed))
        return EndClass::Completed;
    if (end == UpdateEndName(UpdateEnd::OutOfStep))
        return EndClass::NotProven;
    if (end == UpdateEndName(UpdateEnd::NoAnswer))
        return EndClass::NoAnswer;
    if (end == UpdateEndName(UpdateEnd::IncompatibleMonitor))
        return EndClass::WrongMonitor;
    return EndClass::GivenUp;
}

RunResult Run(FaultPlan& plan, bool keepSchedule) {
    UseImage(plan.Blocks());
    Sim sim(plan, keepSchedule);
    return sim.Go();
}

} // namespace transfersim
