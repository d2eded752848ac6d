#pragma once
// The steps of the program's start-up and end that come before and after the window: the
// translation runtime and the serial layer's messages.

// The translation runtime first (language, the "default" domain beside the executable), then
// the serial layer's start-up: its "cport" domain and its message texts, translated once. A
// catalogue that cannot be read switches translation off before its failure is passed on.
void StartTranslationAndSerialLayer();
void StopTranslation();
