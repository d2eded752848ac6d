// The main window under the offscreen platform, driven with clicks against the board simulator
// on a pseudo-terminal that the port list shows through a link in /dev.
#include "tests/support/LastLine.h"
#include "tests/support/PortTestSupport.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestFiles.h"

#include "framework/Exception.h"
#include "serial/ComBackend.h"
#include "tests/support/SerialServers.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestFiles.h"
#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/OpenFailure.h"
#include "updater/ReplyParser.h"
#include "updater/Unit1.h"
#include "updater/UpdateLog.h"

#include <QElapsedTimer>
#include <QFontInfo>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QColor Rgb(TColor c) {
    return QColor(c.Red, c.Green, c.Blue);
}

std::string Caption(const QAbstractButton* button) {
    return button->text().toStdString();
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Controller = ControllerState{};
        Parser = ReplyParserState{};
        ResetHeaderKey();
    }
    void TearDown() override { ResetPortListFolders(); }

    std::unique_ptr<TForm1> ShowForm() {
        auto form = std::make_unique<TForm1>();
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form;
    }

    static void Click(QWidget* widget) {
        ASSERT_TRUE(widget->isVisible() && widget->isEnabled());
        QTest::mouseClick(widget, Qt::LeftButton);
    }

    static void ClickTab(TForm1& form, int index) {
        QTest::mouseClick(form.TabControl1, Qt::LeftButton, {},
                          form.TabControl1->tabRect(index).center());
        ASSERT_EQ(form.TabControl1->TabIndex(), index);
    }

    // The user picks `name` in the drop-down with the arrow keys.
    static void PickPort(TForm1& form, const std::string& name) {
        TComComboBox* box = form.ComComboBox1;
        int target = box->findText(QString::fromStdString(name));
        ASSERT_GE(target, 0) << name << " is not listed";
        box->setFocus();
        // Land on the entry by moving onto it, as a user would.
        if (box->currentIndex() == target && box->count() > 1)
            QTest::keyClick(box, target > 0 ? Qt::Key_Up : Qt::Key_Down);
        while (box->currentIndex() > target)
            QTest::keyClick(box, Qt::Key_Up);
        while (box->currentIndex() < target)
            QTest::keyClick(box, Qt::Key_Down);
        ASSERT_EQ(box->Text(), name);
    }

    static bool Visible(QWidget* w) { return w->isVisible(); }
};

