// The component itself: open and close with their notifications, settings, links, errors.
#include "serial/ComPort.h"
#include "serial/ComBackendCounts.h"
#include "tests/support/ComErrors.h"
#include "tests/support/Pty.h"
#include "tests/support/Pump.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

// Logs every open/close notification with the Connected value seen inside it.
void Watch(TComPort& port, Log& log) {
    auto tag = [&port](const char* name) {
        return std::string(name) + (port.Connected() ? " on" : " off");
    };
    port.OnBeforeOpen = [&log, tag](TComponent*) { log.push_back(tag("BeforeOpen")); };
    port.OnAfterOpen = [&log, tag](TComponent*) { log.push_back(tag("AfterOpen")); };
    port.OnBeforeClose = [&log, tag](TComponent*) { log.push_back(tag("BeforeClose")); };
    port.OnAfterClose = [&log, tag](TComponent*) { log.push_back(tag("AfterClose")); };
    port.OnCTSChange = [&log](TComponent*, bool on) { log.push_back(on ? "CTS 1" : "CTS 0"); };
    port.OnDSRChange = [&log](TComponent*, bool on) { log.push_back(on ? "DSR 1" : "DSR 0"); };
    port.OnRLSDChange = [&log](TComponent*, bool on) { log.push_back(on ? "RLSD 1" : "RLSD 0"); };
}

void WatchLink(TComLink& link, const std::string& name, Log& log) {
    auto slot = [&log, name](const char* what) {
        return [&log, name, what](TComponent*, bool on) {
            log.push_back(name + "." + what + (on ? " 1" : " 0"));
        };
    };
    link.ConnSignal = slot("Conn");
    link.CTSSignal = slot("CTS");
    link.DSRSignal = slot("DSR");
    link.RLSDSignal = slot("RLSD");
}

TEST(ComPortOpenClose, NotifiesLinksAndHandlersInOrder) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    Log log;
    Watch(port, log);
    TComLink a, b;
    WatchLink(a, "a", log);
    WatchLink(b, "b", log);
    port.RegisterLink(&a);
    port.RegisterLink(&b);

    port.Open();
    EXPECT_EQ(log,
              (Log{"BeforeOpen off", "a.Conn 1", "b.Conn 1", "AfterOpen on", "a.CTS 0", "b.CTS 0",
                   "CTS 0", "a.DSR 0", "b.DSR 0", "DSR 0", "a.RLSD 0", "b.RLSD 0", "RLSD 0"}));
    EXPECT_TRUE(port.Connected());
    log.clear();
    port.Open(); // already open: nothing
    EXPECT_TRUE(log.empty());

    port.Close();
    EXPECT_EQ(log,
              (Log{"a.CTS 0", "b.CTS 0", "a.DSR 0", "b.DSR 0", "a.RLSD 0", "b.RLSD 0", "CTS 0",
                   "DSR 0", "RLSD 0", "BeforeClose on", "a.Conn 0", "b.Conn 0", "AfterClose off"}));
    EXPECT_FALSE(port.Connected());
    log.clear();
    port.Close();
    EXPECT_TRUE(log.empty());
}

TEST(ComPortOpenClose, ConnectedPropertyOpensAndCloses) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
}

TEST(ComPortOpenClose, FailedOpensLeaveThePortClosedWithCodeOneAndErrno) {
    TComPort port;
    Log log;
    Watch(port, log);
    port.SetPort("ttyQuorvelNoSuchDevice"); // a bare name lives under /dev
    int error = 0;
    try {
        port.Open();
        FAIL() << "opened a missing device";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode, 1);
        EXPECT_EQ(e.WinErrorCode, ENOENT);
        EXPECT_EQ(e.Message, "Unable to open com port (win error code: 2)");
        error = e.WinErrorCode;
    }
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(log, (Log{"BeforeOpen off"}));
    EXPECT_FALSE(port.Connected());

    // A device that another open holds.
    Pty pty;
    TComPort owner, intruder;
    owner.SetPort(pty.SlavePath());
    intruder.SetPort(pty.SlavePath());
    owner.SetBaudRate(br19200);
    owner.Open();
    EXPECT_EQ(ComErrorCode([&] { intruder.Open(); }, &error), 1);
    EXPECT_EQ(error, EWOULDBLOCK);
    EXPECT_EQ(pty.SlaveSpeed(), 19200); // the holder's settings were not touched
    EXPECT_FALSE(intruder.Connected());
    owner.Close();
    intruder.Open(); // the lock went with the close
    EXPECT_TRUE(intruder.Connected());
}

