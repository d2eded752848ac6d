#pragma once
// A thread with the life cycle the serial layer expects: created suspended, started once,
// and waited for at destruction. Waiting on the main thread keeps running the routines that
// threads queue for it, so a thread blocked in Synchronize can always finish.
#include <atomic>
#include <exception>
#include <thread>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Sets the calling thread's priority, as far as the system lets it (one file per platform).
void ApplyThreadPriority(TThreadPriority priority);

class TThread {
public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Derived classes call WaitFor() in their own destructor: Execute is theirs.
    virtual ~TThread();

    void Start();
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_; }
    // Waits for Execute to return; a no-op for a thread never started or already joined.
    void WaitFor();
    // What escaped Execute, if anything.
    std::exception_ptr FatalException() const { return fatal_; }

    TThreadPriority Priority = tpNormal;

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::exception_ptr fatal_;
};
