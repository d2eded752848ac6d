#include "ControllerTestSupport.h"

#include <algorithm>

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
