#pragma once
// The indicator lamp's rules, apart from any toolkit: the link to a port, which of the port's
// signals it follows, its state and the reports of it, and the timed glow of a ring. The
// painted lamp is one file per toolkit (serial/qt/, serial/win32/).
#include "framework/Component.h"
#include "serial/ComPort.h"
#include "serial/controls/ComSelect.h"

class TCustomComLed : public TComponent {
public:
    TCustomComLed();

    TCustomComPort* ComPort() const { return comPort_; }
    void SetComPort(TCustomComPort* port);
    TComLedSignal LedSignal() const { return ledSignal_; }
    void SetLedSignal(TComLedSignal signal);
    TLedKind Kind() const { return kind_; }
    void SetKind(TLedKind kind);
    TLedState State() const { return state_; }
    // Raises EComPort 19 while a port is bound.
    void SetState(TLedState state);
    virtual int RingDuration() const = 0;

    // What the bound port's signal says right now.
    bool IsStateOn() const;

    void Notification(TComponent* component, TOperation operation) override;

    TLedStateEvent OnChange;

protected:
    virtual void DoChange(TLedState state);
    // Takes the glyph pair of the kind (a custom lamp keeps its own).
    virtual void SelectLedBitmap() = 0;
    // Asks for the lamp to be drawn again, later or right now.
    virtual void RedrawLater() = 0;
    virtual void RedrawNow() = 0;
    virtual bool RingTimerActive() const = 0;
    virtual void StartRingTimer() = 0;
    virtual void StopRingTimer() = 0;

    // The ring's timer has run out.
    void DoTimer();
    // For the toolkit lamp's destructor, while its drawing still exists: drops the listener and
    // the port, silently.
    void Detach();

private:
    void SetStateInternal(TLedState state);
    void SignalChange(TComponent* sender, bool onOff);
    void RingDetect(TComponent* sender);

    TComLink link_;
    TCustomComPort* comPort_ = nullptr;
    TComLedSignal ledSignal_ = lsConn;
    TLedKind kind_ = lkRedLight;
    TLedState state_ = lsOff;
};
