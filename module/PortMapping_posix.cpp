// The port map on Linux: the built-in UARTs are /dev/ttyS0 to /dev/ttyS3,
// the USB serial devices /dev/ttyUSB* and /dev/ttyACM*, and udev's
// /dev/serial links name each of those by its socket and by its adapter.
// The map's entries are symbolic links to those names.
#include "PortMapping.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

Failure MapFailure(const QString& directory, int error, const QString& text)
{
    return Failure{QStringLiteral("make the port map %1").arg(directory), error, text};
}

// Refuses a directory that holds anything but the map's own "comN" links,
// so that a mistyped name never costs a directory its files.
Result<void> CheckPortMapDirectory(const QString& directory)
{
    const QFileInfo info(directory);
    if (!info.exists())
        return {};
    if (!info.isDir())
        return MapFailure(directory, 0,
                          QStringLiteral("%1 is no directory: not touched").arg(directory));
    const QDir dir(directory);
    if (!dir.isReadable())
        return MapFailure(directory, EACCES,
                          QStringLiteral("%1 cannot be read: not touched").arg(directory));
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (!entry.isSymLink() || !IsPortMapEntryName(entry.fileName()))
            return MapFailure(directory, 0,
                              QStringLiteral("%1 holds %2, and a port map holds only comN links: "
                                             "not touched; name a new or empty directory")
                                  .arg(directory, entry.fileName()));
    }
    return {};
}

// The devices /dev/<stem><digits> under `root`, with what the system says of each.
QList<SerialDeviceFound> NumberedDevices(const QString& root, const QString& stem)
{
    const QRegularExpression name(QStringLiteral("^%1[0-9]+$").arg(stem));
    QList<SerialDeviceFound> found;
    const QDir dev(root + QStringLiteral("/dev"));
    for (const QString& entry : dev.entryList(QDir::System | QDir::Files, QDir::Name)) {
        if (!name.match(entry).hasMatch())
            continue;
        const QString device = dev.filePath(entry);
        found.append({device, IdentifyDevice(device, root)});
    }
    return found;
}

// /dev/ttyS0 to /dev/ttyS3, those that exist, in order: COM1 to COM4 stay theirs.
QList<SerialDeviceFound> BuiltInPorts(const QString& root)
{
    QList<SerialDeviceFound> ports;
    for (int index = 0; index < BuiltInSerialPorts; ++index) {
        const QString device = root + QStringLiteral("/dev/ttyS%1").arg(index);
        if (!QFileInfo::exists(device))
            break;
        ports.append({device, IdentifyDevice(device, root)});
    }
    return ports;
}

// Replaces the directory's comN links by the plan's, making it where it is missing.
Result<void> WritePortMap(const QString& directory, const PortMapPlan& plan)
{
    if (!QDir().mkpath(directory))
        return MapFailure(directory, errno,
                          QStringLiteral("%1 cannot be made: %2")
                              .arg(directory, QString::fromLocal8Bit(std::strerror(errno))));
    const QDir dir(directory);
    for (const QString& entry :
         dir.entryList(QDir::System | QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (unlink(QFile::encodeName(dir.filePath(entry)).constData()) != 0 && errno != ENOENT) {
            const int error = errno;
            return MapFailure(
                directory, error,
                QStringLiteral("%1 cannot be removed: %2")
                    .arg(dir.filePath(entry), QString::fromLocal8Bit(std::strerror(error))));
        }
    }
    for (const MappedPort& port : plan.ports) {
        const QString link = dir.filePath(QStringLiteral("com%1").arg(port.number));
        if (symlink(QFile::encodeName(port.stableName).constData(),
                    QFile::encodeName(link).constData()) != 0) {
            const int error = errno;
            return MapFailure(directory, error,
                              QStringLiteral("%1 cannot be made: %2")
                                  .arg(link, QString::fromLocal8Bit(std::strerror(error))));
        }
    }
    return {};
}

} // namespace

Result<PortMapPlan> MakePortMap(const QString& directory, PortMapKey key, const QString& systemRoot)
{
    if (const Result<void> checked = CheckPortMapDirectory(directory); !checked)
        return checked.failure();
    const QString root = QDir::cleanPath(systemRoot) == QStringLiteral("/")
                             ? QString()
                             : QDir::cleanPath(systemRoot);
    const PortMapPlan plan = PlanPortMap(BuiltInPorts(root),
                                         NumberedDevices(root, QStringLiteral("ttyUSB")) +
                                             NumberedDevices(root, QStringLiteral("ttyACM")),
                                         key);
    // A map without the fixture's adapters would send every COM number from
    // COM5 up nowhere: the one there stays.
    const bool anyUsb =
        std::any_of(plan.ports.begin(), plan.ports.end(),
                    [](const MappedPort& port) { return port.number > BuiltInSerialPorts; });
    if (!anyUsb) {
        const QString text =
            plan.unmapped.isEmpty()
                ? QStringLiteral("no USB serial device is plugged in: %1 is left as it was")
                      .arg(directory)
                : QStringLiteral(
                      "no USB serial device can be mapped (%1: %2): %3 is left as it was")
                      .arg(plan.unmapped.first().device, plan.unmapped.first().reason, directory);
        return MapFailure(directory, 0, text);
    }
    if (const Result<void> written = WritePortMap(directory, plan); !written)
        return written.failure();
    return plan;
}