TEST_F(WindowTest, LayoutTextsAndInitialState) {
    auto form = ShowForm();
    TForm1& f = *form;
    EXPECT_EQ(f.windowTitle().toStdString(), "Atualizador Quorvel");
    EXPECT_EQ(f.size(), QSize(299, 194));
    EXPECT_EQ(f.minimumSize(), QSize(299, 194));
    EXPECT_EQ(f.maximumSize(), QSize(299, 194));
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(f.windowIcon().availableSizes().contains(QSize(32, 32)));
    QRect screen = f.screen()->availableGeometry();
    EXPECT_LE(std::abs(f.frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(f.frameGeometry().center().y() - screen.center().y()), 1);

    struct Place {
        QWidget* Widget;
        QWidget* Parent;
        QRect Rect;
    };
    // Labels that size themselves keep their left and top edge and their height.
    const std::vector<Place> fixed = {
        {f.TabControl1, &f, {5, 5, 291, 186}},
        {f.GroupBox1, &f, {10, 30, 281, 156}},
        {f.Memo1, &f, {10, 35, 281, 151}},
        {f.Memo2, &f, {10, 35, 281, 151}},
        {f.GrupoSerial, &f, {10, 30, 281, 156}},
        {f.ComComboBox1, f.GrupoSerial, {90, 65, 61, 21}},
        {f.ComLed1, f.GrupoSerial, {157, 64, 25, 25}},
        {f.BtSerial, f.GrupoSerial, {90, 90, 96, 21}},
        {f.Label6, f.GrupoSerial, {45, 135, 194, 13}},
        {f.BtConecta, f.GroupBox1, {25, 20, 86, 21}},
        {f.LbStatus, f.GroupBox1, {135, 33, 136, 13}},
        {f.BtInicia, f.GroupBox1, {70, 100, 151, 21}},
        {f.BarraSts, f.GroupBox1, {10, 130, 261, 17}},
    };
    for (const Place& p : fixed) {
        EXPECT_EQ(p.Widget->parentWidget(), p.Parent) << p.Widget->metaObject()->className();
        EXPECT_EQ(p.Widget->geometry(), p.Rect) << p.Widget->metaObject()->className();
    }
    const std::vector<Place> sized = {
        {f.Label8, f.GrupoSerial, {35, 20, 0, 13}}, {f.Label7, f.GrupoSerial, {80, 45, 0, 13}},
        {f.Label1, f.GroupBox1, {160, 15, 0, 16}},  {f.LbPlaca, f.GroupBox1, {215, 15, 0, 16}},
        {f.Label2, f.GroupBox1, {10, 60, 0, 13}},   {f.LbVersao1, f.GroupBox1, {95, 60, 0, 13}},
        {f.Label5, f.GroupBox1, {160, 60, 0, 13}},  {f.LbSerial, f.GroupBox1, {225, 60, 0, 13}},
        {f.Label3, f.GroupBox1, {10, 80, 0, 13}},   {f.LbVersao2, f.GroupBox1, {95, 80, 0, 13}},
        {f.Label4, f.GroupBox1, {160, 80, 0, 13}},  {f.LbBlocos, f.GroupBox1, {225, 80, 0, 13}},
    };
    for (const Place& p : sized) {
        auto* label = static_cast<TLabel*>(p.Widget);
        EXPECT_EQ(label->parentWidget(), p.Parent) << label->Caption();
        EXPECT_EQ(label->pos(), p.Rect.topLeft()) << label->Caption();
        EXPECT_EQ(label->height(), p.Rect.height()) << label->Caption();
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
            << label->Caption();
    }

    // Texts after start-up.
    EXPECT_EQ(f.Label8->Caption(), "SIMULADOR DE BOMBAS QUORVEL");
    EXPECT_EQ(f.Label7->Caption(), "Selecione a porta serial:");
    EXPECT_EQ(f.Label6->Caption(), "Quorvel");
    EXPECT_EQ(Caption(f.BtSerial), "Abrir");
    EXPECT_EQ(Caption(f.BtConecta), "Conectar");
    EXPECT_EQ(Caption(f.BtInicia), "Iniciar Atualização");
    EXPECT_EQ(f.Label1->Caption(), "Placa:");
    EXPECT_EQ(f.LbPlaca->Caption(), "-");
    EXPECT_EQ(f.LbStatus->Caption(), "");
    EXPECT_EQ(f.Label2->Caption(), "Versão atual:");
    EXPECT_EQ(f.LbVersao1->Caption(), "-");
    EXPECT_EQ(f.Label5->Caption(), "Nº  Série:");
    EXPECT_EQ(f.LbSerial->Caption(), "-");
    EXPECT_EQ(f.Label3->Caption(), "Nova versão:");
    EXPECT_EQ(f.LbVersao2->Caption(), "V4.5 M1.0");
    EXPECT_EQ(f.Label4->Caption(), "Registros:");
    EXPECT_EQ(f.LbBlocos->Caption(), std::to_string(BlockCount));
    EXPECT_GT(BlockCount, 0);

    // Fonts and colours.
    EXPECT_EQ(f.font().pointSize(), 8);
    EXPECT_TRUE(f.Label1->font().bold());
    EXPECT_EQ(f.Label1->font().pointSize(), 10);
    EXPECT_FALSE(f.LbPlaca->font().bold());
    EXPECT_EQ(f.LbPlaca->font().pointSize(), 10);
    for (TLabel* bold : {f.Label2, f.Label3, f.Label4, f.Label5}) {
        EXPECT_TRUE(bold->font().bold()) << bold->Caption();
        EXPECT_EQ(bold->font().pointSize(), 8);
    }
    EXPECT_FALSE(f.LbVersao1->font().bold());
    EXPECT_EQ(f.LbStatus->FontColor(), Rgb(clStatusBlue));
    EXPECT_TRUE(f.LbStatus->alignment() & Qt::AlignHCenter);

    // State: first tab and its panel, port closed, tick running.
    EXPECT_EQ(f.TabControl1->count(), 4);
    const char* tabs[] = {"Porta serial", "Atualização", "Log de alterações", "Ajuda"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(f.TabControl1->tabText(i).toStdString(), tabs[i]);
        EXPECT_LE(f.TabControl1->tabRect(i).right(), f.TabControl1->width() - 1)
            << "every tab fits in the strip";
    }
    EXPECT_EQ(f.TabControl1->TabIndex(), 0);
    EXPECT_TRUE(Visible(f.GrupoSerial));
    EXPECT_FALSE(Visible(f.GroupBox1) || Visible(f.Memo1) || Visible(f.Memo2));
    EXPECT_TRUE(f.ComComboBox1->isEnabled());
    EXPECT_FALSE(f.BtConecta->isEnabled());
    EXPECT_FALSE(f.BtInicia->isEnabled());
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_EQ(f.ComPort1->Port(), "COM1");
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_EQ(f.ComLed1->Kind(), lkGreenLight);
    EXPECT_EQ(f.ComLed1->ComPort(), nullptr);
    EXPECT_TRUE(f.Timeout->Enabled());
    EXPECT_EQ(f.Timeout->Interval(), 100);
    EXPECT_EQ(f.BarraSts->minimum(), 0);
    EXPECT_EQ(f.BarraSts->maximum(), 100);
    EXPECT_EQ(f.BarraSts->Step(), 1);
    EXPECT_EQ(f.ComComboBox1->ComPort(), f.ComPort1.get());
    EXPECT_EQ(f.ComComboBox1->ComProperty(), cpPort);
    EXPECT_TRUE(f.ComComboBox1->AutoApply());

    // The port's design settings.
    EXPECT_EQ(f.ComPort1->BaudRate(), br9600);
    EXPECT_EQ(f.ComPort1->DataBits(), dbEight);
    EXPECT_EQ(f.ComPort1->StopBits(), sbOneStopBit);
    EXPECT_EQ(f.ComPort1->Parity().Bits(), prNone);
    EXPECT_EQ(f.ComPort1->Events(), AllComEvents);
    EXPECT_EQ(f.ComPort1->FlowControl().ControlDTR(), dtrEnable);
    EXPECT_EQ(f.ComPort1->FlowControl().ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.ComPort1->Loading());

    // Tab order through both panels, the strip, then the two texts.
    std::vector<QWidget*> chain = {f.ComComboBox1, f.BtSerial, f.BtInicia, f.BtConecta,
                                   f.TabControl1,  f.Memo1,    f.Memo2};
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        QWidget* next = chain[i]->nextInFocusChain();
        while (next && next->focusPolicy() == Qt::NoFocus && next != chain[i + 1])
            next = next->nextInFocusChain();
        EXPECT_EQ(next, chain[i + 1]) << i;
    }
}

