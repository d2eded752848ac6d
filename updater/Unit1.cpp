#include "updater/Unit1.h"

#include "framework/Application.h"
#include "framework/Exception.h"
#include "framework/Format.h"
#include "framework/ResString.h"
#include "updater/FirmwareImage.h"
#include "updater/OpenFailure.h"
#include "updater/UpdateLog.h"
#include "updater/UpdateState.h"
#include "updater/WindowTexts.h"

#include <exception>

namespace {

constexpr char AppCaption[] = "Atualizador Quorvel";
constexpr char BuiltInVersions[] = "V4.5 M1.0";
constexpr char OpenCaption[] = "Abrir";
constexpr char CloseCaption[] = "Fechar";
constexpr char OpenFailed[] = "Erro ao abrir porta ";

template <class C> C* Place(C* control, int left, int top, int width, int height) {
    control->SetBounds(left, top, width, height);
    return control;
}

TButton* MakeButton(TParentControl* parent, const char* caption, int left, int top, int width,
                    int height) {
    auto* button = Place(new TButton(parent), left, top, width, height);
    button->SetCaption(caption);
    return button;
}

TLabel* MakeLabel(TParentControl* parent, const char* text, int left, int top, int width,
                  int height, bool autoSize = true) {
    auto* label = Place(new TLabel(parent), left, top, width, height);
    label->SetAutoSize(autoSize);
    label->SetCaption(text);
    return label;
}

// The failure's cause goes on a second line: a technician outside "dialout" must learn why,
// and one whose adapter came loose mid-transfer what to do with the half-written board.
std::string WithCause(const std::string& message, const EComPort& e, bool transfer = false) {
    std::string cause =
        transfer ? TransferFailureCause(e.WinErrorCode) : OpenFailureCause(e.WinErrorCode);
    return cause.empty() ? message : message + "\n" + cause;
}

} // namespace

// What the update controller may touch of the window.
class TForm1::View : public UpdateView {
public:
    explicit View(TForm1& form) : form_(form) {}

    void SetLabelText(Label label, const std::string& text) override {
        Target(label)->SetCaption(text);
    }
    void SetStatusColor(TColor c) override { form_.LbStatus->SetFontColor(c.Red, c.Green, c.Blue); }
    void SetButtonEnabled(Button button, bool enabled) override {
        (button == BtConecta ? form_.BtConecta : form_.BtInicia)->SetEnabled(enabled);
    }
    void SetProgressPosition(int position) override { form_.BarraSts->SetPosition(position); }
    void SetProgressMaximum(int maximum) override { form_.BarraSts->SetMax(maximum); }
    void StepProgress() override { form_.BarraSts->StepIt(); }
    void SetTimerEnabled(bool enabled) override { form_.Timeout->SetEnabled(enabled); }
    void ShowMessage(const std::string& text) override { ::ShowMessage(text); }
    // The service record of every transfer that ended; a refused "Iniciar" started none. A log
    // that cannot be written never troubles the technician.
    void AttemptEnded(UpdateEnd end, const std::string& detail) override {
        if (end == UpdateEnd::NoAnswer || end == UpdateEnd::IncompatibleMonitor)
            return;
        std::string error;
        AppendUpdateRecord(DefaultUpdateLogPath(),
                           MakeUpdateRecord(ProgramUpdate, form_.ComPort1->Port(), end, detail),
                           error);
        transferBroke_ = end == UpdateEnd::PortError;
    }

    // Whether the port failed during a transfer, or ended the one just being started.
    bool TransferBroke() const { return form_.Controller().Updating() || transferBroke_; }
    void ForgetTransferBroke() { transferBroke_ = false; }

private:
    TLabel* Target(Label label) const {
        switch (label) {
        case LbStatus:
            return form_.LbStatus;
        case LbPlaca:
            return form_.LbPlaca;
        case LbVersao1:
            return form_.LbVersao1;
        case LbSerial:
            break;
        }
        return form_.LbSerial;
    }

    TForm1& form_;
    bool transferBroke_ = false;
};

TForm1::TForm1() {
    Name = "Form1";
    CreateControls();
    LoadComponents();
    view_ = std::make_unique<View>(*this);
    line_ = std::make_unique<ComPortLine>(*ComPort1);
    controller_ = std::make_unique<UpdateController>(*view_, *line_);
    BindEvents();
    ShowOpenable();
    // The tick runs from the window's creation; with every counter at 0 it does nothing.
    Timeout->SetEnabled(true);
    FormCreate(this);
}

