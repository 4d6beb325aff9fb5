// Linux tells what a device is in sysfs: the tty's device directory, and
// above it the USB interface with its driver and the USB device with its
// descriptor's fields. udev's /dev/serial links name it stably.
#include "DeviceIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString ReadAttribute(const QString& directory, const QString& name)
{
    QFile file(directory + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

// The name of the driver bound to the device at `directory`, if any.
QString DriverOf(const QString& directory)
{
    const QFileInfo link(directory + QStringLiteral("/driver"));
    return link.isSymLink() ? QFileInfo(link.symLinkTarget()).fileName() : QString();
}

// The links of a /dev/serial directory that lead to `device`.
QStringList LinksTo(const QString& directory, const QString& device)
{
    QStringList links;
    const QDir dir(directory);
    for (const QFileInfo& entry : dir.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        if (entry.isSymLink() && entry.canonicalFilePath() == device)
            links.append(entry.absoluteFilePath());
    }
    return links;
}

} // namespace

DeviceIdentity IdentifyDevice(const QString& device, const QString& systemRoot)
{
    DeviceIdentity identity;
    const QString root = QDir::cleanPath(systemRoot);
    const QString path = QFileInfo(device).canonicalFilePath();
    if (path.isEmpty())
        return identity;
    const QString tty = QFileInfo(path).fileName();
    QString directory =
        QFileInfo(root + QStringLiteral("/sys/class/tty/") + tty + QStringLiteral("/device"))
            .canonicalFilePath();
    const QString sys = QFileInfo(root + QStringLiteral("/sys")).canonicalFilePath();
    // Up from the tty's device: the first driver that is not the serial
    // core's own "port", then the USB device that carries a vendor ID.
    while (!directory.isEmpty() && directory.startsWith(sys) && directory != sys) {
        const QString driver = DriverOf(directory);
        if (identity.driver.isEmpty() && !driver.isEmpty() && driver != QLatin1String("port"))
            identity.driver = driver;
        if (QFileInfo::exists(directory + QStringLiteral("/idVendor"))) {
            identity.vendorId = ReadAttribute(directory, QStringLiteral("idVendor"));
            identity.productId = ReadAttribute(directory, QStringLiteral("idProduct"));
            identity.manufacturer = ReadAttribute(directory, QStringLiteral("manufacturer"));
            identity.product = ReadAttribute(directory, QStringLiteral("product"));
            identity.serialNumber = ReadAttribute(directory, QStringLiteral("serial"));
            break;
        }
        directory = QFileInfo(directory).path();
    }
    identity.byId = LinksTo(root + QStringLiteral("/dev/serial/by-id"), path);
    identity.byPath = LinksTo(root + QStringLiteral("/dev/serial/by-path"), path);
    return identity;
}