// The window was laid out in pixels for a narrow 8-point sans; with the font it uses every text
// must still sit inside the box drawn for it.
TEST_F(WindowTest, EveryTextStaysInsideItsBox) {
    auto form = ShowForm();
    TForm1& f = *form;
    ASSERT_EQ(QFontInfo(f.font()).family().toStdString(), "Liberation Sans Narrow")
        << "the window's font is missing (Debian: fonts-liberation)";

    auto advance = [](const QWidget* w, const std::string& text) {
        return w->fontMetrics().horizontalAdvance(QString::fromStdString(text));
    };
    // Designed widths; each label with its layout text and the text it shows after start-up.
    const struct {
        TLabel* Label;
        int Width;
        std::string Layout;
    } labels[] = {
        {f.Label8, 207, "SIMULADOR DE BOMBAS QUORVEL"},
        {f.Label7, 113, "Selecione a porta serial:"},
        {f.Label6, 194, "Quorvel"},
        {f.Label1, 45, "Placa:"},
        {f.LbPlaca, 4, "-"},
        {f.LbStatus, 136, "------------"},
        {f.Label2, 76, "Versão atual:"},
        {f.LbVersao1, 49, "V1.1 M1.1"},
        {f.Label5, 56, "Nº  Série:"},
        {f.LbSerial, 30, "xxxxxx"},
        {f.Label3, 77, "Nova versão:"},
        {f.LbVersao2, 49, "V1.1 M1.1"},
        {f.Label4, 58, "Registros:"},
        {f.LbBlocos, 15, "xxx"},
    };
    for (const auto& l : labels) {
        EXPECT_LE(advance(l.Label, l.Layout), l.Width) << l.Layout;
        EXPECT_LE(advance(l.Label, l.Label->Caption()), l.Width) << l.Label->Caption();
    }
    for (const std::string status : {"Comunicação  OK", "SEM RESPOSTA", "Atualizando  999/999"})
        EXPECT_LE(advance(f.LbStatus, status), f.LbStatus->width()) << status;

    for (QPushButton* button : {f.BtSerial, f.BtConecta, f.BtInicia})
        EXPECT_LE(button->sizeHint().width(), button->width()) << Caption(button);
    f.BtSerial->setText(QStringLiteral("Fechar"));
    EXPECT_LE(f.BtSerial->sizeHint().width(), f.BtSerial->width());
    f.BtSerial->setText(QStringLiteral("Abrir"));

    // The closed selector shows whole port names.
    QStyleOptionComboBox box;
    box.initFrom(f.ComComboBox1);
    box.editable = false;
    box.frame = true;
    const int field = f.ComComboBox1->style()
                          ->subControlRect(QStyle::CC_ComboBox, &box, QStyle::SC_ComboBoxEditField,
                                           f.ComComboBox1)
                          .width();
    for (const std::string port : {"ttyUSB0", "ttyACM0", "ttyS0"})
        EXPECT_LE(advance(f.ComComboBox1, port), field) << port;

    // Both texts read without sideways scrolling.
    for (int tab : {2, 3}) {
        ClickTab(f, tab);
        TMemo* memo = tab == 2 ? f.Memo1 : f.Memo2;
        QCoreApplication::processEvents();
        EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0) << "tab " << tab;
    }
}

