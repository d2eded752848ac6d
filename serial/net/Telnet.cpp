#include "serial/net/Telnet.h"

namespace telnet {

void TReader::Feed(const uint8_t* bytes, size_t count, std::string& data,
                   std::vector<TCommand>& commands) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
        case State::Data:
            if (b == Iac)
                state_ = State::Iac;
            else
                data.push_back(static_cast<char>(b));
            break;
        case State::SbIac:
            if (b == Iac) {
                if (command_.Payload.size() < maxPayload)
                    command_.Payload.push_back(static_cast<char>(b));
                state_ = State::SbData;
                break;
            }
            if (b == Se) {
                commands.push_back(std::move(command_));
                command_ = {};
                state_ = State::Data;
                break;
            }
            // A subnegotiation cut short by another command: drop it, take the command.
            command_ = {};
            [[fallthrough]];
        case State::Iac:
            state_ = State::Data;
            if (b == Iac)
                data.push_back(static_cast<char>(b));
            else if (b >= Will && b <= Dont) {
                command_.Verb = b;
                state_ = State::Option;
            } else if (b == Sb) {
                command_.Verb = b;
                state_ = State::SbOption;
            }
            // NOP, GA and the other one-byte commands carry nothing for a serial line.
            break;
        case State::Option:
            command_.Option = b;
            commands.push_back(std::move(command_));
            command_ = {};
            state_ = State::Data;
            break;
        case State::SbOption:
            command_.Option = b;
            state_ = State::SbData;
            break;
        case State::SbData:
            if (b == Iac)
                state_ = State::SbIac;
            else if (command_.Payload.size() < maxPayload)
                command_.Payload.push_back(static_cast<char>(b));
            break;
        }
    }
}

std::string EscapeData(const void* data, size_t count) {
    const auto* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(count + 8);
    for (size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<char>(p[i]));
        if (p[i] == Iac)
            out.push_back(static_cast<char>(Iac));
    }
    return out;
}

std::string Negotiation(uint8_t verb, uint8_t option) {
    return {static_cast<char>(Iac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string ComPortCommand(uint8_t code, const std::string& payload) {
    std::string out = {static_cast<char>(Iac), static_cast<char>(Sb),
                       static_cast<char>(OptComPort)};
    // The command code is part of the subnegotiation: escaped like the rest.
    const std::string body = static_cast<char>(code) + payload;
    out += EscapeData(body.data(), body.size());
    out += {static_cast<char>(Iac), static_cast<char>(Se)};
    return out;
}

} // namespace telnet