TEST(ComPortOpenClose, FailedSetupReleasesTheDevice) {
    // /dev/null opens but takes no line settings: code 7, and the lock must not linger,
    // or the second attempt would fail with code 1 instead.
    TComPort port;
    port.SetPort("/dev/null");
    int error = 0;
    EXPECT_EQ(ComErrorCode([&] { port.Open(); }, &error), 7);
    EXPECT_EQ(error, ENOTTY);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(ComErrorCode([&] { port.Open(); }), 7);
}

TEST(ComPortOpenClose, ExceptionFromBeforeOpenStopsBeforeTheDevice) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.OnBeforeOpen = [](TComponent*) { throw Exception("not now"); };
    ComBackendCounts().Reset();
    EXPECT_THROW(port.Open(), Exception);
    EXPECT_EQ(ComBackendCounts().Opens, 0);
    EXPECT_FALSE(port.Connected());
}

TEST(ComPortOpenClose, PortChangeWhileOpenReopensOnTheNewDevice) {
    Pty first, second;
    Log log;
    TComPort port;
    port.SetPort(first.SlavePath());
    port.Open();
    port.OnBeforeClose = [&](TComponent*) { log.push_back("BeforeClose"); };
    port.OnAfterOpen = [&](TComponent*) { log.push_back("AfterOpen"); };
    port.SetPort(first.SlavePath());
    EXPECT_TRUE(log.empty());
    port.SetPort(second.SlavePath());
    EXPECT_EQ(log, (Log{"BeforeClose", "AfterOpen"}));
    port.WriteStr("B");
    EXPECT_EQ(second.Receive(1), "B");
    // The first device is free again.
    TComPort other;
    other.SetPort(first.SlavePath());
    EXPECT_NO_THROW(other.Open());
}

TEST(ComPortSettings, AppliedAtOnceWhileOpenAndOnlyStoredWhileClosed) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    ComBackendCounts().Reset();
    port.SetBaudRate(br19200); // closed: stored only
    EXPECT_EQ(ComBackendCounts().LineUpdates, 0);
    port.Open();
    EXPECT_EQ(pty.SlaveSpeed(), 19200);
    EXPECT_EQ(ComBackendCounts().LineUpdates, 1);

    port.SetBaudRate(br9600);
    EXPECT_EQ(pty.SlaveSpeed(), 9600);
    EXPECT_EQ(ComBackendCounts().LineUpdates, 2);
    port.SetBaudRate(br9600); // unchanged: no device call
    EXPECT_EQ(ComBackendCounts().LineUpdates, 2);

    // Rates without a B constant go through termios2.
    for (auto [rate, baud] :
         {std::pair{br14400, 14400}, {br56000, 56000}, {br128000, 128000}, {br256000, 256000}}) {
        port.SetBaudRate(rate);
        EXPECT_EQ(pty.SlaveSpeed(), baud);
        EXPECT_TRUE(pty.SlaveUsesCustomRate());
    }
    port.SetCustomBaudRate(31250);
    port.SetBaudRate(brCustom);
    EXPECT_EQ(pty.SlaveSpeed(), 31250);
    port.SetBaudRate(br115200);
    EXPECT_EQ(pty.SlaveSpeed(), 115200);
    EXPECT_FALSE(pty.SlaveUsesCustomRate());
}

