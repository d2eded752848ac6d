// The main window on native Win32 controls under Wine, driven the way a user drives it:
// messages to the controls, texts read back from them, message boxes found by their caption and
// closed. The boards are quorvel-boardsim on pseudo-terminals that window-under-wine.sh maps
// as COM21 (a plain board), COM22 (one that stops answering), COM23 (one on a real-speed
// line) and COM24 (its line goes away mid-transfer); COM29 is a port without a device behind
// it. A fifth board stands behind ser2net on the loopback, at the URL in QUORVEL_NET_BENCH.
#include "framework/Exception.h"
#include "framework/win32/Application.h"
#include "tests/support/LastLine.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/OpenFailure.h"
#include "updater/ReplyParser.h"
#include "updater/Unit1.h"
#include "updater/UpdateLog.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr char Title[] = "Atualizador Quorvel";
const std::vector<std::string> BoardPorts = {"COM21", "COM22", "COM23", "COM24"};
constexpr wchar_t SerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The ports as the system lists them, as an adapter's driver would enter them.
void ListPorts(const std::vector<std::string>& ports, bool listed) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    for (const std::string& port : ports) {
        std::wstring name = L"\\Device\\QuorvelTest" + Widen(port);
        std::wstring value = Widen(port);
        if (listed)
            RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(value.c_str()),
                           DWORD((value.size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key, name.c_str());
    }
    RegCloseKey(key);
}

// The port list's key as it is now, put back when this goes.
class SavedPortKey {
public:
    SavedPortKey() {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return;
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];
            BYTE data[512];
            DWORD nameSize = 256, dataSize = sizeof data, type = 0;
            if (RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data, &dataSize) !=
                ERROR_SUCCESS)
                break;
            values_.push_back({name, type, std::vector<BYTE>(data, data + dataSize)});
        }
        RegCloseKey(key);
    }
    ~SavedPortKey() {
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        for (const Value& v : values_)
            RegSetValueExW(key, v.Name.c_str(), 0, v.Type, v.Data.data(), DWORD(v.Data.size()));
        RegCloseKey(key);
    }
    // No key at all, as on a PC without serial ports.
    static void Remove() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, SerialComm); }
    // The key with no value in it.
    static void Empty() {
        Remove();
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
            RegCloseKey(key);
    }

private:
    struct Value {
        std::wstring Name;
        DWORD Type;
        std::vector<BYTE> Data;
    };
    std::vector<Value> values_;
};

// The user's file of named network ports, written for a test and removed after it.
class UserPortsConf {
public:
    explicit UserPortsConf(const std::string& lines) {
        const char* appData = std::getenv("APPDATA");
        path_ = std::filesystem::path(appData ? appData : ".") / "Quorvel" / "ports.conf";
        std::filesystem::create_directories(path_.parent_path());
        std::ofstream(path_) << lines;
    }
    ~UserPortsConf() { std::filesystem::remove(path_); }

private:
    std::filesystem::path path_;
};

std::vector<std::string> ComboItems(HWND box) {
    std::vector<std::string> items;
    const int count = int(SendMessageW(box, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256];
        const int n = int(SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text)));
        items.push_back(Narrow(std::wstring(text, n > 0 ? n : 0)));
    }
    return items;
}

bool WaitFor(const std::function<bool()>& done, DWORD milliseconds = 20000) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        ProcessMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

struct SeenBox {
    std::string Text;
    bool Icon = false;
    int Buttons = 0;
    bool Centred = false;
    bool OwnerDisabled = false;
    // What every box of the program must be.
    std::string Shape() const {
        return std::string(Icon ? "icon" : "no icon") + ", " + std::to_string(Buttons) +
               " button(s), " + (Centred ? "centred" : "not centred") + ", " +
               (OwnerDisabled ? "modal" : "not modal");
    }
};
constexpr char BoxShape[] = "no icon, 1 button(s), centred, modal";

