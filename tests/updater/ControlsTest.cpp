// The serial port's window controls: the converters, the port selector's list, its start-up
// selection and its picks against real ports, and the lamp's glyphs, drawing and bound mode.
#include "tests/support/PortTestSupport.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestFiles.h"

#include "serial/controls/ComPortControls.h"
#include "tests/support/TestFiles.h"

#include <QFile>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace {

TEST(Converters, TextsFollowTheEnumerationsAndUnknownTextsFallBack) {
    EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
    EXPECT_EQ(BaudRateToStr(br19200), "19200");
    EXPECT_EQ(BaudRateToStr(br256000), "256000");
    EXPECT_EQ(DataBitsToStr(dbFive), "5");
    EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
    EXPECT_EQ(ParityToStr(prSpace), "Space");
    EXPECT_EQ(FlowControlToStr(fcSoftware), "Software");
    for (int v = brCustom; v <= br256000; ++v)
        EXPECT_EQ(StrToBaudRate(BaudRateToStr(TBaudRate(v))), v);
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToParity("eVeN"), prEven);
    EXPECT_EQ(StrToFlowControl("HARDWARE"), fcHardware);
    EXPECT_EQ(StrToStopBits("2"), sbTwoStopBits);
    // Unknown texts: 9600, 8, 1, None, Custom.
    EXPECT_EQ(StrToBaudRate("9601"), br9600);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(StrToStopBits("3"), sbOneStopBit);
    EXPECT_EQ(StrToParity(""), prNone);
    EXPECT_EQ(StrToFlowControl("RTS"), fcCustom);
}

// A selector filled the way the window's stored settings fill it, bound to `port`.
struct LoadedSelector {
    TComComboBox Box;
    explicit LoadedSelector(TCustomComPort* port) {
        Box.BeginLoading();
        Box.SetComProperty(cpPort);
        Box.SetAutoApply(true);
        Box.SetText("COM13");
        Box.SetItemHeight(13);
        Box.SetItemIndex(0);
        Box.SetComPort(port);
        Box.Loaded();
    }
};

class SelectorTest : public ::testing::Test {
protected:
    void TearDown() override { ResetPortListFolders(); }
    void Ports(const std::vector<std::string>& names) {
        tree = std::make_unique<FakePortTree>(names);
        SetPortListFolders(tree->ClassDir(), tree->DevDir());
    }
    static std::vector<std::string> Entries(const QComboBox& box) {
        std::vector<std::string> entries;
        for (int i = 0; i < box.count(); ++i)
            entries.push_back(box.itemText(i).toStdString());
        return entries;
    }
    std::unique_ptr<FakePortTree> tree;
};

TEST_F(SelectorTest, PortsAreListedInTextOrderWithCaseIgnored) {
    Ports({"COM2", "COM10", "COM1", "com3"});
    TComComboBox box;
    box.SetComProperty(cpPort);
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"COM1", "COM10", "COM2", "com3"}));
    EXPECT_EQ(box.Text(), "COM1") << "no port bound: the first entry";
}

TEST_F(SelectorTest, StartUpShowsThePortsOwnEntryElseCom13ElseTheFirst) {
    TComPort port; // "COM1"
    Ports({"COM3", "COM4"});
    {
        LoadedSelector s(&port);
        EXPECT_EQ(s.Box.Text(), "COM3");
        EXPECT_EQ(port.Port(), "COM1") << "nothing is written to the port at start";
    }
    Ports({"COM10", "COM13", "COM3"});
    {
        LoadedSelector s(&port);
        EXPECT_EQ(s.Box.Text(), "COM13");
    }
    Ports({"COM0", "COM1", "COM13"});
    {
        LoadedSelector s(&port);
        EXPECT_EQ(s.Box.Text(), "COM1");
    }
    Ports({});
    {
        LoadedSelector s(&port);
        EXPECT_EQ(s.Box.Text(), "");
        EXPECT_EQ(s.Box.ItemIndex(), -1);
    }
}

