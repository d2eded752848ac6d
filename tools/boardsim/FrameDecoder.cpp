#include "tools/boardsim/FrameDecoder.h"

#include "updater/BoardContract.h"

namespace boardsim {

namespace {

constexpr uint8_t Open = '<';
constexpr uint8_t Close = '>';
constexpr size_t HeaderEnd = 13; // offsets 0..12: "<", "D" and the eleven scrambled bytes

} // namespace

FrameDecoder::FrameDecoder() : key_(BoardContract::InitialHeaderKey) {}

void FrameDecoder::ResetKey() {
    key_ = BoardContract::InitialHeaderKey;
}

void FrameDecoder::Reset() {
    ResetKey();
    buffer_.clear();
    input_.clear();
}

void FrameDecoder::FlipInFrame(uint64_t frame, size_t offset) {
    flips_.push_back({frame, offset});
}

void FrameDecoder::LoseFrame(uint64_t frame) {
    loseFrame_ = frame;
}

void FrameDecoder::ApplyLineFaults() {
    if (buffer_.size() == 2 && buffer_[1] == 'D')
        ++framesBegun_;
    for (const Flip& f : flips_) {
        if (f.Frame == framesBegun_ && f.Offset == buffer_.size() - 1 && buffer_[1] == 'D') {
            buffer_.back() ^= 0x01;
            ++flipped_;
        }
    }
}

void FrameDecoder::Push(const uint8_t* data, size_t length) {
    input_.insert(input_.end(), data, data + length);
}

bool FrameDecoder::Next(Message& out) {
    while (!input_.empty()) {
        uint8_t b = input_.front();
        input_.pop_front();
        if (buffer_.empty()) {
            if (b == Open)
                buffer_.push_back(b);
            else
                ++discarded_;
            continue;
        }
        buffer_.push_back(b);
        ApplyLineFaults();
        switch (Examine(out)) {
        case Verdict::NeedMore:
            break;
        case Verdict::Complete:
            buffer_.clear();
            return true;
        case Verdict::Lost:
            buffer_.clear();
            break;
        case Verdict::NotAMessage:
            // Resynchronise: drop the "<" and read everything after it once more.
            ++discarded_;
            input_.insert(input_.begin(), buffer_.begin() + 1, buffer_.end());
            buffer_.clear();
            break;
        }
    }
    return false;
}

FrameDecoder::Verdict FrameDecoder::Examine(Message& out) {
    const uint8_t kind = buffer_[1];
    if (kind == 'D')
        return ExamineFrame(out);
    if (kind != 'S' && kind != 'F')
        return Verdict::NotAMessage;
    if (buffer_.size() >= 3 && buffer_[2] != '@')
        return Verdict::NotAMessage;
    if (buffer_.size() < 4)
        return Verdict::NeedMore;
    if (buffer_[3] != Close)
        return Verdict::NotAMessage;
    out.kind = kind == 'S' ? Message::Kind::StatusQuery : Message::Kind::Finish;
    return Verdict::Complete;
}

FrameDecoder::Verdict FrameDecoder::ExamineFrame(Message& out) {
    if (buffer_.size() < 3)
        return Verdict::NeedMore;
    const size_t count = Unscramble(buffer_[2], key_[0]);
    if (count > MaxData)
        return Verdict::NotAMessage;
    const size_t length = HeaderEnd + count + 2;
    if (buffer_.size() < length)
        return Verdict::NeedMore;
    if (buffer_[length - 1] != Close)
        return Verdict::NotAMessage;

    if (framesBegun_ == loseFrame_) {
        // Never arrived: nothing of it reaches the monitor, its key included.
        loseFrame_ = 0;
        ++lost_;
        return Verdict::Lost;
    }

    // The header is well formed: the updater has rolled its key to this frame's random
    // bytes whatever becomes of the frame, so the board rolls too.
    DataFrame& frame = out.frame;
    uint8_t header[11];
    for (size_t p = 2; p < HeaderEnd; ++p)
        header[p - 2] = Unscramble(buffer_[p], key_[(p - 2) % 7]);
    frame.Count = header[0];
    frame.Address = uint32_t{header[1]} << 16 | uint32_t{header[2]} << 8 | header[3];
    for (int k = 0; k < 7; ++k)
        frame.FrameKey[k] = header[4 + k];
    frame.Data.resize(count);
    for (size_t j = 0; j < count; ++j)
        frame.Data[j] = Unscramble(buffer_[HeaderEnd + j], frame.FrameKey[j % 7]);

    uint8_t sum = 68;
    for (size_t p = 2; p < HeaderEnd + count; ++p)
        sum = static_cast<uint8_t>(sum + buffer_[p]);
    frame.ChecksumOk = sum == buffer_[HeaderEnd + count];

    key_ = frame.FrameKey;
    out.kind = Message::Kind::Frame;
    return Verdict::Complete;
}

} // namespace boardsim
