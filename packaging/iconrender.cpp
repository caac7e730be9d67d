// lumkest-icons: renders the program icon (the one the windows carry) as
// PNG files for the hicolor icon theme.  Run at build time:
//   lumkest-icons OUTPUT_FOLDER ICON_NAME SIZE...
// writes OUTPUT_FOLDER/<SIZE>x<SIZE>/apps/<ICON_NAME>.png for each size.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "app/glyphs.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER ICON_NAME SIZE...\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "bad icon size: %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            paintAppIcon(p, size);
        }
        if (!QDir().mkpath(folder) || !image.save(folder + QLatin1Char('/') + name + ".png", "PNG")) {
            std::fprintf(stderr, "cannot write the %d-pixel icon below %s\n", size, argv[1]);
            return 1;
        }
    }
    return 0;
}
