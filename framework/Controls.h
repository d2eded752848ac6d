#pragma once
// The window controls of the toolkit the program is built with: native Win32 controls on
// Windows, Qt elsewhere. Both offer the same names and operations.
#ifdef _WIN32
#include "framework/win32/Controls.h"
#else
#include "framework/qt/Controls.h"
#endif