TForm1::~TForm1() {
    Timeout->SetEnabled(false);
    // The port's handlers reach into the window: unhook them before the controls go.
    ComPort1->OnAfterOpen = nullptr;
    ComPort1->OnBeforeClose = nullptr;
    ComPort1->OnRxChar = nullptr;
    try {
        ComPort1->Close();
    } catch (...) {
    }
}

void TForm1::CreateControls() {
    SetClientSize(299, 194);

    GrupoSerial = Place(new TGroupBox(this), 10, 30, 281, 156);
    ComComboBox1 = Place(new TComComboBox(GrupoSerial), 90, 65, 61, 21);
    ComComboBox1->Name = "ComComboBox1";
    BtSerial = MakeButton(GrupoSerial, OpenCaption, 90, 90, 96, 21);

    GroupBox1 = Place(new TGroupBox(this), 10, 30, 281, 156);
    BtConecta = MakeButton(GroupBox1, "Conectar", 25, 20, 86, 21);
    BtConecta->SetEnabled(false);
    LbStatus = MakeLabel(GroupBox1, "------------", 135, 33, 136, 13, false);
    LbStatus->SetCentred();
    LbStatus->SetFontColor(clStatusBlue.Red, clStatusBlue.Green, clStatusBlue.Blue);
    Label1 = MakeLabel(GroupBox1, "Placa:", 160, 15, 45, 16);
    Label1->SetFontStyle(10, true);
    LbPlaca = MakeLabel(GroupBox1, "-", 215, 15, 4, 16);
    LbPlaca->SetFontStyle(10, false);
    Label2 = MakeLabel(GroupBox1, "Versão atual:", 10, 60, 76, 13);
    Label3 = MakeLabel(GroupBox1, "Nova versão:", 10, 80, 77, 13);
    LbVersao1 = MakeLabel(GroupBox1, "V1.1 M1.1", 95, 60, 49, 13);
    LbVersao2 = MakeLabel(GroupBox1, "V1.1 M1.1", 95, 80, 49, 13);
    BtInicia = MakeButton(GroupBox1, "Iniciar Atualização", 70, 100, 151, 21);
    BtInicia->SetEnabled(false);
    Timeout = new TTimer(this);
    Timeout->SetInterval(100);
    Label4 = MakeLabel(GroupBox1, "Registros:", 160, 80, 58, 13);
    LbBlocos = MakeLabel(GroupBox1, "xxx", 225, 80, 15, 13);
    BarraSts = Place(new TProgressBar(GroupBox1), 10, 130, 261, 17);
    BarraSts->SetStep(1);
    Label5 = MakeLabel(GroupBox1, "Nº  Série:", 160, 60, 56, 13);
    LbSerial = MakeLabel(GroupBox1, "xxxxxx", 225, 60, 30, 13);
    for (TLabel* bold : {Label2, Label3, Label4, Label5})
        bold->SetFontStyle(0, true);

    TabControl1 = Place(new TTabControl(this), 5, 5, 291, 186);
    for (const char* tab : {"Porta serial", "Atualização", "Log de alterações", "Ajuda"})
        TabControl1->AddTab(tab);
    TabControl1->SetTabIndex(0);
    // The strip lies under the panels.
    TabControl1->SendToBack();

    Label6 = MakeLabel(GrupoSerial, "Quorvel", 45, 135, 194, 13, false);
    Label6->SetCentred();
    Label7 = MakeLabel(GrupoSerial, "Selecione a porta serial:", 80, 45, 113, 13);
    Label8 = MakeLabel(GrupoSerial, "SIMULADOR DE BOMBAS QUORVEL", 35, 20, 207, 13);

    Memo1 = Place(new TMemo(this), 10, 35, 281, 151);
    Memo1->SetLines(ChangeLogLines, ChangeLogLinesCount);
    Memo2 = Place(new TMemo(this), 10, 35, 281, 151);
    Memo2->SetLines(HelpLines, HelpLinesCount);
    GroupBox1->SetVisible(false);
    Memo1->SetVisible(false);
    Memo2->SetVisible(false);

    ComPort1 = std::make_unique<TComPort>();
    ComPort1->Name = "ComPort1";
    ComLed1 = Place(new TComLed(GrupoSerial), 157, 64, 25, 25);
    ComLed1->Name = "ComLed1";

    // Tab order: serial panel (selector, button), update panel (start, connect), the strip,
    // then the two texts.
    SetTabOrder({ComComboBox1, BtSerial, BtInicia, BtConecta, TabControl1, Memo1, Memo2});
}

