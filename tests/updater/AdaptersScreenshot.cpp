// Saves two pictures of the port list dropped down into the folder given as the argument: two
// USB adapters of a kind and two benches named in ports.conf after them, with the tooltip of
// the second adapter (adapters-list.png: what the system says about it) and of the first bench
// (remote-ports-list.png: its URL). The adapters are a fake sysfs tree laid out as the kernel
// lays out FTDI adapters. Run it under Xvfb (the list and the tooltip are windows of their own,
// so the screen is grabbed).
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

// Drops the list down on `selected` with the tooltip of entry `tip`, saves the screen around
// the window as `name`.
bool Shoot(TForm1& form, const char* selected, int tip, const QString& folder, const char* name) {
    TComComboBox& box = *form.ComComboBox1;
    box.SetText(selected);
    box.showPopup();
    Settle();
    QAbstractItemView* list = box.view();
    QModelIndex entry = list->model()->index(tip, 0);
    QRect item = list->visualRect(entry);
    QPoint at = list->viewport()->mapToGlobal(item.center() + QPoint(0, item.height()));
    QToolTip::showText(at, entry.data(Qt::ToolTipRole).toString(), list->viewport());
    Settle();
    // Everything on screen around the window: the window, the open list and the tooltip.
    QRect area = form.frameGeometry();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible())
            area = area.united(w->frameGeometry());
    area.adjust(-4, -4, 4, 4);
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                                area.height());
    QString file = QDir(folder).filePath(name);
    const bool saved = !shot.isNull() && shot.save(file);
    if (!saved)
        std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
    QToolTip::hideText();
    box.hidePopup();
    Settle();
    return saved;
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
    fs::create_directories(root / "config" / "quorvel");
    std::ofstream(root / "config" / "quorvel" / "ports.conf")
        << "# the benches in the next room\n"
        << "Bancada 3 = rfc2217://10.0.4.23:4001\n"
        << "Bancada 4 = rfc2217://10.0.4.24:4001\n";
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);

    int status = 0;
    {
        TApplication app(argc, argv);
        app.SetTitle("Atualizador Quorvel");
        TForm1 form;
        form.show();
        Settle();
        const QString folder = QString::fromLocal8Bit(argv[1]);
        if (!Shoot(form, "ttyUSB1", 1, folder, "adapters-list.png") ||
            !Shoot(form, "Bancada 3", 2, folder, "remote-ports-list.png"))
            status = 1;
    }
    ResetPortListFolders();
    fs::remove_all(root);
    return status;
}
