// What the system says a serial port's device is: for a USB adapter its
// vendor and product, their names, its serial number and its driver, and the
// names that stay the same however adapters enumerate; for a UART its
// driver. Read without opening the device.
#pragma once

#include <QString>
#include <QStringList>

struct DeviceIdentity
{
    // The driver that serves the port: ftdi_sio, cp210x, cdc_acm, serial.
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

    bool isUsb() const { return !vendorId.isEmpty(); }
};

// The identity of the device file `device` (links followed); empty where the
// system tells nothing. `systemRoot` stands for "/" and is for tests.
DeviceIdentity IdentifyDevice(const QString& device,
                              const QString& systemRoot = QStringLiteral("/"));
