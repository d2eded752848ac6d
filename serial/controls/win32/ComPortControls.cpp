#include "serial/controls/win32/ComPortControls.h"

#include <algorithm>

// ---- TComComboBox ---------------------------------------------------------------------------

class TComComboBox::Items : public TStrings {
public:
    explicit Items(HWND box) : box_(box) {}
    void Clear() override { SendMessageW(box_, CB_RESETCONTENT, 0, 0); }
    void Add(const std::string& text) override {
        SendMessageW(box_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
    }
    int Count() const override { return int(SendMessageW(box_, CB_GETCOUNT, 0, 0)); }
    std::string Strings(int index) const override {
        LRESULT length = SendMessageW(box_, CB_GETLBTEXTLEN, index, 0);
        if (length == CB_ERR)
            return {};
        std::wstring text(length + 1, L'\0');
        text.resize(SendMessageW(box_, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data())));
        return Narrow(text);
    }

private:
    HWND box_;
};

TComComboBox::TComComboBox(TWinControl* parent)
    : TWinControl(parent, L"COMBOBOX", WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST) {
    SetEntries(std::make_unique<Items>(handle_));
}

TComComboBox::~TComComboBox() = default;

void TComComboBox::SetBounds(int left, int top, int width, int height) {
    // The window's height includes the dropped-down list; the closed box's height is its
    // selection field's plus the frame.
    const int itemHeight = int(SendMessageW(handle_, CB_GETITEMHEIGHT, 0, 0));
    MoveWindow(handle_, Scale(left), Scale(top), Scale(width), Scale(height) + 8 * itemHeight + 2,
               TRUE);
    for (int tries = 0; tries < 3; ++tries) {
        RECT closed;
        GetWindowRect(handle_, &closed);
        const int difference = Scale(height) - (closed.bottom - closed.top);
        if (difference == 0)
            break;
        const int field = int(SendMessageW(handle_, CB_GETITEMHEIGHT, WPARAM(-1), 0));
        SendMessageW(handle_, CB_SETITEMHEIGHT, WPARAM(-1), field + difference);
    }
}

int TComComboBox::Count() const {
    return Entries().Count();
}

int TComComboBox::CurrentIndex() const {
    return int(SendMessageW(handle_, CB_GETCURSEL, 0, 0));
}

void TComComboBox::SetCurrentIndex(int index) {
    SendMessageW(handle_, CB_SETCURSEL, WPARAM(index), 0);
}

void TComComboBox::SetItemHeight(int height) {
    SendMessageW(handle_, CB_SETITEMHEIGHT, 0, Scale(height));
    if (Loading())
        SetCurrentIndex(Marked());
}

bool TComComboBox::Notify(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    if (message == WM_DEVICECHANGE)
        return DeviceChanged(wParam);
    if (message != WM_COMMAND)
        return false;
    switch (HIWORD(wParam)) {
    case CBN_DROPDOWN:
        if (ComProperty() == cpPort && !Loading())
            ListPortsAgain();
        break;
    case CBN_SELCHANGE:
        Change();
        break;
    default:
        return false;
    }
    result = 0;
    return true;
}

bool TComComboBox::DeviceChanged(WPARAM event) {
    // An adapter plugged in or pulled out: its driver has entered or removed its port.
    constexpr WPARAM DevNodesChanged = 0x0007, Arrival = 0x8000, RemoveComplete = 0x8004;
    if (event != DevNodesChanged && event != Arrival && event != RemoveComplete)
        return false;
    if (ComProperty() == cpPort && !Loading())
        ListPortsAgain();
    return false;
}

// ---- TComLed --------------------------------------------------------------------------------

namespace {

const BITMAPINFOHEADER* Header(const TLedGlyph& glyph) {
    return glyph.Dib.size() >= sizeof(BITMAPINFOHEADER)
               ? reinterpret_cast<const BITMAPINFOHEADER*>(glyph.Dib.data())
               : nullptr;
}

} // namespace

int TLedGlyph::Width() const {
    const BITMAPINFOHEADER* h = Header(*this);
    return h ? int(h->biWidth) : 0;
}

int TLedGlyph::Height() const {
    const BITMAPINFOHEADER* h = Header(*this);
    return h ? std::abs(int(h->biHeight)) : 0;
}

TLedGlyph LoadLedGlyph(const char* name) {
    if (!name)
        return {};
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceA(module, name, MAKEINTRESOURCEA(10)); // RT_RCDATA
    HGLOBAL data = found ? LoadResource(module, found) : nullptr;
    const auto* bytes = data ? static_cast<const uint8_t*>(LockResource(data)) : nullptr;
    if (!bytes)
        return {};
    TLedGlyph glyph{std::vector<uint8_t>(bytes, bytes + SizeofResource(module, found))};
    const BITMAPINFOHEADER* h = Header(glyph);
    if (!h || h->biSize < sizeof(BITMAPINFOHEADER) || h->biWidth <= 0 || h->biBitCount == 0)
        return {};
    return glyph;
}

TComLed::TComLed(TWinControl* parent)
    : TWinControl(parent, L"STATIC", WS_VISIBLE | SS_OWNERDRAW), ringTimer_(new TTimer(this)) {
    ringTimer_->SetInterval(1000);
    ringTimer_->OnTimer = [this] { DoTimer(); };
}

TComLed::~TComLed() {
    Detach();
}

void TComLed::SelectLedBitmap() {
    if (Kind() == lkCustom)
        return;
    glyphOn_ = LoadLedGlyph(LedGlyphName(Kind(), true));
    glyphOff_ = LoadLedGlyph(LedGlyphName(Kind(), false));
}

POINT TComLed::CalcBitmapPos() const {
    const TLedGlyph& glyph = State() == lsOn ? glyphOn_ : glyphOff_;
    RECT client;
    GetClientRect(handle_, &client);
    int width = Scale(glyph.Width()), height = Scale(glyph.Height());
    return {client.left + std::max<int>(0, (client.right - client.left - width) / 2),
            client.top + std::max<int>(0, (client.bottom - client.top - height) / 2)};
}

const TLedGlyph& TComLed::BitmapToDraw() const {
    if (!Enabled())
        return glyphOff_;
    return State() == lsOn ? glyphOn_ : glyphOff_;
}

void TComLed::Draw(HDC dc, const RECT& area) const {
    FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
    const TLedGlyph& glyph = BitmapToDraw();
    if (glyph.Empty())
        return;
    const auto* info = reinterpret_cast<const BITMAPINFO*>(glyph.Dib.data());
    const BITMAPINFOHEADER& h = info->bmiHeader;
    const int colours =
        h.biClrUsed ? int(h.biClrUsed) : (h.biBitCount <= 8 ? 1 << h.biBitCount : 0);
    const uint8_t* bits = glyph.Dib.data() + h.biSize + colours * sizeof(RGBQUAD);
    HBITMAP bitmap = CreateDIBitmap(dc, &h, CBM_INIT, bits, info, DIB_RGB_COLORS);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, bitmap);
    const int w = glyph.Width(), hgt = glyph.Height();
    POINT at = CalcBitmapPos();
    // The bottom-left pixel's colour is the glyph's background.
    TransparentBlt(dc, at.x, at.y, Scale(w), Scale(hgt), memory, 0, 0, w, hgt,
                   GetPixel(memory, 0, hgt - 1));
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
}

bool TComLed::Notify(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
    if (message != WM_DRAWITEM)
        return false;
    if (glyphOn_.Empty() || glyphOff_.Empty())
        SelectLedBitmap();
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    Draw(item->hDC, item->rcItem);
    result = TRUE;
    return true;
}
