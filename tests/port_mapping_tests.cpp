// The port map that numbers USB adapters by socket or by serial number: the
// order of the sockets, and a directory that is no port map left alone.
#include "PortMapping.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

SerialDeviceFound Adapter(const QString& device, const QString& serial, const QString& byPath)
{
    DeviceIdentity identity;
    identity.vendorId = QStringLiteral("0403");
    identity.serialNumber = serial;
    if (!serial.isEmpty())
        identity.byId = {QStringLiteral("/dev/serial/by-id/usb-FTDI_%1-if00-port0").arg(serial)};
    if (!byPath.isEmpty())
        identity.byPath = {QStringLiteral("/dev/serial/by-path/") + byPath};
    return {device, identity};
}

// The devices each COM number leads to, and those left out.
QStringList Numbering(const PortMapPlan& plan)
{
    QStringList numbering;
    for (const MappedPort& port : plan.ports)
        numbering.append(QStringLiteral("COM%1 %2").arg(port.number).arg(port.device));
    for (const UnmappedDevice& device : plan.unmapped)
        numbering.append(QStringLiteral("none %1").arg(device.device));
    return numbering;
}

TEST(PortMapping, AdaptersAreNumberedFromCom5BySocketOrBySerialNumber)
{
    const QString pci = QStringLiteral("pci-0000:00:14.0-usb-0:");
    // Enumerated in an order that neither socket nor serial number follows.
    const QList<SerialDeviceFound> usb = {
        Adapter(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("C"), pci + "10:1.0-port0"),
        Adapter(QStringLiteral("/dev/ttyUSB1"), QStringLiteral("A"), pci + "1.2:1.0-port0"),
        Adapter(QStringLiteral("/dev/ttyUSB2"), QStringLiteral("E"), pci + "2:1.0-port0"),
        Adapter(QStringLiteral("/dev/ttyUSB3"), QStringLiteral("B"), pci + "1:1.0-port0"),
        Adapter(QStringLiteral("/dev/ttyUSB4"), QStringLiteral("D"),
                QStringLiteral("pci-0000:00:1d.0-usb-0:1:1.0-port0")),
        Adapter(QStringLiteral("/dev/ttyUSB5"), QString(), pci + "1.10:1.0-port0"),
        Adapter(QStringLiteral("/dev/ttyUSB6"), QStringLiteral("F"), QString()),
        Adapter(QStringLiteral("/dev/ttyACM0"), QStringLiteral("G"), pci + "1:1.2"),
    };
    const QList<SerialDeviceFound> builtIn = {{QStringLiteral("/dev/ttyS0"), {}},
                                              {QStringLiteral("/dev/ttyS1"), {}}};
    const struct
    {
        PortMapKey key;
        QStringList numbering;
    } cases[] = {
        // Socket 1, its interface 2, the hub behind socket 1 (port 2 before
        // port 10), socket 2, socket 10, then the next controller.
        {PortMapKey::ByPath,
         {"COM1 /dev/ttyS0", "COM2 /dev/ttyS1", "COM5 /dev/ttyUSB3", "COM6 /dev/ttyACM0",
          "COM7 /dev/ttyUSB1", "COM8 /dev/ttyUSB5", "COM9 /dev/ttyUSB2", "COM10 /dev/ttyUSB0",
          "COM11 /dev/ttyUSB4", "none /dev/ttyUSB6"}},
        {PortMapKey::ById,
         {"COM1 /dev/ttyS0", "COM2 /dev/ttyS1", "COM5 /dev/ttyUSB1", "COM6 /dev/ttyUSB3",
          "COM7 /dev/ttyUSB0", "COM8 /dev/ttyUSB4", "COM9 /dev/ttyUSB2", "COM10 /dev/ttyUSB6",
          "COM11 /dev/ttyACM0", "none /dev/ttyUSB5"}},
    };
    for (const auto& [key, numbering] : cases)
        EXPECT_EQ(Numbering(PlanPortMap(builtIn, usb, key)), numbering)
            << (key == PortMapKey::ByPath ? "by path" : "by id");
}

TEST(PortMapping, OnlyAPortMapDirectoryIsRenewedAndNothingElseIsTouched)
{
    QTemporaryDir root;
    const QString rootPath = root.path();
    QDir(rootPath).mkpath(QStringLiteral("dev/serial/by-path"));
    QFile(rootPath + QStringLiteral("/dev/ttyUSB0")).open(QIODevice::WriteOnly);
    const QString byPath =
        rootPath + QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0");
    ASSERT_TRUE(QFile::link(QStringLiteral("../../ttyUSB0"), byPath));

    // Each directory holds a link com9 and the entry named.
    const struct
    {
        const char* entry;
        bool link;
        bool renewed;
    } cases[] = {{"com5", true, true},  {"notes.txt", false, false}, {"com5", false, false},
                 {"COM5", true, false}, {"com05", true, false},      {".keep", false, false}};
    for (const auto& [entry, link, renewed] : cases) {
        SCOPED_TRACE(entry);
        QTemporaryDir map;
        const QString path = map.filePath(QLatin1String(entry));
        ASSERT_TRUE(QFile::link(QStringLiteral("/dev/ttyUSB7"), map.filePath("com9")));
        ASSERT_TRUE(link ? QFile::link(QStringLiteral("/dev/ttyUSB8"), path)
                         : QFile(path).open(QIODevice::WriteOnly));
        const Result<PortMapPlan> made = MakePortMap(map.path(), PortMapKey::ByPath, rootPath);
        EXPECT_EQ(bool(made), renewed);
        const QStringList entries =
            QDir(map.path())
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                           QDir::Name);
        if (renewed) {
            EXPECT_EQ(entries, QStringList{"com5"});
            EXPECT_EQ(QFile::symLinkTarget(map.filePath("com5")), byPath);
        } else {
            EXPECT_TRUE(entries.contains(QLatin1String(entry)) && entries.contains("com9"))
                << entries.join(' ').toStdString();
        }
    }
    QTemporaryDir parent;
    const QString file = parent.filePath(QStringLiteral("line1"));
    QFile(file).open(QIODevice::WriteOnly);
    EXPECT_FALSE(MakePortMap(file, PortMapKey::ByPath, rootPath));
    EXPECT_TRUE(QFileInfo(file).isFile());
}

} // namespace
