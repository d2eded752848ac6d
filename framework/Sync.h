#pragma once
// Running routines on the main thread. A worker hands a routine over and either waits for it
// (Synchronize) or not (Queue); the main thread runs what is queued from CheckSynchronize,
// which the window's event loop calls whenever the wake-up hook fires.
#include <functional>

namespace Sync {

using Routine = std::function<void()>;

// The thread that counts as the main thread: the one that ran static initialisation, unless
// a test says otherwise.
void SetMainThread();
bool IsMainThread();

// Runs `routine` on the main thread and waits until it has run. An exception it raises is
// raised again in the caller. Called on the main thread it simply runs the routine.
void Synchronize(Routine routine);

// Hands `routine` to the main thread without waiting. An exception it raises there goes to
// the application's exception report.
void Queue(Routine routine);

// Main thread: runs every routine queued so far. Returns whether any ran.
bool CheckSynchronize();

// Called, from any thread, each time a routine is queued; the window posts a call of
// CheckSynchronize to its event loop from here. Pass nullptr to remove it.
void SetWakeMainThread(std::function<void()> wake);

// Main thread: keeps running queued routines until `done` holds. `done` is evaluated with
// the queue's lock held, so it must only read atomics. Other threads call NotifyWaiters
// after changing what `done` looks at.
void WaitUntil(const std::function<bool()>& done);
void NotifyWaiters();

} // namespace Sync
