// Saves a picture of each tab of the main window (tab-0.png ... tab-3.png) into the folder
// given as the argument, for the documentation. Run it under Xvfb or offscreen.
#include "framework/Application.h"
#include "updater/Unit1.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_screenshots FOLDER\n");
        return 2;
    }
    TApplication app(argc, argv);
    app.SetTitle("Atualizador Quorvel");
    TForm1 form;
    form.show();
    QDir folder(QString::fromLocal8Bit(argv[1]));
    for (int tab = 0; tab < 4; ++tab) {
        form.TabControl1->setCurrentIndex(tab);
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(10);
        }
        QString file = folder.filePath(QStringLiteral("tab-%1.png").arg(tab));
        if (!form.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
