#pragma once
// How an attempt ended. Front-ends act on this (the service record, the flasher's exit
// status), never on the texts shown, so rewording a message changes neither.

enum class UpdateEnd {
    Completed,           // "<FF>" answered our "<F@>"
    GivenUp,             // the send budget or the refusal limit ran out
    NoAnswer,            // no boot monitor answering
    IncompatibleMonitor, // a boot monitor other than 1.0
    PortError,           // the port failed
    Interrupted,         // the port closed during a transfer
};

// The service record's word for it.
constexpr const char* UpdateEndName(UpdateEnd end) {
    switch (end) {
    case UpdateEnd::Completed:
        return "completed";
    case UpdateEnd::GivenUp:
        return "given-up";
    case UpdateEnd::NoAnswer:
        return "no-answer";
    case UpdateEnd::IncompatibleMonitor:
        return "wrong-monitor";
    case UpdateEnd::PortError:
        return "port-error";
    case UpdateEnd::Interrupted:
        break;
    }
    return "interrupted";
}