TEST_F(SelectorTest, AMatchIgnoresCaseAndTakesTheEntrysSpelling) {
    TComPort port;
    port.SetPort("com3");
    Ports({"COM3", "COM4"});
    LoadedSelector s(&port);
    EXPECT_EQ(s.Box.Text(), "COM3");
    EXPECT_EQ(s.Box.Selector().PendingPort(), "COM3");
    EXPECT_EQ(port.Port(), "com3");

    // Text that names no entry leaves the selection alone; one that does selects it.
    s.Box.SetText("COM9");
    EXPECT_EQ(s.Box.Text(), "COM3");
    s.Box.SetText("com4");
    EXPECT_EQ(s.Box.Text(), "COM4");
    EXPECT_EQ(port.Port(), "com3") << "selecting from code writes nothing";

    // Setting the same setting again refills the list and finds the port's entry again.
    s.Box.SetComProperty(cpPort);
    EXPECT_EQ(s.Box.count(), 2);
    EXPECT_EQ(s.Box.Text(), "COM3");
}

TEST_F(SelectorTest, APickWritesThePortAndReopensAnOpenPortOnTheNewName) {
    Pty first, second;
    DevLink a(first.SlavePath()), b(second.SlavePath());
    ASSERT_TRUE(a.Made() && b.Made()) << "the test makes links in /dev (run as root)";
    Ports({a.Name(), b.Name()});
    TComPort port;
    port.SetPort(a.Name());
    int opens = 0;
    port.OnAfterOpen = [&](TComponent*) { ++opens; };
    LoadedSelector s(&port);
    ASSERT_EQ(s.Box.Text(), a.Name());
    port.Open();
    ASSERT_EQ(opens, 1);

    // Picking the entry the port already names changes nothing.
    s.Box.setFocus();
    s.Box.Change();
    EXPECT_EQ(opens, 1);

    // The user moves to the next entry: the port follows and reopens there.
    QTest::keyClick(&s.Box, Qt::Key_Down);
    EXPECT_EQ(s.Box.Text(), b.Name());
    EXPECT_EQ(port.Port(), b.Name());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(opens, 2);
    port.WriteStr("x");
    EXPECT_TRUE(WaitFor([&] { return second.Take() == "x"; }, std::chrono::seconds(5)));
    port.Close();
}

TEST_F(SelectorTest, OtherSettingsListTheirTextsAndWriteTheirValues) {
    TComPort port;
    port.SetBaudRate(br19200);
    TComComboBox box;
    box.SetComPort(&port);
    box.SetComProperty(cpBaudRate);
    EXPECT_EQ(box.count(), 16);
    EXPECT_EQ(box.Text(), "19200");
    box.SetAutoApply(true);
    box.SetText("115200");
    box.Change();
    EXPECT_EQ(port.BaudRate(), br115200);

    box.SetComProperty(cpParity);
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"None", "Odd", "Even", "Mark", "Space"}));
    box.SetText("even");
    box.Change();
    EXPECT_EQ(port.Parity().Bits(), prEven);

    box.SetComProperty(cpFlowControl);
    EXPECT_EQ(box.Text(), "None");
    box.SetText("Hardware");
    box.Change();
    EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);

    // Without AutoApply a pick waits for ApplySettings.
    box.SetAutoApply(false);
    box.SetComProperty(cpDataBits);
    box.SetText("7");
    box.Change();
    EXPECT_EQ(port.DataBits(), dbEight);
    box.ApplySettings();
    EXPECT_EQ(port.DataBits(), dbSeven);

    box.SetComProperty(cpNone);
    EXPECT_EQ(box.count(), 0);
}

TEST_F(SelectorTest, ADestroyedPortIsForgottenAndLaterPicksWriteNowhere) {
    Ports({"COM1", "COM2", "COM3"});
    auto port = std::make_unique<TComPort>();
    port->SetPort("COM2");
    LoadedSelector s(port.get());
    ASSERT_EQ(s.Box.Text(), "COM2");
    port.reset();
    EXPECT_EQ(s.Box.ComPort(), nullptr);
    EXPECT_EQ(s.Box.Text(), "COM1");
    s.Box.SetText("COM3");
    s.Box.Change();
    EXPECT_EQ(s.Box.Selector().PendingPort(), "COM3");
}

// No port folder at all lists nothing; one that cannot be read is error 23 with errno.
TEST_F(SelectorTest, AMissingPortFolderListsNothingAnUnreadableOneIsError23) {
    SetPortListFolders("/nonexistent/quorvel/class", "/nonexistent/quorvel/dev");
    TComComboBox box;
    box.SetComProperty(cpPort);
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.Text(), "");

    TempDir dir;
    std::ofstream(dir / "class") << "not a folder";
    SetPortListFolders(dir / "class", "/nonexistent/quorvel/dev");
    try {
        box.SetComProperty(cpPort);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, 23);
        EXPECT_EQ(e.WinErrorCode, ENOTDIR);
        EXPECT_EQ(e.Message, "Registry error (win error code: " + std::to_string(ENOTDIR) + ")");
    }
}

