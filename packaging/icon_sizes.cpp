// Writes the desktop icon at each size asked for, from the same 16x16 drawing
// the window shows. Every pixel of the drawing becomes a square block of whole
// pixels, so the icon stays crisp at every size instead of being blurred by
// smoothing, and each size is exactly the window's picture.
//
//   icon_sizes OUTPUT_DIR SIZE...
// writes OUTPUT_DIR/SIZExSIZE/apps/melvix-programmer.png, the layout of the
// hicolor icon theme.
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>

#include "MelvixIcon.xpm"

namespace {

QImage enlarged(const QImage& drawing, int factor)
{
    QImage icon(drawing.width() * factor, drawing.height() * factor, QImage::Format_ARGB32);
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x)
            icon.setPixel(x, y, drawing.pixel(x / factor, y / factor));
    return icon;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: icon_sizes OUTPUT_DIR SIZE...\n");
        return 2;
    }
    const QImage drawing = QImage(MelvixIcon).convertToFormat(QImage::Format_ARGB32);
    if (drawing.isNull() || drawing.width() != drawing.height()) {
        std::fprintf(stderr, "icon_sizes: the icon drawing is not a square picture\n");
        return 1;
    }
    const QString outputDir = QString::fromLocal8Bit(argv[1]);
    for (int index = 2; index < argc; ++index) {
        bool isNumber = false;
        const int size = QString::fromLatin1(argv[index]).toInt(&isNumber);
        if (!isNumber || size < drawing.width() || size % drawing.width() != 0) {
            std::fprintf(stderr, "icon_sizes: %s is not a whole multiple of %d\n", argv[index],
                         drawing.width());
            return 2;
        }
        const QString appsDir = QStringLiteral("%1/%2x%2/apps").arg(outputDir).arg(size);
        const QString path = appsDir + QStringLiteral("/melvix-programmer.png");
        if (!QDir().mkpath(appsDir) ||
            !enlarged(drawing, size / drawing.width()).save(path, "PNG")) {
            std::fprintf(stderr, "icon_sizes: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
