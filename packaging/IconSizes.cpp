// Build-time tool: writes the window icon as PNG files in the sizes desktops look up
// (hicolor/<n>x<n>/apps), from the one small icon the window itself carries.
//
//   quorvel-icon-sizes <icon> <output dir> <name> <size>...
//   -> <output dir>/<size>x<size>/apps/<name>.png (the hicolor theme's layout)
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace {

// The largest image in the file (an .ico may hold several).
QImage LoadLargest(const QString& path) {
    QImageReader reader(path);
    QImage best;
    do {
        QImage image = reader.read();
        if (image.isNull())
            break;
        if (image.width() * image.height() > best.width() * best.height())
            best = image;
    } while (reader.jumpToNextImage());
    if (best.isNull())
        std::fprintf(stderr, "quorvel-icon-sizes: cannot read %s: %s\n", qPrintable(path),
                     qPrintable(reader.errorString()));
    return best.convertToFormat(QImage::Format_ARGB32);
}

// Pixel art stays crisp: whole-number enlargements repeat pixels; other sizes are first
// enlarged by whole pixels past the target and then averaged down.
QImage Resize(const QImage& icon, int size) {
    int side = icon.width();
    if (size == side)
        return icon;
    if (size % side == 0)
        return icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    int factor = size / side + 1;
    QImage large =
        icon.scaled(side * factor, side * factor, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return large.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: quorvel-icon-sizes <icon> <output dir> <name> <size>...\n");
        return 2;
    }
    QImage icon = LoadLargest(QString::fromLocal8Bit(argv[1]));
    if (icon.isNull())
        return 1;
    if (icon.width() != icon.height()) {
        std::fprintf(stderr, "quorvel-icon-sizes: %s is not square\n", argv[1]);
        return 1;
    }
    QDir out(QString::fromLocal8Bit(argv[2]));
    QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        int size = std::atoi(argv[i]);
        if (size <= 0 || size > 1024) {
            std::fprintf(stderr, "quorvel-icon-sizes: bad size %s\n", argv[i]);
            return 2;
        }
        QString dir = QStringLiteral("%1x%1/apps").arg(size);
        QString file = out.filePath(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
        if (!out.mkpath(dir) || !Resize(icon, size).save(file, "PNG")) {
            std::fprintf(stderr, "quorvel-icon-sizes: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