TEST_F(SelectorTest, TheListIsReadAgainEachTimeItDropsDownKeepingThePick) {
    Ports({"ttyUSB0", "ttyUSB1"});
    TComPort port; // "COM1": re-listing must never write it
    TComComboBox box;
    box.SetComProperty(cpPort);
    box.SetComPort(&port);
    box.SetText("ttyUSB1");

    // An adapter plugged in after start-up (a pseudo-terminal link) shows at the next drop-down.
    Pty pty;
    std::filesystem::path link = std::filesystem::path(tree->DevDir()) / "ttyAdapter";
    std::filesystem::create_symlink(pty.SlavePath(), link);
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"ttyUSB0", "ttyUSB1"})) << "not before";
    box.showPopup();
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"ttyAdapter", "ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(box.Text(), "ttyUSB1");
    box.hidePopup();

    // Pulled out again: gone at the next drop-down, the pick stays.
    std::filesystem::remove(link);
    box.showPopup();
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(box.Text(), "ttyUSB1");
    box.hidePopup();

    // The picked one vanishes: the first entry is shown, and nothing reached the port.
    std::filesystem::remove_all(std::filesystem::path(tree->ClassDir()) / "ttyUSB1");
    box.showPopup();
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"ttyUSB0"}));
    EXPECT_EQ(box.Text(), "ttyUSB0");
    box.hidePopup();
    EXPECT_EQ(port.Port(), "COM1");
}

TEST_F(SelectorTest, TwoAdaptersOfAKindDifferInTheClosedBoxAndTellWhatTheyAre) {
    const std::vector<std::string> names{"ttyUSBserial0", "ttyUSBserial1"};
    Ports(names);
    for (const std::string& serial : {std::string("A10342"), std::string("B20455")}) {
        std::string device = tree->ClassDir() + "/" + names[serial[0] == 'A' ? 0 : 1] + "/device/";
        for (auto [file, text] : {std::pair{"idVendor", "0403"},
                                  {"idProduct", "6001"},
                                  {"manufacturer", "FTDI"},
                                  {"product", "FT232R USB UART"}})
            std::ofstream(device + file) << text << "\n";
        std::ofstream(device + "serial") << serial << "\n";
    }
    TComComboBox box;
    box.resize(61, 21); // the window's size for it
    box.SetComProperty(cpPort);
    EXPECT_EQ(box.itemData(1, Qt::ToolTipRole).toString().toStdString(),
              "FTDI FT232R USB UART, S/N B20455, USB 0403:6001");
    EXPECT_EQ(box.toolTip().toStdString(), "FTDI FT232R USB UART, S/N A10342, USB 0403:6001");
    QImage first = box.grab().toImage();
    box.SetText(names[1]);
    EXPECT_EQ(box.toolTip().toStdString(), "FTDI FT232R USB UART, S/N B20455, USB 0403:6001");
    EXPECT_TRUE(box.grab().toImage() != first) << "cut at the right, both show the same start";
}

// Network ports named in ports.conf come after the local ones, by name; the tooltip is the URL,
// and a pick writes the URL into the port.
TEST_F(SelectorTest, NamedNetworkPortsFollowTheLocalOnesByNameWithTheirUrl) {
    Ports({"COM1"});
    const std::string url = "rfc2217://127.0.0.1:4001";
    PortsConfFile conf("# bench\nBancada 3 = " + url + "\nbad\n");
    TComPort port;
    TComComboBox box;
    box.SetComProperty(cpPort);
    box.SetComPort(&port);
    box.SetAutoApply(true);
    EXPECT_EQ(Entries(box), (std::vector<std::string>{"COM1", "Bancada 3"}));
    EXPECT_EQ(box.itemData(1, Qt::ToolTipRole).toString().toStdString(), url);
    box.setCurrentIndex(1);
    box.Change();
    EXPECT_EQ(port.Port(), url);
    // Listed again, the port's entry is found under its name.
    box.SetComProperty(cpPort);
    EXPECT_EQ(box.Text(), "Bancada 3");
}

// ---- the lamp -------------------------------------------------------------------------------

