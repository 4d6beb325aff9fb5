// Writes the program's icon at each size asked for, from the same 16x16
// drawing the window shows. Every pixel of the drawing becomes a square block
// of whole pixels, so the icon stays crisp at every size instead of being
// blurred by smoothing, and each size is exactly the window's picture.
//
//   icon_sizes OUTPUT_DIR SIZE...
// writes OUTPUT_DIR/SIZExSIZE/apps/melvix-programmer.png, the layout of the
// hicolor icon theme (the Debian package's desktop icons);
//   icon_sizes --ico FILE SIZE...
// writes one Windows icon file holding every size, each as a PNG image (the
// Windows program's icon resource and the installer's).
#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstring>

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

// The icon file's layout: a header, one entry per image, then the images.
constexpr int IcoHeaderBytes = 6;
constexpr int IcoEntryBytes = 16;
constexpr std::uint16_t IcoTypeIcon = 1;
// An entry's width and height are one byte each: 0 stands for 256.
constexpr int IcoLargestSize = 256;
constexpr std::uint16_t IcoBitsPerPixel = 32;

void appendLittleEndian(QByteArray& bytes, std::uint32_t value, int width)
{
    for (int byte = 0; byte < width; ++byte)
        bytes.append(static_cast<char>((value >> (8 * byte)) & 0xFF));
}

// One .ico file holding each image as a PNG, as Windows Vista and later read
// them at every size.
bool writeIco(const QString& path, const QList<QImage>& images)
{
    QByteArray header;
    QByteArray data;
    appendLittleEndian(header, 0, 2); // reserved
    appendLittleEndian(header, IcoTypeIcon, 2);
    appendLittleEndian(header, static_cast<std::uint32_t>(images.size()), 2);
    const int firstImageOffset = IcoHeaderBytes + IcoEntryBytes * static_cast<int>(images.size());
    for (const QImage& image : images) {
        QByteArray png;
        QBuffer buffer(&png);
        if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
            return false;
        appendLittleEndian(header, static_cast<std::uint32_t>(image.width() % IcoLargestSize), 1);
        appendLittleEndian(header, static_cast<std::uint32_t>(image.height() % IcoLargestSize), 1);
        appendLittleEndian(header, 0, 1); // no palette
        appendLittleEndian(header, 0, 1); // reserved
        appendLittleEndian(header, 1, 2); // colour planes
        appendLittleEndian(header, IcoBitsPerPixel, 2);
        appendLittleEndian(header, static_cast<std::uint32_t>(png.size()), 4);
        appendLittleEndian(header, static_cast<std::uint32_t>(firstImageOffset + data.size()), 4);
        data.append(png);
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(header + data) == header.size() + data.size();
}

} // namespace

int main(int argc, char** argv)
{
    const bool ico = argc > 1 && std::strcmp(argv[1], "--ico") == 0;
    const int firstSize = ico ? 3 : 2;
    if (argc <= firstSize) {
        std::fprintf(stderr, "usage: icon_sizes OUTPUT_DIR SIZE...\n"
                             "       icon_sizes --ico FILE SIZE...\n");
        return 2;
    }
    const QImage drawing = QImage(MelvixIcon).convertToFormat(QImage::Format_ARGB32);
    if (drawing.isNull() || drawing.width() != drawing.height()) {
        std::fprintf(stderr, "icon_sizes: the icon drawing is not a square picture\n");
        return 1;
    }
    const QString output = QString::fromLocal8Bit(argv[firstSize - 1]);
    QList<QImage> images;
    for (int index = firstSize; index < argc; ++index) {
        bool isNumber = false;
        const int size = QString::fromLatin1(argv[index]).toInt(&isNumber);
        if (!isNumber || size < drawing.width() || size % drawing.width() != 0 ||
            (ico && size > IcoLargestSize)) {
            std::fprintf(stderr, "icon_sizes: %s is not a whole multiple of %d%s\n", argv[index],
                         drawing.width(), ico ? " up to 256" : "");
            return 2;
        }
        images.append(enlarged(drawing, size / drawing.width()));
    }
    if (ico) {
        if (!writeIco(output, images)) {
            std::fprintf(stderr, "icon_sizes: cannot write %s\n", qPrintable(output));
            return 1;
        }
        return 0;
    }
    for (const QImage& image : images) {
        const QString appsDir = QStringLiteral("%1/%2x%2/apps").arg(output).arg(image.width());
        const QString path = appsDir + QStringLiteral("/melvix-programmer.png");
        if (!QDir().mkpath(appsDir) || !image.save(path, "PNG")) {
            std::fprintf(stderr, "icon_sizes: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
