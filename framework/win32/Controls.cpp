#include "framework/win32/Controls.h"

#include "framework/Application.h"
#include "framework/Exception.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <map>

namespace {

constexpr wchar_t FormClass[] = L"QuorvelForm";
constexpr wchar_t UtilityClass[] = L"QuorvelUtility";
constexpr wchar_t WindowFontFace[] = L"MS Sans Serif";
// Space around a tab's caption: the default leaves "Ajuda" outside a 291-pixel strip, so the
// sideways padding is the widest that still fits the strip (never below the minimum).
constexpr int TabPaddingMinX = 3;
constexpr int TabPaddingMaxX = 12;
constexpr int TabPaddingY = 3;

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

void RegisterFormClass() {
    static bool registered = false;
    if (registered)
        return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hIconSm = static_cast<HICON>(LoadImageW(wc.hInstance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = FormClass;
    RegisterClassExW(&wc);
    INITCOMMONCONTROLSEX icc{sizeof icc,
                             ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    registered = true;
}

int CALLBACK FaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

// "MS Sans Serif" 8 point, or the system's dialog font where that face is missing.
HFONT MakeWindowFont(int dpi) {
    LOGFONTW face{};
    face.lfCharSet = DEFAULT_CHARSET;
    wcscpy(face.lfFaceName, WindowFontFace);
    bool found = false;
    HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(screen, &face, FaceFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    if (!found) {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
            return CreateFontIndirectW(&metrics.lfMessageFont);
        return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    face.lfHeight = -MulDiv(8, dpi, 72);
    face.lfWeight = FW_NORMAL;
    face.lfQuality = DEFAULT_QUALITY;
    return CreateFontIndirectW(&face);
}

// A bitmap (raster) face, as "MS Sans Serif" is: neither vector nor TrueType.
bool IsBitmapFace(HFONT font) {
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(screen, &metrics);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return !(metrics.tmPitchAndFamily & (TMPF_VECTOR | TMPF_TRUETYPE));
}

// Small closed glyphs that the system's emboldening of a bitmap face fills in ("Nº" turns
// into "N" and a block): they are drawn at regular weight.
bool SmearedInBold(wchar_t c) {
    return c == L'\u00BA' || c == L'\u00AA' || c == L'\u00B0'; // º ª °
}

std::map<UINT_PTR, TTimer*>& Timers() {
    static std::map<UINT_PTR, TTimer*> timers;
    return timers;
}

} // namespace

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string utf8(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr,
                        nullptr);
    return utf8;
}

// ---- TWinControl ----------------------------------------------------------------------------

TWinControl::TWinControl(TWinControl* parent, const wchar_t* windowClass, DWORD style,
                         DWORD exStyle)
    : parent_(parent), dpi_(parent ? parent->dpi_ : ScreenDpi()) {
    handle_ = CreateWindowExW(exStyle, windowClass, L"", style | (parent ? WS_CHILD : 0), 0, 0, 0,
                              0, parent ? parent->handle_ : nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (!handle_)
        throw Exception("Cannot create a window of class " + Narrow(windowClass));
    SetWindowLongPtrW(handle_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    classProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(handle_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
    if (parent) {
        // A control made later lies over those made before it, whatever the system's habit.
        SetWindowPos(handle_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        SetFont(parent->font_, false);
        parent->owned_.emplace_back(this);
    }
}

TWinControl::~TWinControl() {
    // Children first, the last made first, while this window still exists.
    while (!owned_.empty())
        owned_.pop_back();
    SetWindowLongPtrW(handle_, GWLP_USERDATA, 0);
    SetWindowLongPtrW(handle_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(classProc_));
    DestroyWindow(handle_);
    if (ownsFont_)
        DeleteObject(font_);
}

TWinControl* TWinControl::FromHandle(HWND handle) {
    if (!handle)
        return nullptr;
    // Only windows whose procedure is ours carry an object in their user data.
    if (GetWindowLongPtrW(handle, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(SubclassProc))
        return nullptr;
    return reinterpret_cast<TWinControl*>(GetWindowLongPtrW(handle, GWLP_USERDATA));
}

LRESULT CALLBACK TWinControl::SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    TWinControl* self = FromHandle(hwnd);
    if (!self)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    // Notifications go back to the control that sent them.
    HWND from = nullptr;
    switch (message) {
    case WM_COMMAND:
        from = reinterpret_cast<HWND>(lParam);
        break;
    case WM_NOTIFY:
        from = reinterpret_cast<NMHDR*>(lParam)->hwndFrom;
        break;
    case WM_DRAWITEM:
        from = reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        from = reinterpret_cast<HWND>(lParam);
        break;
    default:
        break;
    }
    if (message == WM_DEVICECHANGE)
        self->NotifyAll(message, wParam, lParam);
    if (TWinControl* source = from != hwnd ? FromHandle(from) : nullptr) {
        // No exception may cross the system's frames: a failure is shown and the program
        // goes on.
        LRESULT result = 0;
        bool handled = true;
        Guard([&] { handled = source->Notify(message, wParam, lParam, result); });
        if (handled)
            return result;
    }
    return self->WindowProc(message, wParam, lParam);
}

LRESULT TWinControl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcW(classProc_, handle_, message, wParam, lParam);
}

bool TWinControl::Notify(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

void TWinControl::NotifyAll(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const std::unique_ptr<TOwned>& owned : owned_) {
        auto* control = dynamic_cast<TWinControl*>(owned.get());
        if (!control)
            continue;
        LRESULT ignored = 0;
        Guard([&] { control->Notify(message, wParam, lParam, ignored); });
        control->NotifyAll(message, wParam, lParam);
    }
}

void TWinControl::SetFont(HFONT font, bool owned) {
    HFONT old = font_;
    bool ownedOld = ownsFont_;
    font_ = font;
    ownsFont_ = owned;
    SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (ownedOld && old != font)
        DeleteObject(old);
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    MoveWindow(handle_, Scale(left), Scale(top), Scale(width), Scale(height), TRUE);
}

bool TWinControl::Visible() const {
    return IsWindowVisible(handle_);
}

void TWinControl::SetVisible(bool value) {
    ShowWindow(handle_, value ? SW_SHOWNA : SW_HIDE);
}

bool TWinControl::Enabled() const {
    return IsWindowEnabled(handle_);
}

void TWinControl::SetEnabled(bool value) {
    EnableWindow(handle_, value);
}

void TWinControl::Repaint() {
    RedrawWindow(handle_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void TWinControl::SendToBack() {
    SetWindowPos(handle_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

std::string TWinControl::Text() const {
    std::wstring text(GetWindowTextLengthW(handle_) + 1, L'\0');
    text.resize(GetWindowTextW(handle_, text.data(), int(text.size())));
    return Narrow(text);
}

void TWinControl::SetText(const std::string& text) {
    SetWindowTextW(handle_, Widen(text).c_str());
}

// ---- TForm ----------------------------------------------------------------------------------

namespace {
constexpr DWORD FormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD FormExStyle = WS_EX_CONTROLPARENT;

const wchar_t* RegisteredFormClass() {
    RegisterFormClass();
    return FormClass;
}
} // namespace

TForm::TForm() : TWinControl(nullptr, RegisteredFormClass(), FormStyle, FormExStyle) {
    SetFont(MakeWindowFont(Dpi()), true);
}

TForm::~TForm() = default;

void TForm::SetClientSize(int width, int height) {
    RECT r{0, 0, Scale(width), Scale(height)};
    AdjustWindowRectEx(&r, FormStyle, FALSE, FormExStyle);
    SetWindowPos(handle_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetTabOrder(std::initializer_list<TWinControl*> chain) {
    tabOrder_.assign(chain.begin(), chain.end());
    for (TWinControl* control : tabOrder_)
        SetWindowLongPtrW(control->Handle(), GWL_STYLE,
                          GetWindowLongPtrW(control->Handle(), GWL_STYLE) | WS_TABSTOP);
}

void TForm::Show() {
    if (!shown_) {
        shown_ = true;
        RECT frame, work;
        GetWindowRect(handle_, &frame);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        int width = frame.right - frame.left, height = frame.bottom - frame.top;
        SetWindowPos(handle_, nullptr, work.left + (work.right - work.left - width) / 2,
                     work.top + (work.bottom - work.top - height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
    }
    ShowWindow(handle_, SW_SHOW);
    UpdateWindow(handle_);
    for (TWinControl* control : tabOrder_)
        if (control->Visible() && control->Enabled()) {
            SetFocus(control->Handle());
            break;
        }
}

void TForm::Close() {
    SendMessageW(handle_, WM_CLOSE, 0, 0);
}

bool TForm::HandleTabKey(const MSG& message) {
    if (message.message != WM_KEYDOWN || message.wParam != VK_TAB || tabOrder_.empty())
        return false;
    if (message.hwnd != handle_ && !IsChild(handle_, message.hwnd))
        return false;
    const int n = int(tabOrder_.size());
    const int step = GetKeyState(VK_SHIFT) < 0 ? n - 1 : 1;
    int at = -1;
    for (int i = 0; i < n; ++i)
        if (tabOrder_[i]->Handle() == message.hwnd || IsChild(tabOrder_[i]->Handle(), message.hwnd))
            at = i;
    int i = at < 0 ? (step == 1 ? n - 1 : 0) : at;
    for (int tries = 0; tries < n; ++tries) {
        i = (i + step) % n;
        if (tabOrder_[i]->Visible() && tabOrder_[i]->Enabled()) {
            SetFocus(tabOrder_[i]->Handle());
            break;
        }
    }
    return true;
}

LRESULT TForm::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        Guard([this] {
            if (OnClose)
                OnClose();
        });
        ShowWindow(handle_, SW_HIDE);
        PostQuitMessage(0);
        return 0;
    }
    return TWinControl::WindowProc(message, wParam, lParam);
}

// ---- TGroupBox ------------------------------------------------------------------------------

TGroupBox::TGroupBox(TWinControl* parent)
    : TWinControl(parent, L"BUTTON", WS_VISIBLE | BS_GROUPBOX | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                  WS_EX_CONTROLPARENT) {}

LRESULT TGroupBox::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND: {
        // The frame alone would leave the tab strip's page showing through.
        RECT r;
        GetClientRect(handle_, &r);
        FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    case WM_NCHITTEST:
        // A group box lets clicks through to what lies below; this one is a panel.
        return HTCLIENT;
    default:
        return TWinControl::WindowProc(message, wParam, lParam);
    }
}

// ---- TButton --------------------------------------------------------------------------------

TButton::TButton(TWinControl* parent)
    : TWinControl(parent, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON) {}

bool TButton::Notify(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return false;
    if (OnClick)
        OnClick();
    result = 0;
    return true;
}

// ---- TTimer ---------------------------------------------------------------------------------

TTimer::TTimer(TWinControl* owner) {
    static UINT_PTR next = 1;
    id_ = next++;
    if (owner)
        owner->owned_.emplace_back(this);
}

TTimer::~TTimer() {
    SetEnabled(false);
}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    if (value) {
        Timers()[id_] = this;
        SetTimer(UtilityWindow(), id_, UINT(interval_), nullptr);
    } else {
        // Also takes away a tick already due.
        KillTimer(UtilityWindow(), id_);
        Timers().erase(id_);
    }
}

void TTimer::SetInterval(int milliseconds) {
    interval_ = milliseconds;
    if (enabled_)
        SetTimer(UtilityWindow(), id_, UINT(interval_), nullptr);
}

// ---- the utility window ---------------------------------------------------------------------

namespace {

std::atomic<HWND> utility{nullptr};
std::atomic<void (*)()> utilityWake{nullptr};

LRESULT CALLBACK UtilityProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        TTimer::Tick(wParam);
        return 0;
    case UtilityWakeMessage:
        if (auto wake = utilityWake.load())
            wake();
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

} // namespace

HWND UtilityWindow() {
    if (HWND hwnd = utility.load())
        return hwnd;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = UtilityProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = UtilityClass;
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, UtilityClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    utility.store(hwnd);
    return hwnd;
}

void SetUtilityWake(void (*onWake)()) {
    utilityWake.store(onWake);
}

void TTimer::Tick(UINT_PTR id) {
    auto it = Timers().find(id);
    if (it == Timers().end() || !it->second->enabled_)
        return;
    TTimer* timer = it->second;
    Guard([timer] {
        if (timer->OnTimer)
            timer->OnTimer();
    });
}

// ---- TLabel ---------------------------------------------------------------------------------

TLabel::TLabel(TWinControl* parent)
    : TWinControl(parent, L"STATIC", WS_VISIBLE | SS_LEFT | SS_NOPREFIX) {}

void TLabel::SetCaption(const std::string& text) {
    SetText(text);
    FitToText();
}

void TLabel::SetAutoSize(bool value) {
    autoSize_ = value;
    FitToText();
}

void TLabel::SetFontColor(int red, int green, int blue) {
    color_ = RGB(red, green, blue);
    InvalidateRect(handle_, nullptr, TRUE);
}

TLabel::~TLabel() {
    if (regular_)
        DeleteObject(regular_);
}

void TLabel::SetFontStyle(int pointSize, bool bold) {
    LOGFONTW face{};
    GetObjectW(Parent() ? Parent()->Font() : Font(), sizeof face, &face);
    if (pointSize > 0)
        face.lfHeight = -MulDiv(pointSize, Dpi(), 72);
    face.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    SetFont(CreateFontIndirectW(&face), true);
    if (regular_)
        DeleteObject(regular_);
    regular_ = nullptr;
    if (bold && IsBitmapFace(Font())) {
        face.lfWeight = FW_NORMAL;
        regular_ = CreateFontIndirectW(&face);
    }
    FitToText();
}

void TLabel::SetCentred() {
    LONG_PTR style = GetWindowLongPtrW(handle_, GWL_STYLE);
    SetWindowLongPtrW(handle_, GWL_STYLE, (style & ~LONG_PTR(SS_TYPEMASK)) | SS_CENTER);
    InvalidateRect(handle_, nullptr, TRUE);
}

SIZE TLabel::TextExtent(const std::string& text) const {
    HDC dc = GetDC(handle_);
    SIZE size = DrawRuns(dc, Widen(text), false);
    ReleaseDC(handle_, dc);
    return size;
}

SIZE TLabel::DrawRuns(HDC dc, const std::wstring& text, bool draw) const {
    SIZE total{0, 0};
    HGDIOBJ old = SelectObject(dc, Font());
    for (size_t start = 0; start < text.size();) {
        const bool regular = regular_ && SmearedInBold(text[start]);
        size_t end = start + 1;
        while (end < text.size() && (regular_ && SmearedInBold(text[end])) == regular)
            ++end;
        SelectObject(dc, regular ? regular_ : Font());
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str() + start, int(end - start), &size);
        if (draw)
            TextOutW(dc, total.cx, 0, text.c_str() + start, int(end - start));
        total.cx += size.cx;
        total.cy = std::max(total.cy, size.cy);
        start = end;
    }
    SelectObject(dc, old);
    return total;
}

LRESULT TLabel::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_PAINT || !regular_)
        return TWinControl::WindowProc(message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(handle_, &paint);
    RECT client;
    GetClientRect(handle_, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    SetTextColor(dc, Enabled() ? color_ : GetSysColor(COLOR_GRAYTEXT));
    SetBkMode(dc, TRANSPARENT);
    DrawRuns(dc, Widen(Text()), true);
    EndPaint(handle_, &paint);
    return 0;
}

void TLabel::FitToText() {
    if (!autoSize_)
        return;
    RECT r;
    GetWindowRect(handle_, &r);
    // An empty label keeps a sliver of width, as a framework label does.
    int width = std::max<int>(TextExtent(Text()).cx, 1);
    SetWindowPos(handle_, nullptr, 0, 0, width, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(handle_, nullptr, TRUE);
}

bool TLabel::Notify(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    if (message != WM_CTLCOLORSTATIC)
        return false;
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, color_);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    return true;
}

// ---- TTabControl ----------------------------------------------------------------------------

TTabControl::TTabControl(TWinControl* parent)
    : TWinControl(parent, WC_TABCONTROLW, WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS) {
    SendMessageW(handle_, TCM_SETPADDING, 0, MAKELPARAM(Scale(TabPaddingMinX), Scale(TabPaddingY)));
}

void TTabControl::AddTab(const std::string& caption) {
    std::wstring text = Widen(caption);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    SendMessageW(handle_, TCM_INSERTITEMW, Count(), reinterpret_cast<LPARAM>(&item));
    FitTabs();
}

void TTabControl::FitTabs() {
    RECT client;
    GetClientRect(handle_, &client);
    // The selected tab is drawn a little wider than its place.
    const int room = client.right - Scale(2);
    for (int padding = TabPaddingMaxX; padding >= TabPaddingMinX; --padding) {
        SendMessageW(handle_, TCM_SETPADDING, 0, MAKELPARAM(Scale(padding), Scale(TabPaddingY)));
        // The control lays its tabs out again when its font is set.
        SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Font()), FALSE);
        RECT last{};
        SendMessageW(handle_, TCM_GETITEMRECT, Count() - 1, reinterpret_cast<LPARAM>(&last));
        if (last.right <= room)
            return;
    }
}

int TTabControl::Count() const {
    return int(SendMessageW(handle_, TCM_GETITEMCOUNT, 0, 0));
}

int TTabControl::TabIndex() const {
    return int(SendMessageW(handle_, TCM_GETCURSEL, 0, 0));
}

void TTabControl::SetTabIndex(int index) {
    SendMessageW(handle_, TCM_SETCURSEL, index, 0);
}

bool TTabControl::Notify(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
    if (message != WM_NOTIFY || reinterpret_cast<NMHDR*>(lParam)->code != UINT(TCN_SELCHANGE))
        return false;
    if (OnChange)
        OnChange();
    result = 0;
    return true;
}

// ---- TProgressBar ---------------------------------------------------------------------------

TProgressBar::TProgressBar(TWinControl* parent) : TWinControl(parent, PROGRESS_CLASSW, WS_VISIBLE) {
    SendMessageW(handle_, PBM_SETRANGE32, 0, max_);
    SendMessageW(handle_, PBM_SETPOS, 0, 0);
}

void TProgressBar::SetPosition(int value) {
    position_ = std::clamp(value, 0, max_);
    SendMessageW(handle_, PBM_SETPOS, position_, 0);
}

void TProgressBar::SetMax(int value) {
    max_ = std::max(value, 0);
    SendMessageW(handle_, PBM_SETRANGE32, 0, max_);
    SetPosition(position_);
}

void TProgressBar::StepIt() {
    int next = position_ + step_;
    if (next > max_)
        next = next - max_;
    SetPosition(next);
}

// ---- TMemo ----------------------------------------------------------------------------------

TMemo::TMemo(TWinControl* parent)
    : TWinControl(parent, L"EDIT",
                  WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                      ES_AUTOVSCROLL,
                  WS_EX_CLIENTEDGE) {}

void TMemo::SetLines(const char* const* lines, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            all += "\r\n";
        all += lines[i];
    }
    SetText(all);
}

std::vector<std::string> TMemo::Lines() const {
    std::vector<std::string> lines;
    const std::string text = Text();
    std::string::size_type start = 0;
    for (;;) {
        auto end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 2;
    }
}

int TMemo::LineCount() const {
    return int(Lines().size());
}

std::string TMemo::Line(int index) const {
    std::vector<std::string> lines = Lines();
    return index >= 0 && index < int(lines.size()) ? lines[index] : std::string();
}

bool TMemo::Notify(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    // Read-only, but a text to read: the window's colours, not the panel's.
    if (message != WM_CTLCOLORSTATIC)
        return false;
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    return true;
}
