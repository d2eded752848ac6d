#pragma once
// The application object the program is built with: Win32 on Windows, Qt elsewhere. Both offer
// the same names and operations.
#ifdef _WIN32
#include "framework/win32/Application.h"
#else
#include "framework/qt/Application.h"
#endif
