#pragma once
// What a failing call of the port component threw.
#include "serial/ComPort.h"

#include <functional>

// The message code of the EComPort the action threw (0 if it threw none), and its system
// error code through `winError`.
inline int ComErrorCode(const std::function<void()>& action, int* winError = nullptr) {
    try {
        action();
    } catch (const EComPort& e) {
        if (winError)
            *winError = e.WinErrorCode;
        return e.MessageCode;
    }
    return 0;
}