// Closes every box captioned with the program's title, from the modal box's own loop, after
// noting what it showed.
class BoxCloser {
public:
    explicit BoxCloser(HWND owner) : owner_(owner) {
        timer_.SetInterval(50);
        timer_.OnTimer = [this] { Look(); };
        timer_.SetEnabled(true);
    }
    const std::vector<SeenBox>& Seen() const { return seen_; }

private:
    void Look() {
        HWND box = FindWindowW(L"#32770", Widen(Title).c_str());
        if (!box || !IsWindowVisible(box))
            return;
        SeenBox seen;
        seen.OwnerDisabled = !IsWindowEnabled(owner_);
        for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            wchar_t cls[32];
            GetClassNameW(c, cls, 32);
            if (!IsWindowVisible(c))
                continue;
            if (lstrcmpiW(cls, L"Button") == 0)
                ++seen.Buttons;
            else if ((GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                seen.Icon = seen.Icon || SendMessageW(c, STM_GETICON, 0, 0) != 0;
            else if (std::string text = Text(c); text.size() > seen.Text.size())
                seen.Text = text;
        }
        RECT frame, work;
        GetWindowRect(box, &frame);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        seen.Centred = std::abs((frame.left + frame.right) - (work.left + work.right)) <= 2 &&
                       std::abs((frame.top + frame.bottom) - (work.top + work.bottom)) <= 2;
        seen_.push_back(seen);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    static std::string Text(HWND w) {
        wchar_t text[512];
        int n = GetWindowTextW(w, text, 512);
        return Narrow(std::wstring(text, n));
    }

    HWND owner_;
    TTimer timer_;
    std::vector<SeenBox> seen_;
};

struct Place {
    TWinControl* Control;
    RECT Want; // left, top, width, height at 96 dpi
    bool Sized;
};

std::vector<Place> Places(TForm1& f) {
    return {
        {f.TabControl1, {5, 5, 291, 186}, false},   {f.GroupBox1, {10, 30, 281, 156}, false},
        {f.Memo1, {10, 35, 281, 151}, false},       {f.Memo2, {10, 35, 281, 151}, false},
        {f.GrupoSerial, {10, 30, 281, 156}, false}, {f.ComComboBox1, {90, 65, 61, 21}, false},
        {f.ComLed1, {157, 64, 25, 25}, false},      {f.BtSerial, {90, 90, 96, 21}, false},
        {f.Label6, {45, 135, 194, 13}, false},      {f.BtConecta, {25, 20, 86, 21}, false},
        {f.LbStatus, {135, 33, 136, 13}, false},    {f.BtInicia, {70, 100, 151, 21}, false},
        {f.BarraSts, {10, 130, 261, 17}, false},    {f.Label8, {35, 20, 207, 13}, true},
        {f.Label7, {80, 45, 113, 13}, true},        {f.Label1, {160, 15, 45, 16}, true},
        {f.LbPlaca, {215, 15, 4, 16}, true},        {f.Label2, {10, 60, 76, 13}, true},
        {f.LbVersao1, {95, 60, 49, 13}, true},      {f.Label5, {160, 60, 56, 13}, true},
        {f.LbSerial, {225, 60, 30, 13}, true},      {f.Label3, {10, 80, 77, 13}, true},
        {f.LbVersao2, {95, 80, 49, 13}, true},      {f.Label4, {160, 80, 58, 13}, true},
        {f.LbBlocos, {225, 80, 15, 13}, true},
    };
}

RECT InParent(const TWinControl* control) {
    RECT r;
    GetWindowRect(control->Handle(), &r);
    MapWindowPoints(nullptr, GetParent(control->Handle()), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

class WinWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Controller = ControllerState{};
        Parser = ReplyParserState{};
        ResetHeaderKey();
        form_ = std::make_unique<TForm1>();
        form_->Show();
        closer_ = std::make_unique<BoxCloser>(form_->Handle());
    }
    void TearDown() override {
        closer_.reset();
        form_.reset();
        ProcessMessages();
    }

    static void Click(TButton* button) {
        ASSERT_TRUE(button->Visible() && button->Enabled()) << button->Caption();
        SendMessageW(button->Handle(), BM_CLICK, 0, 0);
    }
    // The user opens the list (which reads the ports again) and picks `name`.
    void PickPort(const std::string& name) {
        HWND box = form_->ComComboBox1->Handle();
        SendMessageW(box, CB_SHOWDROPDOWN, TRUE, 0);
        int index = int(SendMessageW(box, CB_FINDSTRINGEXACT, WPARAM(-1),
                                     reinterpret_cast<LPARAM>(Widen(name).c_str())));
        ASSERT_GE(index, 0) << name << " is not listed";
        SendMessageW(box, CB_SETCURSEL, index, 0);
        SendMessageW(box, CB_SHOWDROPDOWN, FALSE, 0);
        SendMessageW(GetParent(box), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(box), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(box));
        ASSERT_EQ(form_->ComComboBox1->Text(), name);
    }
    void PickTab(int index) {
        HWND tab = form_->TabControl1->Handle();
        SendMessageW(tab, TCM_SETCURSEL, index, 0);
        NMHDR note{tab, UINT_PTR(GetDlgCtrlID(tab)), UINT(TCN_SELCHANGE)};
        SendMessageW(GetParent(tab), WM_NOTIFY, note.idFrom, reinterpret_cast<LPARAM>(&note));
    }
    int Progress() const { return int(SendMessageW(form_->BarraSts->Handle(), PBM_GETPOS, 0, 0)); }
    void Open(const std::string& port) {
        PickPort(port);
        Click(form_->BtSerial);
        ASSERT_EQ(form_->BtSerial->Caption(), "Fechar");
        PickTab(1);
        Click(form_->BtConecta);
        ASSERT_TRUE(WaitFor([&] { return form_->LbStatus->Caption() == "Comunicação  OK"; }));
    }

    std::unique_ptr<TForm1> form_;
    std::unique_ptr<BoxCloser> closer_;
};

TEST_F(WinWindowTest, LayoutAt96DpiAndEveryTextInsideItsBox) {
    TForm1& f = *form_;
    ASSERT_EQ(f.Dpi(), 96) << "the layout is described at 96 dpi";
    wchar_t face[64] = L"";
    HDC dc = GetDC(f.Handle());
    HGDIOBJ old = SelectObject(dc, f.Font());
    GetTextFaceW(dc, 64, face);
    SelectObject(dc, old);
    ReleaseDC(f.Handle(), dc);
    EXPECT_EQ(Narrow(face), "MS Sans Serif") << "Debian: fonts-wine";
    EXPECT_EQ(f.Caption(), Title);
    RECT client;
    GetClientRect(f.Handle(), &client);
    EXPECT_EQ(client.right, 299);
    EXPECT_EQ(client.bottom, 194);
    LONG style = GetWindowLongW(f.Handle(), GWL_STYLE);
    EXPECT_TRUE((style & WS_MINIMIZEBOX) && !(style & WS_MAXIMIZEBOX) && !(style & WS_THICKFRAME));

    // Rectangles in the parent's client area; a label that sizes itself keeps left, top and
    // height, and its width is its text's.
    for (const Place& p : Places(f)) {
        RECT r = InParent(p.Control);
        const std::string name = p.Control->Text();
        EXPECT_EQ(r.left, p.Want.left) << name;
        EXPECT_EQ(r.top, p.Want.top) << name;
        EXPECT_EQ(r.bottom - r.top, p.Want.bottom) << name;
        if (!p.Sized) {
            EXPECT_EQ(r.right - r.left, p.Want.right) << name;
            continue;
        }
        // The text shown after start-up stays inside its panel.
        auto* label = static_cast<TLabel*>(p.Control);
        EXPECT_EQ(r.right - r.left, std::max<int>(label->TextExtent(name).cx, 1)) << name;
        EXPECT_LE(r.right, 281) << name;
    }
    // The layout's own texts fit the widths they were laid out with.
    const struct {
        TLabel* Label;
        const char* Text;
        int Width;
    } layout[] = {
        {f.Label8, "SIMULADOR DE BOMBAS QUORVEL", 207},
        {f.Label7, "Selecione a porta serial:", 113},
        {f.Label1, "Placa:", 45},
        {f.LbPlaca, "-", 4},
        {f.Label2, "Versão atual:", 76},
        {f.LbVersao1, "V1.1 M1.1", 49},
        {f.Label5, "Nº  Série:", 56},
        {f.LbSerial, "xxxxxx", 30},
        {f.Label3, "Nova versão:", 77},
        {f.LbVersao2, "V1.1 M1.1", 49},
        {f.Label4, "Registros:", 58},
        {f.LbBlocos, "xxx", 15},
        {f.Label6, "Quorvel", 194},
        {f.LbStatus, "------------", 136},
    };
    for (const auto& l : layout)
        EXPECT_LE(l.Label->TextExtent(l.Text).cx, l.Width) << l.Text;
    for (const char* status : {"Comunicação  OK", "SEM RESPOSTA", "Atualizando  999/999"})
        EXPECT_LE(f.LbStatus->TextExtent(status).cx, 136) << status;

    // Captions inside their buttons and tabs, the longest text lines inside the memos.
    auto extent = [](HWND w, const std::string& text) {
        HDC dc = GetDC(w);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)));
        SIZE size{};
        std::wstring wide = Widen(text);
        GetTextExtentPoint32W(dc, wide.c_str(), int(wide.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(w, dc);
        return int(size.cx);
    };
    for (TButton* b : {f.BtSerial, f.BtConecta, f.BtInicia})
        EXPECT_LE(extent(b->Handle(), b->Caption()) + 8, 96) << b->Caption();
    EXPECT_LE(extent(f.BtSerial->Handle(), "Fechar") + 8, 96);
    ASSERT_EQ(f.TabControl1->Count(), 4);
    RECT last;
    SendMessageW(f.TabControl1->Handle(), TCM_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&last));
    EXPECT_LE(last.right, 291) << "every tab fits in the strip";
    // The captions are padded as wide as the strip allows: one pixel more on each side of
    // every tab would not fit.
    EXPECT_GT(last.right + 2 * 4, 291 - 2) << "the strip's end stays unused";
    EXPECT_EQ(SendMessageW(f.TabControl1->Handle(), TCM_GETROWCOUNT, 0, 0), 1);
    // A line longer than the text box goes on in the next row, never out of sight.
    for (TMemo* memo : {f.Memo1, f.Memo2})
        EXPECT_FALSE(GetWindowLongW(memo->Handle(), GWL_STYLE) & (ES_AUTOHSCROLL | WS_HSCROLL));
    // The lamp's glyphs come from the program's resources.
    EXPECT_EQ(f.ComLed1->BitmapToDraw().Width(), 15);
    EXPECT_EQ(f.ComLed1->BitmapToDraw().Height(), 15);
    EXPECT_EQ(f.ComLed1->CalcBitmapPos().x, 5);
    EXPECT_EQ(f.Memo1->LineCount(), 99);
    EXPECT_EQ(f.Memo2->LineCount(), 56);
    EXPECT_EQ(f.Memo2->Line(0), "Procedimento para atualização:");
}