TEST_F(WindowTest, TheChangeLogAndTheHelpText) {
    auto form = ShowForm();
    TMemo& log = *form->Memo1;
    TMemo& help = *form->Memo2;
    EXPECT_TRUE(log.isReadOnly());
    EXPECT_TRUE(help.isReadOnly());
    EXPECT_EQ(log.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    ASSERT_EQ(log.LineCount(), 99);
    EXPECT_EQ(log.Line(0), "Versão 1.0 (01/09/2009)");
    EXPECT_EQ(log.Line(1), "    - Versão inicial (não atualizável)");
    EXPECT_EQ(log.Line(2), "");
    EXPECT_EQ(log.Line(97), std::string(65, '-'));
    EXPECT_EQ(log.Line(98), "Versão do software atualizador: 1.0 - 26/01/2010");
    EXPECT_EQ(log.Line(96), "");
    EXPECT_EQ(log.Line(95), "      encerrante com 2 casas decimais");
    EXPECT_EQ(log.Line(94), "    - Corrigido bug no de incremento no");
    EXPECT_EQ(log.Line(93), "Versão 4.5 (23/03/2022)");
    // Every entry: a heading, change lines, an empty line; oldest first.
    const char* versions[] = {"1.0", "2.0", "2.1", "2.2", "2.3", "3.0", "3.1",
                              "3.2", "3.3", "3.4", "3.5", "3.6", "3.7", "3.8",
                              "3.9", "4.0", "4.1", "4.2", "4.3", "4.4", "4.5"};
    size_t entry = 0;
    for (int i = 0; i < 97; ++i) {
        std::string line = log.Line(i);
        if (line.rfind("Versão ", 0) == 0) {
            ASSERT_LT(entry, std::size(versions));
            std::string heading = std::string("Versão ") + versions[entry] + " (";
            EXPECT_EQ(line.substr(0, heading.size()), heading) << i;
            EXPECT_EQ(log.Line(i + 1).substr(0, 6), "    - ") << i;
            ++entry;
        } else if (!line.empty()) {
            EXPECT_TRUE(line.rfind("    - ", 0) == 0 || line.rfind("      ", 0) == 0) << i;
        }
    }
    EXPECT_EQ(entry, std::size(versions));

    ASSERT_EQ(help.LineCount(), 56);
    const std::vector<std::pair<int, std::string>> quoted = {
        {0, "Procedimento para atualização:"},
        {1, ""},
        {3, "Somente placas a partir da versão 2.0 podem ser "},
        {11, "serial', selecionar a porta utilizada na lista disponível, e "},
        {18, "II - Ligar o simulador com a tecla 'Dígito' já "},
        {24, "'Comunicação OK'. Caso contrário, aparecerá 'SEM "},
        {28, "Caso esteja tudo correto, basta clicar no botão 'Iniciar "},
        {40, "utilizando a segunda maneira citada acima."},
        {42, "6) Suporte técnico:"},
        {43, ""},
    };
    for (const auto& [index, text] : quoted)
        EXPECT_EQ(help.Line(index), text) << index;
    EXPECT_EQ(help.Line(44), "A respeito do hardware do simulador:");
}

TEST_F(WindowTest, EachTabShowsExactlyItsPanel) {
    auto form = ShowForm();
    QWidget* panels[] = {form->GrupoSerial, form->GroupBox1, form->Memo1, form->Memo2};
    for (int tab : {1, 2, 3, 0, 3}) {
        ClickTab(*form, tab);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(Visible(panels[i]), i == tab) << "tab " << tab << " panel " << i;
    }
    // No tab selected: nothing changes.
    form->TabControl1Change(form.get());
    EXPECT_TRUE(Visible(form->Memo2));
}

TEST_F(WindowTest, AWholeUpdateThroughTheWindow) {
    SimulatedBoard board;
    DevLink link(board.SlavePath());
    ASSERT_TRUE(link.Made()) << "the test makes a link in /dev (run as root)";
    auto form = ShowForm();
    TForm1& f = *form;
    BoxCloser closer;

    PickPort(f, link.Name());
    EXPECT_EQ(f.ComPort1->Port(), link.Name()) << "a pick writes the port";
    Click(f.BtSerial);
    EXPECT_EQ(Caption(f.BtSerial), "Fechar");
    EXPECT_TRUE(f.ComPort1->Connected());
    EXPECT_EQ(f.ComLed1->State(), lsOn);
    EXPECT_FALSE(f.ComComboBox1->isEnabled());
    EXPECT_TRUE(f.BtConecta->isEnabled());
    EXPECT_TRUE(closer.Seen().empty());

    ClickTab(f, 1);
    Click(f.BtConecta);
    EXPECT_FALSE(f.BtConecta->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return f.LbStatus->Caption() == "Comunicação  OK"; }));
    EXPECT_EQ(f.LbStatus->FontColor(), Rgb(clStatusBlue));
    EXPECT_EQ(f.LbPlaca->Caption(), "KX27");
    EXPECT_EQ(f.LbVersao1->Caption(), "V4.4 M1.0");
    EXPECT_EQ(f.LbSerial->Caption(), "A10342");
    EXPECT_FALSE(f.BtConecta->isEnabled());
    EXPECT_TRUE(f.BtInicia->isEnabled());

    Click(f.BtInicia);
    EXPECT_EQ(f.LbStatus->Caption().rfind("Atualizando  ", 0), 0u);
    EXPECT_EQ(f.LbStatus->FontColor(), Rgb(clStatusGreen));
    EXPECT_EQ(f.BarraSts->maximum(), BlockCount);
    EXPECT_FALSE(f.BtInicia->isEnabled());

    // Switching tabs while blocks go out does not disturb the transfer.
    ASSERT_TRUE(WaitFor([&] { return f.BarraSts->value() >= BlockCount / 4; }, 60s));
    ClickTab(f, 2);
    ClickTab(f, 3);
    ClickTab(f, 0);
    int seen = f.BarraSts->value();
    ASSERT_TRUE(WaitFor([&] { return f.BarraSts->value() > seen || !closer.Seen().empty(); }));
    ClickTab(f, 1);
    if (closer.Seen().empty()) {
        std::string text = f.LbStatus->Caption();
        EXPECT_EQ(text, "Atualizando  " + std::to_string(Controller.Transfer.BlocksSent) + "/" +
                            std::to_string(BlockCount));
        EXPECT_EQ(f.BarraSts->value(), Controller.Transfer.BlocksSent);
    }

    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 120s));
    ASSERT_EQ(closer.Texts(), std::vector<std::string>{
                                  "Atualização concluída. Desligue a placa e ligue novamente."});
    EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::NoIcon);
    EXPECT_EQ(f.LbStatus->Caption(), "");
    EXPECT_EQ(f.LbPlaca->Caption(), "-");
    EXPECT_EQ(f.LbVersao1->Caption(), "-");
    EXPECT_EQ(f.LbSerial->Caption(), "-");
    EXPECT_EQ(f.BarraSts->value(), 0);
    EXPECT_TRUE(f.BtConecta->isEnabled());
    EXPECT_FALSE(f.BtInicia->isEnabled());
    EXPECT_FALSE(f.Timeout->Enabled());
    EXPECT_EQ(Controller.Transfer.BlocksSent, BlockCount);
    // The service record of this transfer is the log's last line.
    const std::string last = LastLine(DefaultUpdateLogPath());
    for (const std::string& field :
         {R"("port":")" + link.Name() + '"', std::string(R"("board":"KX27","serial":"A10342")"),
          std::string(R"("firmware_before":"4.4","monitor":"1.0","firmware_written":"4.5")"),
          R"("blocks":)" + std::to_string(BlockCount), std::string(R"("result":"completed")")})
        EXPECT_NE(last.find(field), std::string::npos) << field << " in " << last;

    ClickTab(f, 0);
    Click(f.BtSerial);
    EXPECT_EQ(Caption(f.BtSerial), "Abrir");
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    const boardsim::Board& flashed = board.Finish();
    EXPECT_EQ(flashed.Memory(), BuiltInImageBytes());
    EXPECT_EQ(flashed.Stats().Completions, 1u);
}

