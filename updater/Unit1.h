#pragma once
// The main window: a tab strip over four panels (serial port, update, change log, help), the
// port component and the 100 ms tick. The update logic itself lives in UpdateController. One
// source for every toolkit: the controls' operations are the same names on each.
#include "framework/Component.h"
#include "framework/Controls.h"
#include "serial/ComPort.h"
#include "serial/controls/ComPortControls.h"
#include "updater/ComPortLine.h"
#include "updater/UpdateController.h"

#include <exception>
#include <functional>
#include <memory>

class TForm1 : public TForm, public TComponent {
public:
    // Builds the window from its layout, then runs FormCreate. A failure while the layout is
    // read comes out as "Error reading <component>.<property>: <message>".
    TForm1();
    ~TForm1() override;

    // Members, in the order the layout declares them. The window owns all of them.
    TGroupBox* GrupoSerial;
    TComComboBox* ComComboBox1;
    TButton* BtSerial;
    TButton* BtConecta;
    TLabel* LbStatus;
    TLabel* Label1;
    TLabel* LbPlaca;
    TGroupBox* GroupBox1;
    TLabel* Label2;
    TLabel* Label3;
    TLabel* LbVersao1;
    TLabel* LbVersao2;
    TButton* BtInicia;
    TTimer* Timeout;
    TLabel* Label4;
    TLabel* LbBlocos;
    TProgressBar* BarraSts;
    TLabel* Label5;
    TLabel* LbSerial;
    TTabControl* TabControl1;
    TLabel* Label6;
    TLabel* Label7;
    TLabel* Label8;
    TMemo* Memo1;
    TMemo* Memo2;
    std::unique_ptr<TComPort> ComPort1;
    TComLed* ComLed1;

    // Handlers.
    void FormCreate(TComponent* sender);
    void FormClose(TComponent* sender);
    void TabControl1Change(TComponent* sender);
    void BtSerialClick(TComponent* sender);
    void ComPort1AfterOpen(TComponent* sender);
    void ComPort1BeforeClose(TComponent* sender);
    void ComPort1RxChar(TComponent* sender, int count);

    UpdateController& Controller() { return *controller_; }

private:
    class View;

    void CreateControls();
    // "Abrir" opens only a port the technician can see chosen; "Fechar" always closes.
    void ShowOpenable();
    // Closes the port and puts the window back as before "Abrir". A purge or abort that fails
    // (the adapter is gone) is handed back; the port is closed all the same.
    std::exception_ptr ClosePort();
    void LoadComponents();
    void BindEvents();
    // Runs an entry point the toolkit calls; what escapes it goes to the standard error box.
    template <class F> void RunHandler(F&& handler) noexcept;
    // Applies one stored setting; a failure names the component and the property.
    void ReadProperty(const TComponent& component, const char* property,
                      const std::function<void()>& apply);

    std::unique_ptr<View> view_;
    std::unique_ptr<ComPortLine> line_;
    std::unique_ptr<UpdateController> controller_;
};
