#pragma once
// What the controller tests share: a view that keeps what the controller shows, and pumping
// the main thread's hand-over queue without a window.
#include "tests/support/PortTestSupport.h"
#include "tests/support/Pump.h"
#include "updater/ComPortLine.h"
#include "updater/UpdateController.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The window's part as plain data.
class RecordingView : public UpdateView {
public:
    std::string Status, Placa = "-", Versao1 = "-", Serial = "-";
    TColor StatusColor = clStatusBlue;
    bool ConectaEnabled = true, IniciaEnabled = false;
    int Position = 0, Maximum = 100, Steps = 0;
    bool TimerEnabled = true;
    std::vector<std::string> Messages;
    std::vector<UpdateEnd> Ends;
    std::vector<std::string> Details;
    // How often each status text was put up.
    std::map<std::string, int> StatusShown;
    // Runs while a message box would be open (the box is modal: the handler waits).
    std::function<void(const std::string&)> WhileMessageShown;

    void SetLabelText(Label label, const std::string& text) override;
    void SetStatusColor(TColor color) override { StatusColor = color; }
    void SetButtonEnabled(Button button, bool enabled) override;
    void SetProgressPosition(int position) override { Position = position; }
    void SetProgressMaximum(int maximum) override { Maximum = maximum; }
    void StepProgress() override;
    void SetTimerEnabled(bool enabled) override { TimerEnabled = enabled; }
    void ShowMessage(const std::string& text) override;
    void AttemptEnded(UpdateEnd end, const std::string& detail) override {
        Ends.push_back(end);
        Details.push_back(detail);
    }
};

// Waits (pumping the main thread) until `count` bytes came from the port or `limit` passed.
std::string TakeAtLeast(Pty& pty, size_t count,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
