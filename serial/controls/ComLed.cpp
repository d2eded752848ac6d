#include "serial/controls/ComLed.h"

TCustomComLed::TCustomComLed() {
    link_.ConnSignal = [this](TComponent* sender, bool onOff) { SignalChange(sender, onOff); };
}

void TCustomComLed::Detach() {
    // Whoever listens may already be gone: a lamp being destroyed reports nothing.
    OnChange = nullptr;
    StopRingTimer();
    try {
        SetComPort(nullptr);
    } catch (...) {
        // The link goes with the lamp either way.
    }
}

void TCustomComLed::SetComPort(TCustomComPort* port) {
    if (port == comPort_)
        return;
    if (comPort_) {
        TCustomComPort* old = comPort_;
        comPort_ = nullptr;
        RemoveFreeNotification(old);
        old->UnRegisterLink(&link_);
    }
    comPort_ = port;
    if (port) {
        FreeNotification(port);
        port->RegisterLink(&link_);
        if (port->Connected() && !Designing() && !Loading())
            SetStateInternal(IsStateOn() ? lsOn : lsOff);
    } else {
        SetStateInternal(lsOff);
    }
}

void TCustomComLed::SetLedSignal(TComLedSignal signal) {
    if (signal == ledSignal_)
        return;
    ledSignal_ = signal;
    link_.ConnSignal = nullptr;
    link_.CTSSignal = nullptr;
    link_.DSRSignal = nullptr;
    link_.RLSDSignal = nullptr;
    link_.RingNotify = nullptr;
    link_.RxSignal = nullptr;
    link_.TxSignal = nullptr;
    auto change = [this](TComponent* sender, bool onOff) { SignalChange(sender, onOff); };
    switch (signal) {
    case lsConn:
        link_.ConnSignal = change;
        break;
    case lsCTS:
        link_.CTSSignal = change;
        break;
    case lsDSR:
        link_.DSRSignal = change;
        break;
    case lsRLSD:
        link_.RLSDSignal = change;
        break;
    case lsRing:
        link_.RingNotify = [this](TComponent* sender) { RingDetect(sender); };
        break;
    case lsRx:
        link_.RxSignal = change;
        break;
    case lsTx:
        link_.TxSignal = change;
        break;
    }
}

void TCustomComLed::SetKind(TLedKind kind) {
    if (kind == kind_)
        return;
    kind_ = kind;
    SelectLedBitmap();
    RedrawLater();
}

void TCustomComLed::SetState(TLedState state) {
    if (comPort_)
        throw EComPort(mcLedStateWithPort);
    SetStateInternal(state);
}

void TCustomComLed::SetStateInternal(TLedState state) {
    state_ = state;
    if (!Loading())
        DoChange(state);
    RedrawLater();
}

void TCustomComLed::DoChange(TLedState state) {
    if (OnChange)
        OnChange(this, state);
}

void TCustomComLed::SignalChange(TComponent*, bool onOff) {
    SetStateInternal(onOff ? lsOn : lsOff);
    // Paint the new glyph now, while the port's work goes on.
    RedrawNow();
}

void TCustomComLed::RingDetect(TComponent*) {
    // A running timer keeps its first start; a timer of length 0 never ticks at all.
    if (!RingTimerActive() && RingDuration() > 0)
        StartRingTimer();
    SetStateInternal(lsOn);
}

void TCustomComLed::DoTimer() {
    StopRingTimer();
    SetStateInternal(lsOff);
}

bool TCustomComLed::IsStateOn() const {
    if (!comPort_)
        return false;
    switch (ledSignal_) {
    case lsConn:
        return comPort_->Connected();
    case lsCTS:
        return comPort_->Signals().Contains(csCTS);
    case lsDSR:
        return comPort_->Signals().Contains(csDSR);
    case lsRLSD:
        return comPort_->Signals().Contains(csRLSD);
    case lsRing:
    case lsRx:
    case lsTx:
        break;
    }
    return false;
}

void TCustomComLed::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == comPort_) {
        // The port is going away: forget it without touching it.
        comPort_ = nullptr;
        SetStateInternal(lsOff);
    }
}