// A board behind ser2net on the loopback, picked by its name from ports.conf: connected and
// updated through the window as a local one; then, with the server killed mid-transfer, one
// error box whose advice says what happened to the network port.
TEST_F(WindowTest, AWholeUpdateThroughANamedNetworkPortAndTheServerLost) {
    SimulatedBoard board, second;
    Ser2Net server(board.SlavePath()), secondServer(second.SlavePath());
    ASSERT_TRUE(server.Running() && secondServer.Running());
    PortsConfFile conf("Bancada 1 = " + server.Url() + "\nBancada 2 = " + secondServer.Url() +
                       "\n");
    auto form = ShowForm();
    TForm1& f = *form;
    BoxCloser closer;

    PickPort(f, "Bancada 1");
    EXPECT_EQ(f.ComPort1->Port(), server.Url());
    Click(f.BtSerial);
    ASSERT_TRUE(f.ComPort1->Connected());
    ClickTab(f, 1);
    Click(f.BtConecta);
    ASSERT_TRUE(WaitFor([&] { return f.LbStatus->Caption() == "Comunicação  OK"; }));
    EXPECT_EQ(f.LbSerial->Caption(), "A10342");
    Click(f.BtInicia);
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 120s));
    ASSERT_EQ(closer.Texts(), std::vector<std::string>{
                                  "Atualização concluída. Desligue a placa e ligue novamente."});
    EXPECT_EQ(board.Finish().Memory(), BuiltInImageBytes());

    // Another bench, whose server goes away while blocks go out.
    ClickTab(f, 0);
    Click(f.BtSerial); // closes
    PickPort(f, "Bancada 2");
    Click(f.BtSerial);
    ASSERT_TRUE(f.ComPort1->Connected());
    ClickTab(f, 1);
    Click(f.BtConecta);
    ASSERT_TRUE(WaitFor([&] { return f.BtInicia->isEnabled() && Controller.BoardReady; }));
    const size_t boxes = closer.Seen().size();
    Click(f.BtInicia);
    ASSERT_TRUE(WaitFor([&] { return f.BarraSts->value() >= 5; }));
    secondServer.Kill();
    ASSERT_TRUE(WaitFor(
        [&] {
            for (size_t i = boxes; i < closer.Seen().size(); ++i)
                if (closer.Seen()[i].Icon == QMessageBox::Critical)
                    return true;
            return false;
        },
        30s));
    int errorBoxes = 0;
    for (size_t i = boxes; i < closer.Seen().size(); ++i) {
        const SeenBox& box = closer.Seen()[i];
        if (box.Icon != QMessageBox::Critical)
            continue;
        ++errorBoxes;
        const std::string advice = box.Text.substr(box.Text.find('\n') + 1);
        EXPECT_NE(advice.find("porta de rede"), std::string::npos) << box.Text;
        EXPECT_NE(advice.find("Dígito"), std::string::npos) << box.Text;
    }
    EXPECT_EQ(errorBoxes, 1);
    f.Timeout->SetEnabled(false);
}

// A bench over TLS whose certificate this PC does not trust: one box, its second line the same
// advice the flasher gives.
TEST_F(WindowTest, ATlsPortWithAnUntrustedCertificateSaysSo) {
    SimulatedBoard board;
    TestCertificates certs;
    ASSERT_TRUE(certs.Made());
    Ser2Net server(board.SlavePath(), 0, certs.Accepter("good", false));
    ASSERT_TRUE(server.Running());
    PortsConfFile conf("Bancada TLS = " + server.Url() + "\n");
    auto form = ShowForm();
    BoxCloser closer;
    PickPort(*form, "Bancada TLS");
    Click(form->BtSerial);
    ASSERT_EQ(closer.Texts().size(), 1u);
    EXPECT_EQ(closer.Texts()[0],
              "Erro ao abrir porta Bancada TLS!\n" + OpenFailureCause(ComTlsUnknownIssuerError));
    EXPECT_TRUE(Has(closer.Texts()[0], "emissor desconhecido")) << closer.Texts()[0];
    EXPECT_FALSE(form->ComPort1->Connected());
}

