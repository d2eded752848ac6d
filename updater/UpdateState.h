#pragma once
// Everything one update changes as it runs. The window drives exactly one, `ProgramUpdate`,
// whose parts are also reachable under their program-wide names (Controller, Parser,
// HeaderKey, CurrentBlock); the terminal flasher keeps one per port. The block list itself is
// shared and only read.
#include "updater/BoardContract.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/ReplyParser.h"

struct UpdateState {
    ControllerState Controller;
    ReplyParserState Parser;
    FrameKeyBytes HeaderKey = BoardContract::InitialHeaderKey;
    FirmwareBlock* CurrentBlock = nullptr;
    FirmwareBlock* TransferFirst = nullptr; // the block the transfer started with
};

extern UpdateState ProgramUpdate;
