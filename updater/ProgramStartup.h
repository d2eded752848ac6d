#pragma once
// The program's start-up and end: the translation runtime and the serial layer's messages
// before the window, and the window's run between them.
#include <functional>

// The translation runtime first (language, the "default" domain beside the executable), then
// the serial layer's start-up: its "cport" domain and its message texts, translated once. A
// catalogue that cannot be read switches translation off before its failure is passed on.
void StartTranslationAndSerialLayer();
void StopTranslation();

// The whole window program on either toolkit: the start-up above, then the application object
// (`started` runs as soon as it exists), then the main window, whose creation loads the
// firmware image, until it is closed; the translation stops last. Whatever fails is shown in
// the exception box (before the application object exists, on standard error).
int RunWindowProgram(int& argc, char** argv, const std::function<void()>& started);
