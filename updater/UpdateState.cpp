#include "updater/UpdateState.h"

// One definition for the window's update and its program-wide names, so they are bound
// before any other start-up code runs.
UpdateState ProgramUpdate;
ControllerState& Controller = ProgramUpdate.Controller;
ReplyParserState& Parser = ProgramUpdate.Parser;
FrameKeyBytes& HeaderKey = ProgramUpdate.HeaderKey;
FirmwareBlock*& CurrentBlock = ProgramUpdate.CurrentBlock;