TEST(ComPortSettings, EachChangedSettingIsOneDeviceUpdate) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.Open();
    auto& c = ComBackendCounts();
    c.Reset();
    port.SetStopBits(sbTwoStopBits);
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prEven);
    port.FlowControl().SetControlDTR(dtrEnable);
    port.FlowControl().SetFlowControl(fcSoftware);
    port.SetEventChar('\n');
    port.SetDiscardNull(true);
    EXPECT_EQ(c.LineUpdates, 7);
    port.Parity().SetBits(prEven); // unchanged
    EXPECT_EQ(c.LineUpdates, 7);
    port.Timeouts().SetWriteTotalConstant(50);
    EXPECT_EQ(c.TimeoutUpdates, 1);
    port.Buffer().SetInputSize(4096);
    port.Buffer().SetInputSize(4097); // stored one lower: no change
    EXPECT_EQ(port.Buffer().InputSize(), 4096);
    EXPECT_EQ(c.QueueUpdates, 1);
    TComParity parity;
    parity.SetBits(prOdd);
    port.SetParity(parity); // a whole sub-object: one update
    EXPECT_EQ(port.Parity().Bits(), prOdd);
    EXPECT_EQ(c.LineUpdates, 8);
    EXPECT_EQ(c.Opens, 0);
}

// Adapters hold answers back for their latency timer unless asked not to; a driver that
// refuses (a pseudo-terminal does) must not keep the port from opening.
TEST(ComPortOpenClose, AsksForLowLatencyAndCarriesOnWhenRefused) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    auto& c = ComBackendCounts();
    c.Reset();
    port.Open();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(c.LowLatencyRequests, 1);
    EXPECT_EQ(c.LowLatencyGranted, 0);
    port.Close();
}

TEST(ComPortSettings, BeginUpdateEndUpdateMakeOneApplication) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.Open();
    auto& c = ComBackendCounts();
    c.Reset();
    port.EndUpdate(); // without BeginUpdate: nothing
    EXPECT_EQ(c.LineUpdates + c.TimeoutUpdates + c.QueueUpdates, 0);
    port.BeginUpdate();
    port.BeginUpdate();
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.Timeouts().SetWriteTotalMultiplier(10);
    port.EndUpdate();
    EXPECT_EQ(c.LineUpdates + c.TimeoutUpdates + c.QueueUpdates, 0);
    EXPECT_EQ(pty.SlaveSpeed(), 9600);
    port.EndUpdate();
    EXPECT_EQ(c.LineUpdates, 1);
    EXPECT_EQ(c.TimeoutUpdates, 1);
    EXPECT_EQ(c.QueueUpdates, 1);
    EXPECT_EQ(pty.SlaveSpeed(), 19200);
}

TEST(ComPortSettings, LoadingStoresThenLoadedOpens) {
    Pty pty;
    TComPort port;
    ComBackendCounts().Reset();
    port.BeginLoading();
    port.SetPort(pty.SlavePath());
    port.SetBaudRate(br19200);
    port.SetConnected(true);
    port.SetSyncMethod(smNone); // allowed while loading
    EXPECT_EQ(ComBackendCounts().Opens, 0);
    EXPECT_NE(pty.SlaveSpeed(), 19200);
    port.Loaded();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(ComBackendCounts().Opens, 1);
    EXPECT_EQ(ComBackendCounts().LineUpdates, 1);
    EXPECT_EQ(pty.SlaveSpeed(), 19200);
}

TEST(ComPortSettings, FailedOpenAfterLoadingGoesToTheExceptionReport) {
    static std::string reported;
    reported.clear();
    SetExceptionHandler([](const std::string& m) { reported = m; });
    TComPort port;
    port.BeginLoading();
    port.SetPort("/quorvel/missing");
    port.SetConnected(true);
    EXPECT_NO_THROW(port.Loaded());
    SetExceptionHandler(nullptr);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(reported, "Unable to open com port (win error code: 2)");
}

