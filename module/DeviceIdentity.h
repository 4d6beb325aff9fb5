// What the system says a serial port's device is: for a USB adapter its
// vendor and product, their names, its serial number and its driver, and the
// names that stay the same however adapters enumerate; for a UART its
// driver; on Windows the name its device manager shows. Read without opening
// the device.
#pragma once

#include <QString>
#include <QStringList>

struct DeviceIdentity
{
    // The name Windows' device manager shows, "USB Serial Port (COM5)";
    // Linux gives none.
    QString friendlyName;
    // The driver that serves the port: ftdi_sio, cp210x, cdc_acm, serial
    // (Windows: its service, FTSER2K, usbser, Serial).
    QString driver;
    // Four hex digits each, as the USB device descriptor gives them; empty
    // for a device that is no USB adapter.
    QString vendorId;
    QString productId;
    QString manufacturer;
    QString product;
    QString serialNumber;
    // The links in /dev/serial/by-id and /dev/serial/by-path that lead to it.
    QStringList byId;
    QStringList byPath;
    // Windows' own name of the device behind the port, as the serial port
    // map gives it: \Device\Serial0, \Device\VCP0.
    QString deviceObject;

    bool isUsb() const { return !vendorId.isEmpty(); }
    bool isEmpty() const
    {
        return friendlyName.isEmpty() && driver.isEmpty() && !isUsb() && manufacturer.isEmpty() &&
               product.isEmpty() && serialNumber.isEmpty() && byId.isEmpty() && byPath.isEmpty() &&
               deviceObject.isEmpty();
    }
};

// The identity of the device file `device` (links followed; on Windows the
// port's device name, \\.\COM5); empty where the system tells nothing.
// `systemRoot` stands for "/" and is for tests; Windows has no use for it.
DeviceIdentity IdentifyDevice(const QString& device,
                              const QString& systemRoot = QStringLiteral("/"));