void TForm1::ReadProperty(const TComponent& component, const char* property,
                          const std::function<void()>& apply) {
    try {
        apply();
    } catch (const std::exception& e) {
        const TResStringRec& rec = SReadError;
        throw Exception(FormatTranslated(LoadResString(rec), rec.Text,
                                         {component.Name, ".", property, e.what()}));
    }
}

void TForm1::LoadComponents() {
    // Stored settings go in through the setters while each component is marked as loading;
    // references to other components are resolved once all of them exist; Loaded ends it.
    ComComboBox1->BeginLoading();
    ComPort1->BeginLoading();
    ComLed1->BeginLoading();

    TComComboBox& box = *ComComboBox1;
    ReadProperty(box, "ComProperty", [&] { box.SetComProperty(cpPort); });
    ReadProperty(box, "AutoApply", [&] { box.SetAutoApply(true); });
    ReadProperty(box, "Text", [&] { box.SetText("COM13"); });
    ReadProperty(box, "ItemHeight", [&] { box.SetItemHeight(13); });
    ReadProperty(box, "ItemIndex", [&] { box.SetItemIndex(0); });

    TComPort& port = *ComPort1;
    ReadProperty(port, "BaudRate", [&] { port.SetBaudRate(br9600); });
    ReadProperty(port, "Port", [&] { port.SetPort("COM1"); });
    ReadProperty(port, "Parity.Bits", [&] { port.Parity().SetBits(prNone); });
    ReadProperty(port, "StopBits", [&] { port.SetStopBits(sbOneStopBit); });
    ReadProperty(port, "DataBits", [&] { port.SetDataBits(dbEight); });
    ReadProperty(port, "Events", [&] { port.SetEvents(AllComEvents); });
    ReadProperty(port, "FlowControl", [&] {
        TComFlowControl& flow = port.FlowControl();
        flow.SetOutCTSFlow(false);
        flow.SetOutDSRFlow(false);
        flow.SetControlDTR(dtrEnable);
        flow.SetControlRTS(rtsDisable);
        flow.SetXonXoffOut(false);
        flow.SetXonXoffIn(false);
    });

    TComLed& led = *ComLed1;
    ReadProperty(led, "LedSignal", [&] { led.SetLedSignal(lsConn); });
    ReadProperty(led, "Kind", [&] { led.SetKind(lkGreenLight); });
    ReadProperty(led, "RingDuration", [&] { led.SetRingDuration(0); });

    ReadProperty(box, "ComPort", [&] { box.SetComPort(ComPort1.get()); });

    ComComboBox1->Loaded();
    ComPort1->Loaded();
    ComLed1->Loaded();
}

template <class F> void TForm1::RunHandler(F&& handler) noexcept {
    Guard([&] {
        view_->ForgetTransferBroke();
        try {
            handler();
        } catch (const EComPort& e) {
            // A port that fails under a handler is done with: the transfer ends as a port
            // error and the port is closed before the box, so no wait runs on to give up and
            // no event of the dead device raises another box behind it.
            controller_->PortFailed(e.what());
            const bool transfer = view_->TransferBroke();
            if (ComPort1->Connected())
                ClosePort();
            throw Exception(WithCause(e.what(), e, transfer));
        }
    });
}

void TForm1::BindEvents() {
    OnClose = [this] { RunHandler([this] { FormClose(this); }); };
    BtSerial->OnClick = [this] { RunHandler([this] { BtSerialClick(this); }); };
    BtConecta->OnClick = [this] { RunHandler([this] { controller_->BtConectaClick(); }); };
    BtInicia->OnClick = [this] { RunHandler([this] { controller_->BtIniciaClick(); }); };
    Timeout->OnTimer = [this] { RunHandler([this] { controller_->TimeoutTimer(); }); };
    TabControl1->OnChange = [this] { RunHandler([this] { TabControl1Change(this); }); };
    ComPort1->OnAfterOpen = [this](TComponent* sender) { ComPort1AfterOpen(sender); };
    ComPort1->OnBeforeClose = [this](TComponent* sender) { ComPort1BeforeClose(sender); };
    // The receive event comes from the port's dispatch: a failure is shown here and goes no
    // further.
    ComPort1->OnRxChar = [this](TComponent* sender, int count) {
        RunHandler([&] { ComPort1RxChar(sender, count); });
    };
    ComComboBox1->OnListed = [this](TComponent*) { ShowOpenable(); };
}

