#include "tools/boardsim/Board.h"

#include "tools/boardsim/LineGarble.h"
#include "updater/BoardContract.h"

namespace boardsim {

namespace {

constexpr char EnterMonitor[] = "(%B67)";
constexpr size_t EnterMonitorLength = sizeof(EnterMonitor) - 1;
// What a board with an old boot monitor reports.
constexpr char OldMonitorVersion[] = "0.9";

} // namespace

Board::Board(BoardConfig config)
    : config_(std::move(config)),
      mode_(config_.StartInMonitor ? Mode::BootMonitor : Mode::NormalFirmware),
      firmwareVersion_(config_.FirmwareVersion) {
    for (const LineFlip& f : config_.Flips)
        decoder_.FlipInFrame(static_cast<uint64_t>(f.Frame), static_cast<size_t>(f.Offset));
    decoder_.LoseFrame(static_cast<uint64_t>(config_.LoseFrame));
}

void Board::Restart() {
    decoder_.Reset();
    keyRolled_ = false;
}

int Board::ListenBaud() const {
    switch (mode_) {
    case Mode::NormalFirmware:
        return BoardContract::NormalFirmwareBaud;
    case Mode::BootMonitor:
        return BoardContract::BootMonitorBaud;
    default:
        return 0;
    }
}

std::string Board::Versions() const {
    std::string monitor = config_.IncompatibleMonitor ? OldMonitorVersion : config_.MonitorVersion;
    return "V" + firmwareVersion_ + "M" + monitor;
}

std::vector<Reply> Board::Receive(const uint8_t* data, size_t length, int lineBaud) {
    std::vector<Reply> replies;
    size_t used = 0;
    while (used < length && ListenBaud() != 0) {
        const int listen = ListenBaud();
        if (lineBaud != listen) {
            // The UART makes garbage of them; the firmware reads whatever comes out.
            stats_.WrongSpeedBytes += length - used;
            std::vector<uint8_t> garbled =
                ReceiveAtSpeed(std::vector<uint8_t>(data + used, data + length), lineBaud, listen);
            if (mode_ == Mode::NormalFirmware)
                ReceiveNormal(garbled.data(), garbled.size(), replies);
            else
                ReceiveMonitor(garbled.data(), garbled.size(), replies);
            break;
        }
        if (mode_ == Mode::NormalFirmware) {
            used += ReceiveNormal(data + used, length - used, replies);
        } else {
            ReceiveMonitor(data + used, length - used, replies);
            used = length;
        }
    }
    return replies;
}

size_t Board::ReceiveNormal(const uint8_t* data, size_t length, std::vector<Reply>& replies) {
    for (size_t i = 0; i < length; ++i) {
        command_.push_back(static_cast<char>(data[i]));
        if (command_.size() > EnterMonitorLength)
            command_.erase(0, 1);
        if (command_ == EnterMonitor) {
            command_.clear();
            ++stats_.Identifications;
            Answer("(" + std::string(BoardContract::BoardCode) + Versions() + ")",
                   BoardContract::NormalFirmwareBaud, replies);
            mode_ = Mode::BootMonitor;
            Restart();
            return i + 1;
        }
    }
    return length;
}

void Board::ReceiveMonitor(const uint8_t* data, size_t length, std::vector<Reply>& replies) {
    decoder_.Push(data, length);
    Message message;
    while (mode_ == Mode::BootMonitor && decoder_.Next(message)) {
        switch (message.kind) {
        case Message::Kind::StatusQuery:
            ++stats_.StatusPolls;
            if (config_.Keys == KeyRule::ResetOnStatus || !keyRolled_)
                decoder_.ResetKey();
            if (stats_.StatusPolls == static_cast<uint64_t>(config_.StrayCompletionAtPoll))
                StrayCompletion(replies);
            if (config_.StatusDelayMs > 0)
                ++stats_.LateStatusAnswers;
            Answer("<" + std::string(BoardContract::BoardCode) + Versions() + config_.SerialNumber +
                       ">",
                   BoardContract::BootMonitorBaud, replies, config_.StatusDelayMs);
            break;
        case Message::Kind::Finish:
            ++stats_.Completions;
            Answer("<FF>", BoardContract::BootMonitorBaud, replies);
            if (config_.Reboot) {
                mode_ = Mode::NormalFirmware;
                firmwareVersion_ = config_.RebootFirmwareVersion;
                command_.clear();
                Restart();
            } else {
                mode_ = Mode::Finished;
            }
            break;
        case Message::Kind::Frame:
            keyRolled_ = true;
            HandleFrame(message.frame, replies);
            break;
        }
    }
    stats_.FlippedBytes = decoder_.FlippedBytes();
    stats_.LostFrames = decoder_.LostFrames();
}

void Board::HandleFrame(const DataFrame& frame, std::vector<Reply>& replies) {
    const auto now = std::chrono::system_clock::now();
    const uint64_t number = ++stats_.Frames;
    if (!stats_.FirstFrame)
        stats_.FirstFrame = now;
    stats_.LastFrame = now;
    if (!addressesSeen_.insert(frame.Address).second)
        ++stats_.Resends;

    bool accept = true;
    if (!frame.ChecksumOk) {
        ++stats_.BadChecksums;
        accept = false;
    } else if (config_.NakEvery > 0 && number % config_.NakEvery == 0) {
        accept = false;
    } else if (frame.Address < BoardContract::FirstApplicationAddress ||
               frame.Address + frame.Count > 0x1000000) {
        accept = false; // the monitor never overwrites itself
    }
    if (accept) {
        for (size_t j = 0; j < frame.Data.size(); ++j)
            memory_[frame.Address + static_cast<uint32_t>(j)] = frame.Data[j];
        ++stats_.Accepted;
    } else {
        ++stats_.Naks;
    }

    if (number == static_cast<uint64_t>(config_.StrayCompletionAtFrame))
        StrayCompletion(replies);
    if (config_.DropAnswerTo > 0 && number == static_cast<uint64_t>(config_.DropAnswerTo))
        ++stats_.DroppedAnswers;
    else
        Answer(std::string("<D") + AnswerCode(number, accept) + ">", BoardContract::BootMonitorBaud,
               replies, DelayFor(number));
    // A header that broke and a resync inside the frame's bytes: once more, a little later.
    if (config_.AckTwice.count(static_cast<int>(number)))
        Answer(std::string("<D") + AnswerCode(number, accept) + ">", BoardContract::BootMonitorBaud,
               replies, DelayFor(number) + AckTwiceDelayMs);

    if (!accept)
        return;
    if (config_.HangUpAfter > 0 && stats_.Accepted >= static_cast<uint64_t>(config_.HangUpAfter))
        mode_ = Mode::HungUp;
    else if (config_.SilentAfter > 0 &&
             stats_.Accepted >= static_cast<uint64_t>(config_.SilentAfter))
        mode_ = Mode::Silent;
}

void Board::Answer(std::string bytes, int baud, std::vector<Reply>& replies, int delayMs) {
    if (config_.MonitorMute && baud == BoardContract::BootMonitorBaud)
        return;
    ++replies_;
    if (config_.CorruptEvery > 0 && replies_ % config_.CorruptEvery == 0)
        bytes[1] = static_cast<char>(~bytes[1]); // the character after the opener
    replies.push_back({std::move(bytes), baud, delayMs});
}

char Board::AnswerCode(uint64_t frame, bool accept) const {
    auto code = config_.AckCode.find(static_cast<int>(frame));
    return code != config_.AckCode.end() ? code->second : accept ? 'D' : '?';
}

int Board::DelayFor(uint64_t frame) const {
    auto delay = config_.AckDelayMs.find(static_cast<int>(frame));
    return delay != config_.AckDelayMs.end() ? delay->second : 0;
}

void Board::StrayCompletion(std::vector<Reply>& replies) {
    ++stats_.StrayCompletions;
    Answer("<FF>", BoardContract::BootMonitorBaud, replies);
}

} // namespace boardsim