struct GlyphFile {
    QByteArray Bytes;
    // Palette colour of the pixel at (x, y), y counted from the top.
    QColor Pixel(int x, int y) const {
        const auto* d = reinterpret_cast<const uint8_t*>(Bytes.constData());
        int row = 14 - y; // stored bottom row first, 8 bytes a row
        uint8_t pair = d[40 + 64 + row * 8 + x / 2];
        int index = x % 2 == 0 ? pair >> 4 : pair & 0x0F;
        const uint8_t* entry = d + 40 + index * 4;
        return QColor(entry[2], entry[1], entry[0]);
    }
};

GlyphFile ReadGlyph(const char* name) {
    QFile f(QStringLiteral(":/leds/") + name + QStringLiteral(".bmp"));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
    return {f.readAll()};
}

TEST(LedGlyphs, TwelveSmallBitmapsWithTheirBackgroundInTheCorner) {
    const char* kinds[] = {"RED", "GREEN", "BLUE", "YELLOW", "PURPLE", "BULB"};
    for (const char* kind : kinds) {
        for (const char* state : {"ON", "OFF"}) {
            std::string name = std::string("LED") + kind + state;
            GlyphFile glyph = ReadGlyph(name.c_str());
            ASSERT_EQ(glyph.Bytes.size(), 224) << name;
            const auto* d = reinterpret_cast<const uint8_t*>(glyph.Bytes.constData());
            EXPECT_EQ(d[0], 40) << name;
            EXPECT_EQ(d[4], 15);
            EXPECT_EQ(d[8], 15);
            EXPECT_EQ(d[14], 4) << "4 bits per pixel";
            QColor corner = glyph.Pixel(0, 14);
            QColor expected =
                std::string(kind) == "YELLOW" ? QColor(128, 0, 128) : QColor(128, 128, 0);
            EXPECT_EQ(corner, expected) << name;
            QImage image = LoadLedGlyph(name.c_str());
            ASSERT_FALSE(image.isNull()) << name;
            EXPECT_EQ(image.size(), QSize(15, 15));
            EXPECT_EQ(QColor(image.pixel(7, 7)), glyph.Pixel(7, 7)) << name;
        }
    }
    EXPECT_TRUE(LoadLedGlyph("LEDORANGEON").isNull());
}

// The lamp on a plain white panel, as painted.
QImage Paint(QWidget& panel) {
    panel.setAutoFillBackground(true);
    QPalette p = panel.palette();
    p.setColor(QPalette::Window, Qt::white);
    panel.setPalette(p);
    return panel.grab().toImage();
}

TEST(Led, DrawsTheGlyphOfItsStateCentredAndTransparent) {
    QWidget panel;
    panel.resize(40, 40);
    TComLed led(&panel);
    led.move(0, 0);
    led.SetKind(lkGreenLight);
    EXPECT_EQ(led.size(), QSize(25, 25));
    EXPECT_EQ(led.CalcBitmapPos(), QPoint(5, 5));

    QImage off = Paint(panel);
    EXPECT_EQ(QColor(off.pixel(5, 5)), QColor(Qt::white)) << "background corner is see-through";
    EXPECT_EQ(QColor(off.pixel(12, 12)), QColor(0, 128, 0)) << "unlit green";
    led.SetState(lsOn);
    QImage on = Paint(panel);
    EXPECT_EQ(QColor(on.pixel(5, 5)), QColor(Qt::white));
    EXPECT_EQ(QColor(on.pixel(12, 16)), QColor(0, 255, 0)) << "lit green";

    // Disabled, it shows the off glyph whatever its state; enabled again, the on glyph.
    led.setEnabled(false);
    EXPECT_EQ(QColor(Paint(panel).pixel(12, 16)), QColor(0, 128, 0));
    led.setEnabled(true);
    EXPECT_EQ(QColor(Paint(panel).pixel(12, 16)), QColor(0, 255, 0));

    // Smaller than its glyph: drawn from the top-left corner, clipped.
    led.resize(10, 10);
    EXPECT_EQ(led.CalcBitmapPos(), QPoint(0, 0));
}

