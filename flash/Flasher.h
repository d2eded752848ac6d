#pragma once
// The main loop: every port's run from one thread, one 100 ms tick for all, the ports'
// receive events handed over to this thread; a slow or dead board holds up no other.
#include "flash/Options.h"
#include "flash/Output.h"

// Runs the update on every port of `options`; returns the exit status.
int RunFlasher(const FlashOptions& options, const ImageFacts& image, Progress& progress);
