#pragma once
// A serial port on another machine, reached over TCP with Telnet's COM-PORT-OPTION (RFC 2217).
#include "serial/ComBackend.h"

#include <memory>

std::unique_ptr<TComBackend> CreateNetComBackend();
