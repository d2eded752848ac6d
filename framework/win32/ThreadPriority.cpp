#include "framework/Thread.h"

#include <windows.h>

void ApplyThreadPriority(TThreadPriority priority) {
    static const int levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                 THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                 THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                 THREAD_PRIORITY_TIME_CRITICAL};
    SetThreadPriority(GetCurrentThread(), levels[priority]);
}
