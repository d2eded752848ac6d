#include "flash/SystemError.h"

#include "flash/Texts.h"
#include "updater/OpenFailure.h"

std::string SystemErrorWords(int errorCode) {
    const std::string text = SystemErrorText(errorCode);
    return text.empty() ? text : Tr(text.c_str());
}
