#pragma once
// Resource strings: the framework's and the serial layer's fixed English texts. Every one of
// them is read through LoadResString, the single entry where the translation runtime hooks in.
#include <string>

struct TResStringRec {
    const char* Text;
};

// Returns the text of `rec`, translated when a loader is installed (UTF-8).
std::string LoadResString(const TResStringRec& rec);

// The translation runtime installs its loader here at start-up and removes it at exit.
using ResStringLoader = std::string (*)(const char* text);
void SetResStringLoader(ResStringLoader loader);

// The framework's own resource strings.
extern const TResStringRec SReadError; // "Error reading %s%s%s: %s"
