// Saves adapters-list.png into the folder given as the argument: the port list dropped down
// with two USB adapters of a kind, the second one's tooltip showing what the system says about
// it. The adapters are a fake sysfs tree laid out as the kernel lays out FTDI adapters. Run it
// under Xvfb (the list and the tooltip are windows of their own, so the screen is grabbed).
#include "framework/Application.h"
#include "serial/controls/ComPortControls.h"
#include "updater/Unit1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QToolTip>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void Settle() {
    for (int i = 0; i < 30; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

void Adapter(const fs::path& root, const std::string& tty, const std::string& bus,
             const std::string& serial) {
    fs::path usb = root / "devices" / "usb1" / bus;
    fs::path port = usb / (bus + ":1.0") / tty;
    fs::create_directories(port);
    fs::create_directories(root / "drivers" / "ftdi_sio");
    fs::create_directory_symlink(root / "drivers" / "ftdi_sio", port / "driver");
    std::ofstream(port / "latency_timer") << "1\n";
    for (auto [file, text] : {std::pair{"idVendor", "0403"},
                              {"idProduct", "6001"},
                              {"manufacturer", "FTDI"},
                              {"product", "FT232R USB UART"}})
        std::ofstream(usb / file) << text << "\n";
    std::ofstream(usb / "serial") << serial << "\n";
    fs::create_directories(root / "class" / tty);
    fs::create_directory_symlink(port, root / "class" / tty / "device");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: adapters_screenshot FOLDER\n");
        return 2;
    }
    char pattern[] = "/tmp/quorvel-adapters-XXXXXX";
    fs::path root = mkdtemp(pattern);
    Adapter(root, "ttyUSB0", "1-1", "A10342");
    Adapter(root, "ttyUSB1", "1-2", "A9KXQ2VB");
    fs::create_directories(root / "dev");
    SetPortListFolders((root / "class").string(), (root / "dev").string());

    int status = 0;
    {
        TApplication app(argc, argv);
        app.SetTitle("Atualizador Quorvel");
        TForm1 form;
        form.show();
        Settle();
        TComComboBox& box = *form.ComComboBox1;
        box.SetText("ttyUSB1");
        box.showPopup();
        Settle();
        QAbstractItemView* list = box.view();
        QModelIndex second = list->model()->index(1, 0);
        QRect item = list->visualRect(second);
        QPoint at = list->viewport()->mapToGlobal(item.center() + QPoint(0, item.height()));
        QToolTip::showText(at, second.data(Qt::ToolTipRole).toString(), list->viewport());
        Settle();
        // Everything on screen around the window: the window, the open list and the tooltip.
        QRect area = form.frameGeometry();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                area = area.united(w->frameGeometry());
        area.adjust(-4, -4, 4, 4);
        QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                    area.width(), area.height());
        QString file = QDir(QString::fromLocal8Bit(argv[1])).filePath("adapters-list.png");
        if (shot.isNull() || !shot.save(file)) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            status = 1;
        }
        box.hidePopup();
    }
    ResetPortListFolders();
    fs::remove_all(root);
    return status;
}