TEST_F(WindowTest, OpenOpensThePortTheSelectorShows) {
    Pty pty;
    DevLink link(pty.SlavePath());
    ASSERT_TRUE(link.Made());
    auto form = ShowForm();
    // Shown without a pick: the component still names its own port.
    form->ComComboBox1->SetText(link.Name());
    ASSERT_EQ(form->ComPort1->Port(), "COM1");
    BoxCloser closer;
    Click(form->BtSerial);
    EXPECT_TRUE(closer.Seen().empty());
    EXPECT_TRUE(form->ComPort1->Connected());
    EXPECT_EQ(form->ComPort1->Port(), link.Name());
    form->ComPort1->WriteStr("ok");
    EXPECT_TRUE(WaitFor([&] { return pty.Take() == "ok"; }, 5s));
}

TEST_F(WindowTest, APortThatCannotBeOpenedIsReported) {
    Pty pty, other;
    DevLink held(pty.SlavePath()), free(other.SlavePath());
    ASSERT_TRUE(held.Made() && free.Made());
    TComPort holder; // another program has the port
    holder.SetPort(held.Name());
    holder.Open();
    auto form = ShowForm();
    TForm1& f = *form;
    BoxCloser closer;

    f.ComComboBox1->SetText(held.Name());
    Click(f.BtSerial);
    ASSERT_EQ(closer.Texts(), std::vector<std::string>{"Erro ao abrir porta " + held.Name() +
                                                       "!\n" + OpenFailureCause(EBUSY)});
    EXPECT_EQ(closer.Seen()[0].Title, "Atualizador Quorvel");
    EXPECT_EQ(Caption(f.BtSerial), "Abrir");
    EXPECT_TRUE(f.ComComboBox1->isEnabled());
    EXPECT_FALSE(f.BtConecta->isEnabled());
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_FALSE(f.ComPort1->Connected());

    // "Abrir" while the component is already open closes it and opens again; when that
    // fails the message has no "!" and the port stays closed.
    std::vector<TLedState> lamp;
    f.ComLed1->OnChange = [&](TComponent*, TLedState s) { lamp.push_back(s); };
    f.ComPort1->SetPort(free.Name());
    f.ComPort1->Open();
    ASSERT_EQ(f.ComLed1->State(), lsOn);
    Click(f.BtSerial);
    ASSERT_EQ(closer.Texts().size(), 2u);
    EXPECT_EQ(closer.Texts()[1],
              "Erro ao abrir porta " + held.Name() + "\n" + OpenFailureCause(EBUSY));
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_EQ(lamp, (std::vector<TLedState>{lsOn, lsOff}));
    EXPECT_EQ(Caption(f.BtSerial), "Abrir");

    // A reopen that works: the lamp goes off and on again.
    lamp.clear();
    EXPECT_EQ(f.ComPort1->Port(), held.Name()) << "the failed open tried the shown port";
    f.ComPort1->SetPort(free.Name());
    f.ComPort1->Open();
    f.ComComboBox1->SetText(free.Name());
    Click(f.BtSerial);
    EXPECT_EQ(closer.Texts().size(), 2u);
    EXPECT_TRUE(f.ComPort1->Connected());
    EXPECT_EQ(lamp, (std::vector<TLedState>{lsOn, lsOff, lsOn}));
    EXPECT_EQ(Caption(f.BtSerial), "Fechar");
}

// Runs `action` as the user nobody when the suite runs as root, so that file modes count;
// false when the effective user cannot be changed here.
bool AsUnprivileged(const std::function<void()>& action) {
    if (geteuid() != 0) {
        action();
        return true;
    }
    if (setegid(65534) != 0)
        return false;
    if (seteuid(65534) != 0) {
        EXPECT_EQ(setegid(0), 0);
        return false;
    }
    action();
    EXPECT_EQ(seteuid(0), 0);
    EXPECT_EQ(setegid(0), 0);
    return true;
}

// The first line stays as it always was; the second tells the technician what to do.
TEST_F(WindowTest, AnOpenFailureSaysWhyOnItsSecondLine) {
    enum Situation { Held, Unplugged, NoPermission };
    const struct {
        Situation What;
        std::vector<std::string> Says;
    } cases[] = {
        {Held, {"em uso por outro programa"}},
        {Unplugged, {"não existe", "reconecte o adaptador"}},
        {NoPermission, {"sudo adduser $USER dialout", "saia e entre novamente na sessão"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Pty pty;
        DevLink link(pty.SlavePath());
        ASSERT_TRUE(link.Made());
        TComPort holder;
        if (c.What == Held) {
            holder.SetPort(link.Name());
            holder.Open();
        } else if (c.What == NoPermission) {
            ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0), 0);
        }
        auto form = ShowForm();
        form->ComComboBox1->SetText(link.Name());
        ASSERT_EQ(form->ComComboBox1->Text(), link.Name());
        if (c.What == Unplugged)
            pty.CloseMaster(); // listed a moment ago; its device node goes with the master
        BoxCloser closer;
        auto click = [&] { Click(form->BtSerial); };
        if (c.What != NoPermission)
            click();
        else if (!AsUnprivileged(click))
            GTEST_SKIP() << "cannot open the port as an unprivileged user here";
        ASSERT_EQ(closer.Texts().size(), 1u);
        const std::string text = closer.Texts()[0];
        const std::string first = "Erro ao abrir porta " + link.Name() + "!\n";
        ASSERT_EQ(text.substr(0, first.size()), first);
        EXPECT_EQ(text.find('\n', first.size()), std::string::npos) << text;
        for (const std::string& words : c.Says)
            EXPECT_NE(text.find(words, first.size()), std::string::npos) << text;
        EXPECT_FALSE(form->ComPort1->Connected());
    }
}