TEST(Led, ANewLampShowsTheRedPairAndACustomOneWithoutGlyphsDrawsNothing) {
    QWidget panel;
    panel.resize(30, 30);
    TComLed led(&panel);
    led.SetState(lsOn);
    EXPECT_EQ(QColor(Paint(panel).pixel(12, 16)), QColor(255, 0, 0));

    QWidget other;
    other.resize(30, 30);
    TComLed custom(&other);
    custom.SetKind(lkCustom);
    custom.SetState(lsOn);
    QImage painted = Paint(other);
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 25; ++x)
            ASSERT_EQ(QColor(painted.pixel(x, y)), QColor(Qt::white)) << x << "," << y;

    // Glyphs are taken only by a custom lamp, with their corner colour see-through.
    QImage square(15, 15, QImage::Format_RGB32);
    square.fill(QColor(0, 0, 255));
    square.setPixel(0, 14, qRgb(9, 9, 9));
    square.setPixel(14, 0, qRgb(9, 9, 9));
    custom.SetGlyphOn(square);
    QImage shown = Paint(other);
    EXPECT_EQ(QColor(shown.pixel(12, 12)), QColor(0, 0, 255));
    EXPECT_EQ(QColor(shown.pixel(19, 5)), QColor(Qt::white)) << "the corner colour is see-through";
    TComLed green;
    green.SetKind(lkGreenLight);
    QImage before = green.GlyphOn();
    green.SetGlyphOn(square);
    EXPECT_EQ(green.GlyphOn(), before);
}

TEST(Led, EveryStateAssignmentIsReported) {
    TComLed led;
    std::vector<TLedState> seen;
    led.OnChange = [&](TComponent* sender, TLedState state) {
        EXPECT_EQ(sender, &led);
        seen.push_back(state);
    };
    led.SetState(lsOn);
    led.SetState(lsOn);
    led.SetState(lsOff);
    EXPECT_EQ(seen, (std::vector<TLedState>{lsOn, lsOn, lsOff}));
    // Not while its stored settings are read.
    led.BeginLoading();
    led.SetState(lsOn);
    led.Loaded();
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(led.State(), lsOn);
}

TEST(Led, BoundToAPortItFollowsTheConnectionAndRefusesOutsideChanges) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    TComLed led;
    led.SetState(lsOn);
    led.SetComPort(&port);
    EXPECT_EQ(led.State(), lsOn) << "binding to a closed port leaves the state";
    try {
        led.SetState(lsOff);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, 19);
        EXPECT_EQ(e.Message, "Cannot change led state if ComPort is selected");
    }
    EXPECT_EQ(led.State(), lsOn);

    std::vector<TLedState> seen;
    led.OnChange = [&](TComponent*, TLedState state) { seen.push_back(state); };
    port.Open();
    EXPECT_EQ(led.State(), lsOn);
    EXPECT_TRUE(led.IsStateOn());
    port.Close();
    EXPECT_EQ(led.State(), lsOff);
    EXPECT_EQ(seen, (std::vector<TLedState>{lsOn, lsOff}));

    // Binding to an open port takes its state at once; unbinding turns the lamp off.
    port.Open();
    TComLed second;
    second.SetComPort(&port);
    EXPECT_EQ(second.State(), lsOn);
    second.SetComPort(nullptr);
    EXPECT_EQ(second.State(), lsOff);
    second.SetState(lsOn); // free again
    EXPECT_EQ(second.State(), lsOn);

    // Another signal: the lines of a pseudo-terminal read as off.
    led.SetLedSignal(lsCTS);
    EXPECT_FALSE(led.IsStateOn());
    port.Close();
}

TEST(Led, ARingLightsTheLampForItsDurationOrForGoodWithDurationZero) {
    TComPort port;
    TComLed led;
    led.SetLedSignal(lsRing);
    led.SetRingDuration(150);
    led.SetComPort(&port);
    port.NotifyLink(leRing);
    EXPECT_EQ(led.State(), lsOn);
    port.NotifyLink(leRing); // a second ring while lit keeps it lit
    EXPECT_EQ(led.State(), lsOn);
    ASSERT_TRUE(WaitFor([&] { return led.State() == lsOff; }, std::chrono::seconds(5)));

    led.SetRingDuration(0);
    port.NotifyLink(leRing);
    WaitFor([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(led.State(), lsOn) << "a duration of 0 never turns it off";

    // Other signals than the ring no longer reach it.
    led.SetLedSignal(lsConn);
    port.NotifyLink(leRing);
    port.SendSignalToLink(leConn, false);
    EXPECT_EQ(led.State(), lsOff);
}

TEST(Led, APortDestroyedWhileBoundIsForgotten) {
    TComLed led;
    auto port = std::make_unique<TComPort>();
    led.SetComPort(port.get());
    port.reset();
    EXPECT_EQ(led.ComPort(), nullptr);
    EXPECT_EQ(led.State(), lsOff);
    led.SetState(lsOn);
    EXPECT_EQ(led.State(), lsOn);
}

} // namespace
