#pragma once
// The serial layer's start-up with the translation runtime, run right after
// gnugettext::GnuGettextStartup() and before the application starts.

// Registers the "cport" domain for resource strings, stores the translations of the 23
// messages in ComPortMessages and routes the error-code suffix through the runtime, so it is
// translated each time an EComPort with an error code is made. Throws a catalogue's failure,
// after falling back to the English texts with no translation at all.
void ComPortStartup();
// Stops translating the suffix (before the runtime shuts down).
void ComPortShutdown();