void TForm1::ShowOpenable() {
    BtSerial->SetEnabled(ComPort1->Connected() || !ComComboBox1->Text().empty());
}

void TForm1::FormCreate(TComponent*) {
    SetCaption(AppCaption);
    LbStatus->SetCaption("");
    LbVersao1->SetCaption("-");
    LbSerial->SetCaption("-");
    LbVersao2->SetCaption(BuiltInVersions);
    LoadFirmwareImage();
    LbBlocos->SetCaption(std::to_string(BlockCount));
}

void TForm1::BtSerialClick(TComponent*) {
    if (BtSerial->Caption() == OpenCaption) {
        // Open the port the selector shows. With none shown (no port listed) there is nothing
        // the technician chose: the component's own default name is not opened behind it.
        if (ComComboBox1->Text().empty())
            return;
        auto openShown = [this] {
            // A network port is shown by its name from ports.conf.
            const std::string shown = ComComboBox1->Text();
            const std::string url = ComComboBox1->Selector().NamedPortUrl(shown);
            ComPort1->SetPort(url.empty() ? shown : url);
            ComPort1->Open();
        };
        if (ComPort1->Connected()) {
            ComPort1->Close();
            try {
                openShown();
            } catch (const EComPort& e) {
                ::ShowMessage(WithCause(OpenFailed + ComComboBox1->Text(), e));
                return;
            }
        } else {
            try {
                openShown();
            } catch (const EComPort& e) {
                ::ShowMessage(WithCause(OpenFailed + ComComboBox1->Text() + "!", e));
                return;
            }
        }
        ComComboBox1->SetEnabled(false);
        BtSerial->SetCaption(CloseCaption);
        BtConecta->SetEnabled(true);
        return;
    }
    if (std::exception_ptr purgeError = ClosePort())
        std::rethrow_exception(purgeError);
}

std::exception_ptr TForm1::ClosePort() {
    BtSerial->SetCaption(OpenCaption);
    LbPlaca->SetCaption("-");
    LbStatus->SetCaption("");
    LbVersao1->SetCaption("-");
    LbVersao2->SetCaption(BuiltInVersions);
    Timeout->SetEnabled(false);
    BarraSts->SetPosition(0);
    controller_->StopWaits();
    // A port whose adapter was pulled out cannot be purged, but it must still be closed and
    // the window put back; the purge's error is shown once that is done.
    std::exception_ptr purgeError;
    try {
        ComPort1->ClearBuffer(true, true);
    } catch (const EComPort&) {
        purgeError = std::current_exception();
    }
    try {
        ComPort1->Close();
    } catch (const EComPort&) {
        if (!purgeError)
            purgeError = std::current_exception();
    }
    ComComboBox1->SetEnabled(true);
    BtConecta->SetEnabled(false);
    BtInicia->SetEnabled(false);
    LbSerial->SetCaption("-");
    controller_->ForgetBoard();
    ShowOpenable();
    return purgeError;
}

void TForm1::TabControl1Change(TComponent*) {
    int index = TabControl1->TabIndex();
    if (index < 0 || index > 3)
        return;
    GrupoSerial->SetVisible(index == 0);
    GroupBox1->SetVisible(index == 1);
    Memo1->SetVisible(index == 2);
    Memo2->SetVisible(index == 3);
}

void TForm1::FormClose(TComponent*) {
    if (!ComPort1->Connected())
        return;
    Timeout->SetEnabled(false);
    // As for "Fechar": a failed purge must not leave the device open.
    std::exception_ptr purgeError;
    try {
        ComPort1->ClearBuffer(true, true);
    } catch (const EComPort&) {
        purgeError = std::current_exception();
    }
    ComPort1->Close();
    if (purgeError)
        std::rethrow_exception(purgeError);
}

void TForm1::ComPort1AfterOpen(TComponent*) {
    ComLed1->SetState(lsOn);
    ComLed1->Repaint();
}

void TForm1::ComPort1BeforeClose(TComponent*) {
    // Every close, whatever led to it, ends a running transfer.
    controller_->PortClosing();
    ComLed1->SetState(lsOff);
    ComLed1->Repaint();
}

void TForm1::ComPort1RxChar(TComponent*, int) {
    controller_->ReceiveBytes();
}