TEST(ComPortSettings, ThreadSettingsRefuseChangesWhileOpen) {
    Pty pty;
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.SetSyncMethod(smWindowSync);
    port.SetEventThreadPriority(tpLower);
    port.Open();
    EXPECT_EQ(ComErrorCode([&] { port.SetSyncMethod(smNone); }), 14);
    EXPECT_EQ(port.SyncMethod(), smWindowSync);
    EXPECT_EQ(ComErrorCode([&] { port.SetEventThreadPriority(tpHigher); }), 14);
    EXPECT_EQ(port.EventThreadPriority(), tpLower);
    EXPECT_EQ(ComErrorCode([&] { port.SetSyncMethod(smWindowSync); }), 0); // unchanged: fine
}

TEST(ComPortSettings, DefaultsAndDerivedFlowControl) {
    TComPort port;
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(static_cast<int>(br9600), 7);
    EXPECT_EQ(static_cast<int>(br19200), 9);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.Events().Bits(), 0x03FF);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.EventThreadPriority(), tpNormal);

    TComFlowControl& fc = port.FlowControl();
    EXPECT_EQ(fc.FlowControl(), fcNone);
    fc.SetFlowControl(fcHardware);
    EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(fc.OutCTSFlow());
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    fc.SetFlowControl(fcSoftware);
    EXPECT_FALSE(fc.OutCTSFlow());
    EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
    EXPECT_EQ(fc.FlowControl(), fcSoftware);
    fc.SetXonXoffIn(false);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
    fc.SetFlowControl(fcNone);
    EXPECT_EQ(fc.FlowControl(), fcNone);
}

TEST(ComPortLinks, RegistrationErrorsAndReceptionFlag) {
    TComPort port;
    TComLink link, rxLink;
    port.RegisterLink(&link);
    EXPECT_EQ(ComErrorCode([&] { port.RegisterLink(&link); }), 18);
    port.UnRegisterLink(&link);
    int error = 0;
    EXPECT_EQ(ComErrorCode([&] { port.UnRegisterLink(&link); }, &error), 18);
    EXPECT_EQ(error, -1);

    EXPECT_TRUE(port.TriggersOnRxChar());
    rxLink.RxBufHandler = [](TComponent*, const void*, int) {};
    port.RegisterLink(&rxLink);
    EXPECT_FALSE(port.TriggersOnRxChar());
    EXPECT_EQ(ComErrorCode([&] { port.SetTriggersOnRxChar(false); }), 22);
    port.UnRegisterLink(&rxLink);
    EXPECT_TRUE(port.TriggersOnRxChar());
}

TEST(ComPortMessagesTable, TextsSuffixAndTranslation) {
    EXPECT_EQ(ComPortMessages[1], "Unable to open com port");
    EXPECT_EQ(ComPortMessages[14], "Cannot set property while connected");
    EXPECT_EQ(ComPortMessages[23], "Registry error");
    EComPort plain(18);
    EXPECT_EQ(plain.Message, "Link (un)registration failed");
    EXPECT_EQ(plain.WinErrorCode, -1);
    EComPort coded(1, 2);
    EXPECT_EQ(coded.Message, "Unable to open com port (win error code: 2)");

    // A translation whose pattern does not fit falls back to the original suffix.
    SetComPortTranslator([](const std::string& text) -> std::string {
        if (text == " (win error code: %d)")
            return " (erro %s)";
        return "[" + text + "]";
    });
    TranslateComPortMessages();
    EXPECT_EQ(ComPortMessages[1], "[Unable to open com port]");
    EXPECT_EQ(EComPort(1, 5).Message, "[Unable to open com port] (win error code: 5)");
    SetComPortTranslator([](const std::string& text) -> std::string {
        return text == " (win error code: %d)" ? " (código %d)" : text;
    });
    EXPECT_EQ(EComPort(3, 5).Message, "[ReadFile function failed] (código 5)");
    SetComPortTranslator(nullptr);
    TranslateComPortMessages();
    EXPECT_EQ(ComPortMessages[1], "Unable to open com port");
}

} // namespace
