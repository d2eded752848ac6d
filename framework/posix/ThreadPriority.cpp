#include "framework/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

// Best effort: an unprivileged process may lower its priority but not raise it.
void ApplyThreadPriority(TThreadPriority priority) {
    static const int niceness[] = {19, 10, 5, 0, -5, -10, -20};
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness[priority]);
}
