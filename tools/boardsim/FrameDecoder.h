#pragma once
// The boot monitor's reading of its input: the commands "<S@>" and "<F@>" and the data
// frames, taken from a byte stream that may carry garbage between them. A frame is read by
// the byte count its header announces; when what was read turns out not to be a frame, the
// bytes after its "<" are read again, so a real command hidden behind garbage is still found.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace boardsim {

using Key = std::array<uint8_t, 7>;

// The board's inverse of the updater's byte scrambling: XOR with the key byte, then swap the
// two halves.
inline uint8_t Unscramble(uint8_t b, uint8_t k) {
    uint8_t t = b ^ k;
    return static_cast<uint8_t>((t << 4) | (t >> 4));
}

struct DataFrame {
    uint8_t Count = 0;    // data bytes announced (0..64)
    uint32_t Address = 0; // 24-bit load address
    Key FrameKey{};
    std::vector<uint8_t> Data; // unscrambled
    bool ChecksumOk = false;
};

struct Message {
    enum class Kind { StatusQuery, Finish, Frame };
    Kind kind;
    DataFrame frame; // for Kind::Frame only
};

class FrameDecoder {
public:
    static constexpr int MaxData = 64;

    FrameDecoder();

    // Queues received bytes; Next() reads them.
    void Push(const uint8_t* data, size_t length);
    // Reads queued bytes up to the end of the next complete message. One message at a time,
    // because handling one (a status query resets the key) changes how the next is read.
    bool Next(Message& out);

    // Back to the key the monitor starts with (after every status reply).
    void ResetKey();
    // Forgets everything, as at power-on.
    void Reset();
    const Key& HeaderKey() const { return key_; }

    // Line faults, for tests: the n-th frame (counted as frames begin, from 1) arrives with
    // one bit of the byte at `offset` flipped, or does not arrive at all. Each fires once.
    void FlipInFrame(uint64_t frame, size_t offset);
    void LoseFrame(uint64_t frame);
    uint64_t FlippedBytes() const { return flipped_; }
    uint64_t LostFrames() const { return lost_; }

    // Bytes passed over because they belonged to no command or frame.
    uint64_t DiscardedBytes() const { return discarded_; }
    // Bytes of a command or frame begun but not yet complete.
    size_t PendingBytes() const { return buffer_.size(); }

private:
    enum class Verdict { NeedMore, NotAMessage, Complete, Lost };
    Verdict Examine(Message& out);
    Verdict ExamineFrame(Message& out);
    void ApplyLineFaults();

    struct Flip {
        uint64_t Frame;
        size_t Offset;
    };

    Key key_;
    std::vector<uint8_t> buffer_; // candidate message, starting with "<"
    std::deque<uint8_t> input_;
    uint64_t discarded_ = 0;
    uint64_t framesBegun_ = 0;
    std::vector<Flip> flips_;
    uint64_t loseFrame_ = 0;
    uint64_t flipped_ = 0, lost_ = 0;
};

} // namespace boardsim
