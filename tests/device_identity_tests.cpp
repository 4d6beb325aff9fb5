// What a port's device is, read from a system tree laid out as Linux lays
// out sysfs and udev's /dev/serial links: a USB adapter behind its
// interface, and a UART whose tty hangs below the serial core's own device.
#include "DeviceIdentity.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class SystemTree
{
public:
    void file(const QString& path, const QByteArray& content = {})
    {
        QDir(root()).mkpath(QFileInfo(root() + path).path());
        QFile file(root() + path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    void directory(const QString& path) { ASSERT_TRUE(QDir(root()).mkpath(root() + path)); }
    // A link at `path` to `target`, which is relative to the link's folder.
    void link(const QString& path, const QString& target)
    {
        QDir(root()).mkpath(QFileInfo(root() + path).path());
        ASSERT_TRUE(QFile::link(target, root() + path));
    }
    QString root() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

TEST(DeviceIdentity, AUsbAdapterAndAUartAreToldByWhatTheSystemKeepsOfThem)
{
    SystemTree tree;
    const QString usb = QStringLiteral("/sys/devices/pci0/usb1/1-1");
    for (const auto& [name, value] :
         {std::pair{"idVendor", "0403"}, std::pair{"idProduct", "6001"},
          std::pair{"manufacturer", "FTDI"}, std::pair{"product", "FT232R USB UART"},
          std::pair{"serial", "A10K3B2C"}})
        tree.file(usb + QLatin1Char('/') + QLatin1String(name), QByteArray(value) + '\n');
    tree.directory(QStringLiteral("/sys/bus/usb-serial/drivers/ftdi_sio"));
    tree.link(usb + QStringLiteral("/1-1:1.0/ttyUSB0/driver"),
              QStringLiteral("../../../../../bus/usb-serial/drivers/ftdi_sio"));
    tree.link(QStringLiteral("/sys/class/tty/ttyUSB0/device"),
              QStringLiteral("../../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0"));
    tree.file(QStringLiteral("/dev/ttyUSB0"));
    tree.link(QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3B2C-if00-port0"),
              QStringLiteral("../../ttyUSB0"));
    tree.link(QStringLiteral("/dev/serial/by-path/pci-0000:00:1d.0-usb-0:1:1.0-port0"),
              QStringLiteral("../../ttyUSB0"));

    const QString uart = QStringLiteral("/sys/devices/pnp0/00:04");
    tree.directory(QStringLiteral("/sys/bus/pnp/drivers/serial"));
    tree.directory(QStringLiteral("/sys/bus/serial-base/drivers/port"));
    tree.link(uart + QStringLiteral("/driver"), QStringLiteral("../../../bus/pnp/drivers/serial"));
    tree.link(uart + QStringLiteral("/00:04:0/00:04:0.0/driver"),
              QStringLiteral("../../../../../bus/serial-base/drivers/port"));
    tree.link(QStringLiteral("/sys/class/tty/ttyS0/device"),
              QStringLiteral("../../../devices/pnp0/00:04/00:04:0/00:04:0.0"));
    tree.file(QStringLiteral("/dev/ttyS0"));

    const DeviceIdentity adapter =
        IdentifyDevice(tree.root() + QStringLiteral("/dev/ttyUSB0"), tree.root());
    EXPECT_TRUE(adapter.isUsb());
    EXPECT_EQ(adapter.driver, "ftdi_sio");
    EXPECT_EQ(adapter.vendorId, "0403");
    EXPECT_EQ(adapter.productId, "6001");
    EXPECT_EQ(adapter.manufacturer, "FTDI");
    EXPECT_EQ(adapter.product, "FT232R USB UART");
    EXPECT_EQ(adapter.serialNumber, "A10K3B2C");
    ASSERT_EQ(adapter.byId.size(), 1);
    EXPECT_TRUE(adapter.byId[0].endsWith("usb-FTDI_FT232R_USB_UART_A10K3B2C-if00-port0"));
    ASSERT_EQ(adapter.byPath.size(), 1);

    const DeviceIdentity port =
        IdentifyDevice(tree.root() + QStringLiteral("/dev/ttyS0"), tree.root());
    EXPECT_FALSE(port.isUsb());
    EXPECT_EQ(port.driver, "serial");
    EXPECT_TRUE(port.byId.isEmpty());

    const DeviceIdentity none =
        IdentifyDevice(tree.root() + QStringLiteral("/dev/missing"), tree.root());
    EXPECT_TRUE(none.driver.isEmpty());
    EXPECT_FALSE(none.isUsb());
}

} // namespace
