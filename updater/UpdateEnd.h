#pragma once
// How an attempt ended. Front-ends act on this (the service record, the flasher's exit
// status), never on the texts shown, so rewording a message changes neither.

enum class UpdateEnd {
    Completed,           // "<FF>" answered our "<F@>"
    GivenUp,             // the send budget ran out: the board stopped answering
    Refused,             // given up: the board refused one block ten times, or faults kept coming
    SlowAnswers,         // given up: the send budget ran out on a line whose answers came late
    OutOfStep,           // not proven: an answer came that no frame was owed
    NoAnswer,            // no boot monitor answering
    IncompatibleMonitor, // a boot monitor other than 1.0
    PortError,           // the port failed
    Interrupted,         // the port closed during a transfer
};

// The transfer was given up or not proven: the window's give-up box, the flasher's give-up.
constexpr bool IsGiveUp(UpdateEnd end) {
    return end == UpdateEnd::GivenUp || end == UpdateEnd::Refused ||
           end == UpdateEnd::SlowAnswers || end == UpdateEnd::OutOfStep;
}

// The service record's word for it: its result for the ends a front-end tells apart, and the
// reason of a give-up.
constexpr const char* UpdateEndName(UpdateEnd end) {
    switch (end) {
    case UpdateEnd::Completed:
        return "completed";
    case UpdateEnd::GivenUp:
        return "given-up";
    case UpdateEnd::Refused:
        return "refused";
    case UpdateEnd::SlowAnswers:
        return "slow-answers";
    case UpdateEnd::OutOfStep:
        return "out-of-step";
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
