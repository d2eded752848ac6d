#include "framework/Format.h"
#include "serial/ComPort.h"

#include <atomic>

const char* const ComPortMessageTexts[ComMessageCodeCount + 1] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

std::string ComPortMessages[ComMessageCodeCount + 1] = {
    ComPortMessageTexts[0],  ComPortMessageTexts[1],  ComPortMessageTexts[2],
    ComPortMessageTexts[3],  ComPortMessageTexts[4],  ComPortMessageTexts[5],
    ComPortMessageTexts[6],  ComPortMessageTexts[7],  ComPortMessageTexts[8],
    ComPortMessageTexts[9],  ComPortMessageTexts[10], ComPortMessageTexts[11],
    ComPortMessageTexts[12], ComPortMessageTexts[13], ComPortMessageTexts[14],
    ComPortMessageTexts[15], ComPortMessageTexts[16], ComPortMessageTexts[17],
    ComPortMessageTexts[18], ComPortMessageTexts[19], ComPortMessageTexts[20],
    ComPortMessageTexts[21], ComPortMessageTexts[22], ComPortMessageTexts[23],
};

namespace {
const char* const suffixText = " (win error code: %d)";
std::atomic<ComPortTranslator> translator{nullptr};

std::string Translate(const char* text) {
    if (ComPortTranslator t = translator.load())
        return t(text);
    return text;
}

std::string MessageText(int code) {
    return code >= 1 && code <= ComMessageCodeCount ? ComPortMessages[code] : std::string();
}
} // namespace

void SetComPortTranslator(ComPortTranslator t) {
    translator.store(t);
}

void TranslateComPortMessages() {
    for (int code = 1; code <= ComMessageCodeCount; ++code)
        ComPortMessages[code] = Translate(ComPortMessageTexts[code]);
}

std::string ComPortErrorSuffix() {
    return Translate(suffixText);
}

EComPort::EComPort(int messageCode)
    : Exception(MessageText(messageCode)), MessageCode(messageCode) {}

EComPort::EComPort(int messageCode, int winErrorCode)
    : Exception(MessageText(messageCode) +
                // A translated pattern that does not fit falls back to the original.
                FormatTranslated(ComPortErrorSuffix(), suffixText, {(long long)winErrorCode})),
      WinErrorCode(winErrorCode), MessageCode(messageCode) {}
