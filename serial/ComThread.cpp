#include "framework/Sync.h"
#include "serial/ComBackend.h"
#include "serial/ComPort.h"

namespace {

struct EventBit {
    TComEvent event;
    unsigned bit;
};
const EventBit eventBits[] = {{evRxChar, EvRxCharBit}, {evTxEmpty, EvTxEmptyBit},
                              {evRxFlag, EvRxFlagBit}, {evRing, EvRingBit},
                              {evBreak, EvBreakBit},   {evCTS, EvCtsBit},
                              {evDSR, EvDsrBit},       {evError, EvErrBit},
                              {evRLSD, EvRlsdBit},     {evRx80Full, EvRx80FullBit}};

// The order in which one set of events reaches the component.
const TComEvent dispatchOrder[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                   evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};

void CallEvent(TCustomComPort& port, TComEvent event) {
    switch (event) {
    case evError:
        port.CallError();
        break;
    case evRxChar:
        port.CallRxChar();
        break;
    case evTxEmpty:
        port.CallTxEmpty();
        break;
    case evBreak:
        port.CallBreak();
        break;
    case evRing:
        port.CallRing();
        break;
    case evCTS:
        port.CallCTSChange();
        break;
    case evDSR:
        port.CallDSRChange();
        break;
    case evRxFlag:
        port.CallRxFlag();
        break;
    case evRLSD:
        port.CallRLSDChange();
        break;
    case evRx80Full:
        port.CallRx80Full();
        break;
    }
}

} // namespace

TComEvents MaskToComEvents(unsigned mask) {
    TComEvents events;
    for (const EventBit& e : eventBits)
        if (mask & e.bit)
            events.Include(e.event);
    return events;
}

unsigned ComEventsToMask(TComEvents events) {
    unsigned mask = 0;
    for (const EventBit& e : eventBits)
        if (events.Contains(e.event))
            mask |= e.bit;
    return mask;
}

TComThread::TComThread(TCustomComPort* owner)
    : owner_(owner), backend_(owner->backend_), token_(owner->token_),
      mask_(ComEventsToMask(owner->Events())), syncMethod_(owner->SyncMethod()) {
    Priority = owner->EventThreadPriority();
    backend_->SetEventMask(mask_);
    Start();
}

TComThread::~TComThread() {
    Stop();
    WaitFor();
}

void TComThread::Stop() {
    Terminate();
    backend_->Interrupt();
}

void TComThread::Execute() {
    for (;;) {
        unsigned events = 0;
        int rc = backend_->WaitEvent(mask_, events);
        // A failed wait ends delivery like a stop; the port stays open without events.
        if (Terminated() || rc != 0)
            break;
        if (events == 0)
            continue;
        ReceivedEvents = MaskToComEvents(events);
        DispatchComMsg();
    }
    // No more device events, and both driver queues discarded on the way out.
    backend_->SetEventMask(0);
    backend_->Purge(true, true);
}

void TComThread::DispatchComMsg() {
    switch (syncMethod_) {
    case smThreadSync:
        Sync::Synchronize([this] {
            ++owner_->dispatchDepth_;
            // A failing handler is reported; event delivery goes on.
            try {
                DoEvents();
            } catch (...) {
                HandleException(std::current_exception());
            }
            --owner_->dispatchDepth_;
        });
        break;
    case smWindowSync:
        SendEvents();
        break;
    case smNone:
        try {
            DoEvents();
        } catch (...) {
            // Reported on the main thread, where the application's report lives.
            Sync::Queue([error = std::current_exception()] { std::rethrow_exception(error); });
        }
        break;
    }
}

void TComThread::DoEvents() {
    // A handler may close the port; the rest of the set is then moot.
    for (TComEvent event : dispatchOrder)
        if (ReceivedEvents.Contains(event) && token_->Open)
            CallEvent(*owner_, event);
}

void TComThread::SendEvents() {
    // One hand-over per event, not waited for; each runs only if the port is still open.
    for (TComEvent event : dispatchOrder)
        if (ReceivedEvents.Contains(event))
            Sync::Queue([token = token_, event] {
                if (token->Open)
                    CallEvent(*token->Port, event);
            });
}
