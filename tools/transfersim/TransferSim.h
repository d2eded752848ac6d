#pragma once
// A whole update on a virtual clock: the real update controller and its state, the board
// simulator's board model, and a line between them that loses, delays and garbles what a
// fault plan tells it to. The tick, the waits and the line time are virtual, so a transfer
// takes microseconds, and the same plan always gives the same run.
#include "tools/boardsim/Board.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace transfersim {

// What the line does to the n-th frame the updater writes (counted from 1).
struct FrameFault {
    bool Lost = false;
    int FlipOffset = -1; // a byte of the header, the data or the checksum; -1: none
    int FlipBit = 0;
};

// What the line does to the n-th reply the board sends (counted from 1).
struct AnswerFault {
    bool Lost = false;
    int DelayMs = 0;         // held back this long; later replies wait behind it
    bool Duplicated = false; // arrives twice
    char Code = 0;           // an acknowledgement's code turned into this one ('?' or unknown)
    int FlipOffset = -1;     // one bit of this byte of the reply flipped
    int FlipBit = 0;
    bool NoiseBefore = false; // noise without a "<" just ahead of it
};

// Everything a run may meet. Asked once per frame, reply and tick, in the run's order.
class FaultPlan {
public:
    FaultPlan() { board_.StartInMonitor = true; }
    virtual ~FaultPlan() = default;
    // The board at the far end: its key rule, where it starts, and faults of its own.
    const boardsim::BoardConfig& Board() const { return board_; }
    int Blocks() const { return blocks_; }       // blocks of a made-up image; 0: the built-in image
    int LatencyMs() const { return latencyMs_; } // every acknowledgement late by this much
    // How long the technician lets the board be polled before clicking "Iniciar".
    int StartAfterMs() const { return startAfterMs_; }
    virtual FrameFault ForFrame(int n) = 0;
    virtual AnswerFault ForAnswer(int n) = 0;
    // Unasked bytes from the line before the tick's work: "<FF>", or noise without a "<".
    virtual bool StrayCompletion(int tick) = 0;
    virtual bool Noise(int tick) = 0;
    // A whole acknowledgement the line makes up before the tick's work: its code, 0 for none.
    virtual char Invented(int /*tick*/) { return 0; }
    virtual std::string Describe() const = 0;

protected:
    boardsim::BoardConfig board_;
    int blocks_ = 1, latencyMs_ = 0, startAfterMs_ = 0;
};

// The kinds of seeded plans. `Faults`: every fault of the line at rates picked per seed,
// answers up to 3 s late. The others reach the edges: `LongDelays` the same with answers up to
// 10 s late (twice the longest wait); `Latency` the same faults on a line whose every
// acknowledgement is late by a fixed 0.5-2.5 s; `Duplicates` answers duplicated and whole
// answers made up by the line besides; `LostAnswers` nothing but answers lost at a given rate.
enum class PlanKind { Faults, LongDelays, Latency, Duplicates, LostAnswers };
inline constexpr const char* PlanKindNames[] = {"faults", "long-delays", "latency", "duplicates",
                                                "lost-answers"};

// A plan drawn from a seed: fault rates picked per seed, each fault decided by a hash of the
// seed and the frame, reply or tick number, so a run replays exactly.
class RandomPlan : public FaultPlan {
public:
    explicit RandomPlan(uint64_t seed, PlanKind kind = PlanKind::Faults, uint32_t lostRate = 100);
    FrameFault ForFrame(int n) override;
    AnswerFault ForAnswer(int n) override;
    bool StrayCompletion(int tick) override;
    bool Noise(int tick) override;
    char Invented(int tick) override;
    std::string Describe() const override;

private:
    uint64_t Draw(uint64_t kind, uint64_t n) const;
    bool OneIn(uint32_t rate, uint64_t kind, uint64_t n) const;

    uint64_t seed_;
    PlanKind kind_;
    int maxDelayMs_ = 3000;
    // One in N; 0 is never.
    uint32_t lostFrame_, flip_, lostAnswer_, late_, refusal_, unknown_, answerFlip_, stray_;
    uint32_t duplicate_ = 0, invented_ = 0;
};