// A PC with no serial port yet (a laptop before its adapter is plugged in) is a normal state:
// the window comes up with an empty list, and "Abrir" waits for a port to choose.
TEST_F(WindowTest, WithNoPortListedTheWindowWaitsForOne) {
    FakePortTree empty({});
    const struct {
        const char* Case;
        std::string ClassDir, DevDir;
    } cases[] = {
        {"sources empty", empty.ClassDir(), empty.DevDir()},
        {"no source at all", "/nonexistent/quorvel/class", "/nonexistent/quorvel/dev"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        SetPortListFolders(c.ClassDir, c.DevDir);
        BoxCloser closer;
        auto form = ShowForm();
        EXPECT_EQ(form->ComComboBox1->count(), 0);
        EXPECT_EQ(form->ComComboBox1->Text(), "");
        EXPECT_FALSE(form->BtSerial->isEnabled());
        QTest::mouseClick(form->BtSerial, Qt::LeftButton);
        form->BtSerialClick(form.get()); // even called directly, nothing is opened
        EXPECT_FALSE(form->ComPort1->Connected());
        EXPECT_TRUE(closer.Seen().empty());

        // The adapter is plugged in: the list drops down with it, and it can be opened.
        Pty pty;
        DevLink link(pty.SlavePath());
        ASSERT_TRUE(link.Made());
        ResetPortListFolders();
        form->ComComboBox1->showPopup();
        form->ComComboBox1->hidePopup();
        EXPECT_FALSE(form->ComComboBox1->Text().empty());
        EXPECT_TRUE(form->BtSerial->isEnabled());
        PickPort(*form, link.Name()); // other programs' ports may be listed too
        Click(form->BtSerial);
        EXPECT_TRUE(form->ComPort1->Connected());
        EXPECT_EQ(form->ComPort1->Port(), link.Name());
        EXPECT_TRUE(closer.Seen().empty());
    }
}

TEST_F(WindowTest, ClosingThePortDuringATransferStopsItAndEndsTheTransfer) {
    boardsim::SimulatorOptions options;
    options.Pace = true; // slow enough to close in the middle
    SimulatedBoard board(options);
    DevLink link(board.SlavePath());
    ASSERT_TRUE(link.Made());
    auto form = ShowForm();
    TForm1& f = *form;
    BoxCloser closer;
    f.ComComboBox1->SetText(link.Name());
    Click(f.BtSerial);
    ClickTab(f, 1);
    Click(f.BtConecta);
    ASSERT_TRUE(WaitFor([&] { return f.BtInicia->isEnabled() && Controller.BoardReady; }));
    Click(f.BtInicia);
    ASSERT_TRUE(WaitFor([&] { return Controller.Transfer.BlocksSent >= 3; }));

    ClickTab(f, 0);
    Click(f.BtSerial); // "Fechar"
    EXPECT_EQ(Caption(f.BtSerial), "Abrir");
    EXPECT_FALSE(f.ComPort1->Connected());
    EXPECT_EQ(f.ComLed1->State(), lsOff);
    EXPECT_TRUE(f.ComComboBox1->isEnabled());
    EXPECT_FALSE(f.BtConecta->isEnabled());
    EXPECT_FALSE(f.BtInicia->isEnabled());
    EXPECT_FALSE(f.Timeout->Enabled());
    EXPECT_EQ(f.LbPlaca->Caption(), "-");
    EXPECT_EQ(f.LbStatus->Caption(), "");
    EXPECT_EQ(f.LbVersao1->Caption(), "-");
    EXPECT_EQ(f.LbVersao2->Caption(), "V4.5 M1.0");
    EXPECT_EQ(f.LbSerial->Caption(), "-");
    EXPECT_EQ(f.BarraSts->value(), 0);
    EXPECT_EQ(f.BarraSts->maximum(), BlockCount) << "the maximum stays";
    EXPECT_EQ(Controller.AckWaitTicks, 0);
    EXPECT_FALSE(Controller.BoardReady);
    EXPECT_FALSE(Controller.Updating) << "status replies count again after the next open";
    WaitFor([] { return false; }, 300ms);
    EXPECT_TRUE(closer.Seen().empty()) << "nothing fires once the port is closed";
}

TEST_F(WindowTest, ClosingTheWindowClosesAnOpenPortFirst) {
    Pty pty;
    DevLink link(pty.SlavePath());
    ASSERT_TRUE(link.Made());
    auto form = ShowForm();
    std::vector<TLedState> lamp;
    form->ComLed1->OnChange = [&](TComponent*, TLedState s) { lamp.push_back(s); };

    // Closed port: closing the window does nothing to it.
    form->close();
    EXPECT_TRUE(lamp.empty());
    EXPECT_TRUE(form->Timeout->Enabled());

    form->show();
    form->ComComboBox1->SetText(link.Name());
    Click(form->BtSerial);
    ClickTab(*form, 1);
    Click(form->BtConecta);
    ASSERT_TRUE(form->ComPort1->Connected());
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_FALSE(form->Timeout->Enabled());
    EXPECT_EQ(lamp, (std::vector<TLedState>{lsOn, lsOff}));
    EXPECT_EQ(pty.Take(), "") << "the tick stopped before \"(%B67)\" went out";
}

TEST_F(WindowTest, AFailureWhileReadingTheLayoutNamesTheComponentAndProperty) {
    // A port list that is there but cannot be read (a file where the folder should be).
    TempDir dir;
    std::ofstream(dir / "class") << "not a folder";
    SetPortListFolders(dir / "class", "/nonexistent/quorvel/dev");
    try {
        TForm1 form;
        FAIL() << "the window was built";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "Error reading ComComboBox1.ComProperty: Registry error (win error "
                             "code: " +
                                 std::to_string(ENOTDIR) + ")");
    }
}

