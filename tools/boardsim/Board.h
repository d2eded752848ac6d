#pragma once
// One KX27 board as the updater sees it: the normal firmware, which answers "(%B67)" at
// 9600 baud and jumps into the boot monitor, and the boot monitor at 19200 baud, which answers
// status queries, flashes data frames and closes with "<FF>". It does no I/O: bytes come in
// with the speed they were sent at, replies go out with the speed they are sent at.
#include "tools/boardsim/FrameDecoder.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace boardsim {

// What the boot monitor does with its header key when it answers "<S@>": (A) start again from
// the initial key, or (B) once a frame has rolled it, keep it until the board restarts.
enum class KeyRule { ResetOnStatus, KeepUntilRestart };

// One bit of the n-th frame's byte at `Offset` (2 count, 3..5 address, 6..12 key, 13.. data)
// flipped on its way in.
struct LineFlip {
    int Frame = 0;
    int Offset = 0;
};

inline constexpr int AckTwiceDelayMs = 50;

struct BoardConfig {
    std::string FirmwareVersion = "4.4"; // 3 characters
    std::string MonitorVersion = "1.0";  // 3 characters
    std::string SerialNumber = "A10342"; // 6 characters
    bool StartInMonitor = false;         // powered on with the 'Dígito' key held
    bool Reboot = false;                 // after "<FF>", start again as normal firmware
    std::string RebootFirmwareVersion = "4.5";
    // Faults; 0 or false is off.
    int NakEvery = 0;                 // answer "<D?>" to every N-th frame
    int DropAnswerTo = 0;             // no answer to the N-th frame (it is flashed all the same)
    int SilentAfter = 0;              // stop answering after N accepted frames
    int HangUpAfter = 0;              // the line goes away after N accepted frames
    int CorruptEvery = 0;             // flip one byte of every N-th reply
    bool IncompatibleMonitor = false; // report a monitor version the updater refuses
    bool MonitorMute = false;         // answer the identification, never from the boot monitor
    KeyRule Keys = KeyRule::ResetOnStatus;
    std::vector<LineFlip> Flips;
    int LoseFrame = 0;              // the N-th frame never reaches the board
    int StatusDelayMs = 0;          // status replies go out this much later than other answers
    int StrayCompletionAtPoll = 0;  // an unasked "<FF>" before the N-th status reply
    int StrayCompletionAtFrame = 0; // an unasked "<FF>" before the answer to the N-th frame
    std::map<int, int> AckDelayMs;  // the answer to frame N this much late (later ones wait)
    std::map<int, char> AckCode;    // frame N answered "<D" code ">" whatever became of it
    std::set<int> AckTwice;         // frame N answered twice (a resync inside a damaged frame),
                                    // the second AckTwiceDelayMs after the first
};

// "Resend": a data frame whose header carries an address that an earlier frame with a
// well-formed header already carried, whatever became of that frame (accepted, refused, or
// its answer lost). The updater's resend is a new frame with new random bytes, so frames are
// matched by address, not by their bytes.
struct BoardStats {
    uint64_t Frames = 0;
    uint64_t Accepted = 0;
    uint64_t Naks = 0;
    uint64_t BadChecksums = 0;
    uint64_t StatusPolls = 0;
    uint64_t Identifications = 0;
    uint64_t WrongSpeedBytes = 0;
    uint64_t Resends = 0;
    uint64_t DroppedAnswers = 0;
    uint64_t Completions = 0;
    uint64_t FlippedBytes = 0;
    uint64_t LostFrames = 0;
    uint64_t LateStatusAnswers = 0;
    uint64_t StrayCompletions = 0;
    std::optional<std::chrono::system_clock::time_point> FirstFrame, LastFrame;
};

struct Reply {
    std::string Bytes;
    int Baud;
    int DelayMs = 0; // on top of the simulator's own answer delay
};

class Board {
public:
    enum class Mode { NormalFirmware, BootMonitor, Finished, Silent, HungUp };

    explicit Board(BoardConfig config);

    // Bytes that arrived on the line, sent at lineBaud. Returns the replies, in order.
    std::vector<Reply> Receive(const uint8_t* data, size_t length, int lineBaud);

    Mode CurrentMode() const { return mode_; }
    // The speed the board's UART is set to now (0 when it no longer listens).
    int ListenBaud() const;
    const BoardStats& Stats() const { return stats_; }
    // Flashed memory, one entry per byte written.
    const std::map<uint32_t, uint8_t>& Memory() const { return memory_; }
    const BoardConfig& Config() const { return config_; }
    std::string FirmwareVersion() const { return firmwareVersion_; }

private:
    size_t ReceiveNormal(const uint8_t* data, size_t length, std::vector<Reply>& replies);
    void ReceiveMonitor(const uint8_t* data, size_t length, std::vector<Reply>& replies);
    void HandleFrame(const DataFrame& frame, std::vector<Reply>& replies);
    void Answer(std::string bytes, int baud, std::vector<Reply>& replies, int delayMs = 0);
    void StrayCompletion(std::vector<Reply>& replies);
    char AnswerCode(uint64_t frame, bool accept) const;
    int DelayFor(uint64_t frame) const;
    void Restart();
    std::string Versions() const;

    BoardConfig config_;
    Mode mode_;
    std::string firmwareVersion_;
    std::string command_; // the normal firmware's last bytes, matched against "(%B67)"
    FrameDecoder decoder_;
    BoardStats stats_;
    bool keyRolled_ = false; // a frame has rolled the key since the monitor started
    std::set<uint32_t> addressesSeen_;
    std::map<uint32_t, uint8_t> memory_;
    uint64_t replies_ = 0;
};

} // namespace boardsim