// What a fault of a BytesPlan is, by its first byte modulo Count.
enum class BytesFault : uint8_t {
    LostFrame,
    FlippedFrame,
    LostAnswer,
    LateAnswer, // the parameter in 12 ms, up to 3 s
    Refused,
    UnknownCode, // the parameter is the code
    FlippedAnswer,
    StrayCompletion,
    Noise,
    VeryLateAnswer, // the parameter in 40 ms, up to 10.2 s
    Twice,
    MadeUp, // the parameter's low bit: a refusal, else an acceptance
    Count
};

// A plan read from bytes (a fuzzer's input): two bytes of settings (key rule, start, latency
// in 50 ms; blocks), then four bytes per fault: what (a BytesFault, and the bit to flip in
// what / Count), the frame, reply or tick number (two bytes), and its parameter.
class BytesPlan : public FaultPlan {
public:
    explicit BytesPlan(std::span<const uint8_t> bytes);
    FrameFault ForFrame(int n) override;
    AnswerFault ForAnswer(int n) override;
    bool StrayCompletion(int tick) override;
    bool Noise(int tick) override;
    char Invented(int tick) override;
    std::string Describe() const override;

private:
    std::map<int, FrameFault> frames_;
    std::map<int, AnswerFault> answers_;
    std::map<int, bool> strays_, noise_;
    std::map<int, char> invented_;
};

// How the line to a BoardPlan's board behaves besides carrying the bytes.
struct BoardLine {
    int LatencyMs = 0; // every acknowledgement late by this much
    bool NoiseBeforeReplies = false;
    int StartAfterMs = 0; // the board polled this long before "Iniciar"
};

// The built-in image to a board with faults of its own, the board simulator's (a refusal
// every N frames, a frame lost or garbled on its way in, a late or unknown answer, a stray
// "<FF>", a reply byte corrupted every N replies...), over a line that only carries.
class BoardPlan : public FaultPlan {
public:
    explicit BoardPlan(boardsim::BoardConfig board, BoardLine line = {});
    FrameFault ForFrame(int) override { return {}; }
    AnswerFault ForAnswer(int) override;
    bool StrayCompletion(int) override { return false; }
    bool Noise(int) override { return false; }
    std::string Describe() const override;

private:
    bool noise_;
};

struct RunResult {
    bool Ok = true;
    std::string Failure; // the invariant broken, when not Ok
    // The failure is a completion over a board that does not hold exactly the image, in a run
    // that had both an answer that may be one too many (late, duplicated, made up) and one
    // that may be missing (a frame lost or damaged, an answer lost): two faults that can
    // cancel in the count.
    bool WrongBoard = false;
    bool CountCanCancel = false;
    // The failure is a completion with every byte of the image right and stray bytes outside
    // it, in a run where two frames had a bit flipped: a key parted by one flip and joined
    // again by the other writes the frames between at a wrong address, and answers carry no
    // address, so no rule of the updater can see it.
    bool KeysCanRejoin = false;
    std::string End; // "completed", a give-up's reason ("given-up", "refused", ...), "no-answer"
    std::vector<std::string> Schedule; // the faults that fired, in order, when asked for
    int64_t VirtualMs = 0;
    int Frames = 0;
    int BlocksSent = 0;         // as the progress bar counted them
    int Unanswered = 0;         // polls left unanswered ("SEM RESPOSTA" shown)
    bool ExactImage = false;    // the board holds the image and nothing else
    boardsim::BoardStats Board; // what the board counted
};

// Whether `end` is a completion, a give-up or not proven (an answer out of step), or no
// transfer: no boot monitor answered, or one the updater does not update.
enum class EndClass { Completed, GivenUp, NotProven, NoAnswer, WrongMonitor, Count };
EndClass Classify(const std::string& end);

// One update from "Conectar" to its end against `plan`, with every invariant checked.
RunResult Run(FaultPlan& plan, bool keepSchedule = false);

} // namespace transfersim
