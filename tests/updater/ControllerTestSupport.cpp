#include "ControllerTestSupport.h"

#include "framework/Sync.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {

// Wakes the pumping test thread as soon as a routine is queued for it.
struct Waker {
    std::mutex mutex;
    std::condition_variable cv;
    bool pending = false;
    Waker() {
        Sync::SetWakeMainThread([this] {
            {
                std::lock_guard lock(mutex);
                pending = true;
            }
            cv.notify_all();
        });
    }
    void Wait(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, limit, [this] { return pending; });
        pending = false;
    }
};

Waker& TheWaker() {
    static Waker waker;
    return waker;
}

} // namespace

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    TheWaker();
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Sync::CheckSynchronize();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        TheWaker().Wait(std::chrono::milliseconds(5));
    }
}

void PumpFor(std::chrono::milliseconds span) {
    auto end = std::chrono::steady_clock::now() + span;
    PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, span * 2);
}

void RecordingView::SetLabelText(Label label, const std::string& text) {
    switch (label) {
    case LbStatus:
        Status = text;
        ++StatusShown[text];
        break;
    case LbPlaca:
        Placa = text;
        break;
    case LbVersao1:
        Versao1 = text;
        break;
    case LbSerial:
        Serial = text;
        break;
    }
}

void RecordingView::SetButtonEnabled(Button button, bool enabled) {
    (button == BtConecta ? ConectaEnabled : IniciaEnabled) = enabled;
}

void RecordingView::StepProgress() {
    ++Steps;
    Position = std::min(Position + 1, Maximum);
}

void RecordingView::ShowMessage(const std::string& text) {
    Messages.push_back(text);
    if (WhileMessageShown)
        WhileMessageShown(text);
}

std::string TakeAtLeast(Pty& pty, size_t count, std::chrono::milliseconds limit) {
    std::string out;
    PumpUntil(
        [&] {
            out += pty.Take();
            return out.size() >= count;
        },
        limit);
    return out;
}
