#pragma once
// The system's words for an error code on the flasher's screen, in the user's language.
#include <string>

// The system's text for `errorCode` through the flasher's catalogue (the C library speaks
// English only; Windows already answers in the user's language).
std::string SystemErrorWords(int errorCode);