// The bitmap face's emboldening fills small closed glyphs in: "º" of "Nº  Série:" would be a
// block. Its pixels must keep the hole of the ring.
TEST_F(WinWindowTest, TheOrdinalInTheBoldLabelKeepsItsShape) {
    TForm1& f = *form_;
    PickTab(1);
    UpdateWindow(f.Handle());
    ProcessMessages();
    HWND label = f.Label5->Handle();
    RedrawWindow(label, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const int left = f.Label5->TextExtent("N").cx, width = f.Label5->TextExtent("º").cx;
    RECT client;
    GetClientRect(label, &client);
    HDC dc = GetDC(label);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    auto ink = [&](int x, int y) { return GetPixel(dc, x, y) != face; };
    // A background pixel with ink on all four sides within the glyph's cell: inside the ring.
    auto inkAlong = [&](int x, int y, int dx, int dy) {
        for (x += dx, y += dy; x >= left && x < left + width && y >= 0 && y < client.bottom;
             x += dx, y += dy)
            if (ink(x, y))
                return true;
        return false;
    };
    bool hole = false, inked = false;
    for (int x = left; x < left + width; ++x)
        for (int y = 0; y < client.bottom; ++y) {
            inked = inked || ink(x, y);
            hole = hole || (!ink(x, y) && inkAlong(x, y, -1, 0) && inkAlong(x, y, 1, 0) &&
                            inkAlong(x, y, 0, -1) && inkAlong(x, y, 0, 1));
        }
    ReleaseDC(label, dc);
    EXPECT_TRUE(inked) << "nothing drawn where \"º\" goes";
    EXPECT_TRUE(hole) << "\"º\" is drawn as a block";
}

// Run with the screen at another dpi (window-under-wine.sh does so at 144): the window and
// every place grow with it instead of being stretched by the system.
TEST_F(WinWindowTest, EveryPlaceScalesWithTheScreen) {
    TForm1& f = *form_;
    const int dpi = f.Dpi();
    if (dpi == 96)
        GTEST_SKIP() << "the screen is at 96 dpi";
    auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    RECT client;
    GetClientRect(f.Handle(), &client);
    EXPECT_EQ(client.right, scaled(299));
    EXPECT_EQ(client.bottom, scaled(194));
    for (const Place& p : Places(f)) {
        RECT r = InParent(p.Control);
        EXPECT_EQ(r.left, scaled(p.Want.left)) << p.Control->Text();
        EXPECT_EQ(r.top, scaled(p.Want.top)) << p.Control->Text();
        // The closed drop-down is as high as its larger font needs, give or take a pixel.
        EXPECT_NEAR(r.bottom - r.top, scaled(p.Want.bottom), p.Control == f.ComComboBox1 ? 2 : 0)
            << p.Control->Text();
        if (!p.Sized) {
            EXPECT_EQ(r.right - r.left, scaled(p.Want.right)) << p.Control->Text();
        }
    }
}

// Tab goes through the shown controls in the layout's order, round and round.
TEST_F(WinWindowTest, TheTabKeyFollowsTheTabOrder) {
    SetFocus(form_->ComComboBox1->Handle());
    for (TWinControl* next : {(TWinControl*)form_->BtSerial, (TWinControl*)form_->TabControl1,
                              (TWinControl*)form_->ComComboBox1}) {
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
        ProcessMessages();
        EXPECT_EQ(GetFocus(), next->Handle()) << next->Text();
    }
}

TEST_F(WinWindowTest, EachTabShowsExactlyItsPanel) {
    TWinControl* panels[] = {form_->GrupoSerial, form_->GroupBox1, form_->Memo1, form_->Memo2};
    // Every panel lies over the tab strip, or the strip paints over its frame.
    for (TWinControl* panel : panels) {
        HWND below = panel->Handle();
        while (below && below != form_->TabControl1->Handle())
            below = GetWindow(below, GW_HWNDNEXT);
        EXPECT_TRUE(below) << panel->Text();
    }
    for (int tab : {1, 2, 3, 0}) {
        PickTab(tab);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(panels[i]->Visible(), i == tab) << "tab " << tab << " panel " << i;
    }
}

// A port that cannot be opened: the box names it and the window stays closed. The port is
// plugged in after start-up: the list shows it once it drops down again.
TEST_F(WinWindowTest, AFailedOpenShowsItsBoxAndChangesNothing) {
    ListPorts({"COM29"}, true);
    PickPort("COM29");
    ListPorts({"COM29"}, false);
    Click(form_->BtSerial);
    ASSERT_EQ(closer_->Seen().size(), 1u);
    const SeenBox& box = closer_->Seen()[0];
    EXPECT_EQ(box.Text.substr(0, box.Text.find('\n')), "Erro ao abrir porta COM29!");
    EXPECT_EQ(box.Shape(), BoxShape);
    EXPECT_EQ(form_->BtSerial->Caption(), "Abrir");
    EXPECT_TRUE(form_->ComComboBox1->Enabled());
    EXPECT_FALSE(form_->BtConecta->Enabled());
    EXPECT_EQ(form_->ComLed1->State(), lsOff);
}

// A failure that leaves a handler never crosses the system's frames: the standard exception
// box shows it, with its error icon, and the window goes on.
TEST_F(WinWindowTest, AFailureInAHandlerShowsTheExceptionBox) {
    form_->BtSerial->OnClick = [] { throw Exception("Falhou a porta"); };
    Click(form_->BtSerial);
    ASSERT_EQ(closer_->Seen().size(), 1u);
    EXPECT_EQ(closer_->Seen()[0].Text, "Falhou a porta");
    EXPECT_EQ(closer_->Seen()[0].Shape(), "icon, 1 button(s), centred, modal");
    EXPECT_TRUE(form_->BtSerial->Enabled());
}

TEST_F(WinWindowTest, AWholeUpdateEndsWithItsBox) {
    TForm1& f = *form_;
    PickPort("COM21");
    Click(f.BtSerial);
    EXPECT_EQ(f.ComLed1->State(), lsOn);
    EXPECT_FALSE(f.ComComboBox1->Enabled());
    PickTab(1);
    Click(f.BtConecta);
    ASSERT_TRUE(WaitFor([&] { return f.LbStatus->Caption() == "Comunicação  OK"; }));
    EXPECT_EQ(f.LbPlaca->Caption(), "KX27");
    EXPECT_EQ(f.LbVersao1->Caption(), "V4.4 M1.0");
    EXPECT_EQ(f.LbSerial->Caption(), "A10342");
    Click(f.BtInicia);
    EXPECT_EQ(f.LbStatus->Caption().rfind("Atualizando  ", 0), 0u);
    EXPECT_EQ(f.LbStatus->FontColor(), RGB(0, 128, 0));
    ASSERT_TRUE(WaitFor([&] { return !closer_->Seen().empty(); }, 120000));
    const SeenBox& box = closer_->Seen()[0];
    EXPECT_EQ(box.Text, "Atualização concluída. Desligue a placa e ligue novamente.");
    EXPECT_EQ(box.Shape(), BoxShape);
    EXPECT_EQ(f.LbStatus->Caption(), "");

    // The board is still on: the port is open until the technician closes it.
    PickTab(0);
    ASSERT_TRUE(f.ComPort1->Connected());
    ASSERT_EQ(f.BtSerial->Caption(), "Fechar");
    Click(f.BtSerial);
    EXPECT_EQ(f.BtSerial->Caption(), "Abrir");
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_EQ(Progress(), 0);
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_EQ(closer_->Seen().size(), 1u) << closer_->Seen().back().Text;
}

// A network port named in the user's file: listed by its name after every local port, and a
// whole update through it (the script checks the board's image).
TEST_F(WinWindowTest, ANamedNetworkPortFollowsTheLocalOnesAndUpdatesItsBoard) {
    const char* url = std::getenv("QUORVEL_NET_BENCH");
    ASSERT_TRUE(url && *url) << "QUORVEL_NET_BENCH names no ser2net port";
    UserPortsConf conf(std::string("Bancada Wine = ") + url + "\r\n");
    TForm1& f = *form_;
    Open("Bancada Wine");
    const std::vector<std::string> items = ComboItems(f.ComComboBox1->Handle());
    ASSERT_GT(items.size(), BoardPorts.size());
    EXPECT_EQ(items.back(), "Bancada Wine");
    for (size_t i = 0; i + 1 < items.size(); ++i)
        EXPECT_EQ(items[i].rfind("COM", 0), 0u) << items[i];
    Click(f.BtInicia);
    ASSERT_TRUE(WaitFor([&] { return !closer_->Seen().empty(); }, 120000));
    EXPECT_EQ(closer_->Seen()[0].Text,
              "Atualização concluída. Desligue a placa e ligue novamente.");
    PickTab(0);
    Click(f.BtSerial);
    EXPECT_FALSE(f.ComPort1->Connected());
}

TEST_F(WinWindowTest, ABoardThatStopsAnsweringIsGivenUpWithItsBox) {
    Open("COM22");
    Click(form_->BtInicia);
    ASSERT_TRUE(WaitFor([&] { return !closer_->Seen().empty(); }, 60000));
    EXPECT_EQ(closer_->Seen()[0].Text, "Sem resposta. Para tentar novamente, ligue a placa com\na "
                                       "tecla 'Dígito' pressionada e clique no botão 'Conectar'.");
    EXPECT_EQ(form_->LbStatus->Caption(), "SEM RESPOSTA");
    EXPECT_EQ(form_->LbStatus->FontColor(), RGB(255, 0, 0));
}

// A PC with no serial port (the key missing, or empty): the window comes up with an empty
// list and "Abrir" off; an adapter plugged in later shows up when the system says so.
TEST_F(WinWindowTest, WithNoSerialPortTheWindowWaitsForOne) {
    SavedPortKey saved;
    const struct {
        const char* Case;
        void (*Make)();
    } cases[] = {{"no key", SavedPortKey::Remove}, {"empty key", SavedPortKey::Empty}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        closer_.reset();
        form_.reset();
        c.Make();
        form_ = std::make_unique<TForm1>();
        form_->Show();
        closer_ = std::make_unique<BoxCloser>(form_->Handle());
        TForm1& f = *form_;
        EXPECT_EQ(f.ComComboBox1->Count(), 0);
        EXPECT_EQ(f.ComComboBox1->Text(), "");
        EXPECT_FALSE(f.BtSerial->Enabled());
        f.BtSerialClick(&f); // even called directly, nothing is opened
        EXPECT_FALSE(f.ComPort1->Connected());

        ListPorts({"COM21"}, true);
        SendMessageW(f.Handle(), WM_DEVICECHANGE, 0x8000 /* DBT_DEVICEARRIVAL */, 0);
        EXPECT_EQ(f.ComComboBox1->Text(), "COM21");
        EXPECT_TRUE(f.BtSerial->Enabled());
        ListPorts({"COM21"}, false);
        SendMessageW(f.Handle(), WM_DEVICECHANGE, 0x8004 /* DBT_DEVICEREMOVECOMPLETE */, 0);
        EXPECT_EQ(f.ComComboBox1->Text(), "");
        EXPECT_FALSE(f.BtSerial->Enabled());
        WaitFor([] { return false; }, 300);
        EXPECT_TRUE(closer_->Seen().empty());
    }
}

// The board's line goes away mid-transfer: one box that says the adapter was disconnected
// (Wine's error 21), the transfer ended as a port error and the port closed behind it, and no
// give-up box after it.
TEST_F(WinWindowTest, AnAdapterPulledOutMidTransferEndsWithOneBox) {
    TForm1& f = *form_;
    Open("COM24");
    Click(f.BtInicia);
    ASSERT_TRUE(WaitFor([&] { return !closer_->Seen().empty(); }, 60000));
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_EQ(f.BtSerial->Caption(), "Abrir");
    EXPECT_TRUE(f.BtSerial->Enabled());
    EXPECT_TRUE(f.ComComboBox1->Enabled());
    EXPECT_FALSE(f.Timeout->Enabled());
    EXPECT_FALSE(Controller.Updating);
    // Longer than the resends and the give-up would take.
    WaitFor([] { return false; }, 5000);
    ASSERT_EQ(closer_->Seen().size(), 1u) << closer_->Seen().back().Text;
    const std::string text = closer_->Seen()[0].Text;
    const size_t lineEnd = text.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << text;
    EXPECT_EQ(text.substr(lineEnd + 1), TransferFailureCause(ERROR_NOT_READY)) << text;
    const std::string record = LastLine(DefaultUpdateLogPath());
    EXPECT_NE(record.find(R"("port":"COM24")"), std::string::npos) << record;
    EXPECT_NE(record.find(R"("result":"port-error")"), std::string::npos) << record;
    EXPECT_NE(record.find(R"("reason":"port-error: )" + text.substr(0, lineEnd) + '"'),
              std::string::npos)
        << record;
}

TEST_F(WinWindowTest, ClosingTheWindowMidTransferClosesThePort) {
    Open("COM23");
    Click(form_->BtInicia);
    ASSERT_TRUE(WaitFor([&] { return Progress() >= 3; }));
    bool ledOff = false;
    form_->ComLed1->OnChange = [&](TComponent*, TLedState s) { ledOff = s == lsOff; };
    form_->Close();
    EXPECT_TRUE(ledOff);
    EXPECT_FALSE(form_->ComPort1->Connected());
    EXPECT_FALSE(form_->Timeout->Enabled());
    EXPECT_FALSE(form_->Visible());
    EXPECT_TRUE(closer_->Seen().empty());
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    app.SetTitle(Title);
    ListPorts(BoardPorts, true);
    int result = RUN_ALL_TESTS();
    ListPorts(BoardPorts, false);
    return result;
}
