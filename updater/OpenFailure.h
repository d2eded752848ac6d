#pragma once
// Why a serial port could not be opened, in words a technician can act on. Shared by the
// window and the command-line flasher, which both show it under "Erro ao abrir porta <name>!".
#include <string>

// The line for an open that failed with errno `errorCode` (EComPort::WinErrorCode); empty when
// the failure carries no error code (-1).
std::string OpenFailureCause(int errorCode);