// The adapter pulled out (the pty's far side closed) while the board is polled and while
// blocks go out: one error box with the component's message and what to do, the port closed
// before it, and nothing left running to raise another. A transfer ends as a port error.
TEST_F(WindowTest, AnAdapterPulledOutEndsInOneStepWithOneBox) {
    const struct {
        const char* Case;
        bool Transferring;
    } cases[] = {{"while polled", false}, {"during the transfer", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        Controller = ControllerState{};
        Pty pty;
        DevLink link(pty.SlavePath());
        ASSERT_TRUE(link.Made());
        auto form = ShowForm();
        TForm1& f = *form;
        // Error boxes stay open a while, as for a user reading them; others close at once.
        int mostOpen = 0;
        QElapsedTimer firstError;
        BoxCloser closer([&](const SeenBox& box) {
            mostOpen = std::max(mostOpen, Application->OpenExceptionBoxes());
            if (box.Icon != QMessageBox::Critical)
                return true;
            if (!firstError.isValid())
                firstError.start();
            return firstError.elapsed() > 1500;
        });
        const std::string logBefore = LastLine(DefaultUpdateLogPath());

        f.ComComboBox1->SetText(link.Name());
        Click(f.BtSerial);
        ClickTab(f, 1);
        Click(f.BtConecta);
        std::string sent;
        auto waitSent = [&](const char* what) {
            return WaitFor([&] { return (sent += pty.Take()).find(what) != std::string::npos; });
        };
        ASSERT_TRUE(waitSent("(%B67)"));
        pty.Send("(KX27V4.4M1.0)");
        ASSERT_TRUE(waitSent("<S@>"));
        pty.Send("<KX27V4.4M1.0A10342>");
        ASSERT_TRUE(WaitFor([&] { return f.BtInicia->isEnabled() && Controller.BoardReady; }));
        if (c.Transferring) {
            Click(f.BtInicia);
            ASSERT_TRUE(WaitFor([&] { return !pty.Take().empty(); }));
        }
        pty.CloseMaster();

        ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }, 30s));
        // The box is up: everything is already put back behind it.
        EXPECT_FALSE(f.ComPort1->Connected());
        EXPECT_EQ(f.ComLed1->State(), lsOff);
        EXPECT_EQ(Caption(f.BtSerial), "Abrir");
        EXPECT_TRUE(f.BtSerial->isEnabled());
        EXPECT_TRUE(f.ComComboBox1->isEnabled());
        EXPECT_FALSE(f.Timeout->Enabled());
        EXPECT_FALSE(Controller.Updating);
        EXPECT_EQ(Controller.AckWaitTicks, 0) << "no wait left to give up on";
        ASSERT_TRUE(WaitFor([&] { return Application->OpenExceptionBoxes() == 0; }, 30s));
        WaitFor([] { return false; }, 1500ms);

        ASSERT_EQ(closer.Seen().size(), 1u) << closer.Texts().back();
        EXPECT_EQ(mostOpen, 1);
        const SeenBox& box = closer.Seen()[0];
        EXPECT_EQ(box.Icon, QMessageBox::Critical);
        // The component's own message first, then what to do.
        const size_t lineEnd = box.Text.find('\n');
        ASSERT_NE(lineEnd, std::string::npos) << box.Text;
        const std::string code = " failed (win error code: " + std::to_string(EIO) + ")";
        EXPECT_EQ(box.Text.substr(0, lineEnd).rfind(code), lineEnd - code.size()) << box.Text;
        EXPECT_EQ(box.Text.substr(lineEnd + 1),
                  c.Transferring ? TransferFailureCause(EIO) : OpenFailureCause(EIO));

        const std::string record = LastLine(DefaultUpdateLogPath());
        if (!c.Transferring) {
            EXPECT_EQ(record, logBefore) << "no transfer, no record";
            continue;
        }
        EXPECT_NE(record.find(R"("result":"port-error")"), std::string::npos) << record;
        EXPECT_NE(record.find(R"("reason":"port-error: )" + box.Text.substr(0, lineEnd) + '"'),
                  std::string::npos)
            << record;
    }
}

} // namespace
