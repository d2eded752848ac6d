// The application object's Win32 part: the message loop, a hidden window for timers and the
// main thread's wake-up, and the message boxes.
#include "framework/win32/Application.h"

#include "framework/Sync.h"
#include "framework/win32/Controls.h"

#include <windows.h>

#include <atomic>

// Nothing beyond the process's own message queue.
struct TApplication::Toolkit {};

namespace {

// Set while a wake-up is posted and not yet handled, so a burst of hand-overs posts one.
std::atomic<bool> wakePosted{false};

void OnWake() {
    wakePosted.store(false);
    Guard([] { Sync::CheckSynchronize(); });
}

void PostWake() {
    if (wakePosted.exchange(true))
        return;
    if (!PostMessageW(UtilityWindow(), UtilityWakeMessage, 0, 0))
        wakePosted.store(false);
}

// Moves the message box about to appear to the middle of the screen (a box is otherwise
// centred on its owner window).
thread_local HHOOK centreHook = nullptr;

LRESULT CALLBACK CentreBox(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        RECT frame, work;
        GetWindowRect(box, &frame);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        int width = frame.right - frame.left, height = frame.bottom - frame.top;
        SetWindowPos(box, nullptr, work.left + (work.right - work.left - width) / 2,
                     work.top + (work.bottom - work.top - height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        HHOOK hook = centreHook;
        centreHook = nullptr;
        UnhookWindowsHookEx(hook);
        return 0;
    }
    return CallNextHookEx(centreHook, code, wParam, lParam);
}

// The box is modal to the program's visible window, if any.
HWND BoxOwner() {
    HWND active = GetActiveWindow();
    return active && IsWindowVisible(active) ? active : nullptr;
}

// The Tab key moves between a form's controls before the message goes on.
void Dispatch(MSG& msg) {
    auto* form = dynamic_cast<TForm*>(TWinControl::FromHandle(GetAncestor(msg.hwnd, GA_ROOT)));
    if (form && form->HandleTabKey(msg))
        return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

} // namespace

TApplication::TApplication(int&, char**) {
    SetUtilityWake(OnWake);
    UtilityWindow();
    toolkit::Attach(this, PostWake);
}

TApplication::~TApplication() {
    toolkit::Detach();
    wakePosted.store(false);
}

int TApplication::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        Dispatch(msg);
    return 0;
}

bool ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            return false;
        Dispatch(msg);
    }
    return true;
}

void toolkit::ShowBox(const std::string& text, bool error) {
    const std::string title = Application ? Application->Title() : std::string();
    centreHook = SetWindowsHookExW(WH_CBT, CentreBox, nullptr, GetCurrentThreadId());
    MessageBoxW(BoxOwner(), Widen(text).c_str(), Widen(title).c_str(),
                MB_OK | (error ? MB_ICONERROR : 0));
    if (centreHook) {
        UnhookWindowsHookEx(centreHook);
        centreHook = nullptr;
    }
}
