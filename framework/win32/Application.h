#pragma once
// The application object on Win32, and what only its message loop offers.
#include "framework/Application.h"

// Handles every message waiting now; returns false once the loop was asked to end.
bool ProcessMessages();
