// A port map that follows the fixture rather than the order in which the
// adapters enumerate: COM1 to COM4 stay the built-in serial ports, as under
// the default map, and each USB serial device gets a COM number from COM5 up
// by where it is plugged in (its /dev/serial/by-path name) or by which
// adapter it is (its /dev/serial/by-id name, which holds its serial number).
// The map's entries lead to those stable names, so a socket or an adapter
// keeps its COM number however the devices are numbered at the next boot.
#pragma once

#include "DeviceIdentity.h"
#include "Failure.h"

#include <QList>
#include <QString>

enum class PortMapKey
{
    ByPath,
    ById
};

// A serial device present now, with what the system says of it.
struct SerialDeviceFound
{
    // /dev/ttyUSB0
    QString device;
    DeviceIdentity identity;
};

// An entry of the map: COM<number> leads to `stableName`, which leads to
// `device` now.
struct MappedPort
{
    int number = 0;
    QString stableName;
    QString device;
    DeviceIdentity identity;
};

// A USB serial device that the map leaves out, and why.
struct UnmappedDevice
{
    QString device;
    DeviceIdentity identity;
    QString reason;
};

struct PortMapPlan
{
    QList<MappedPort> ports;
    QList<UnmappedDevice> unmapped;
};

// The COM numbers that the built-in serial ports keep; USB devices come after.
constexpr int BuiltInSerialPorts = 4;

// Whether the /dev/serial/by-path name `left` is plugged in before `right`:
// the controller first, then the USB ports from the root hub down compared as
// numbers (socket 2 before socket 10), a socket before the hub ports behind
// it, then the interface and the port of the adapter.
bool PhysicalPathLess(const QString& left, const QString& right);

// The map for the built-in serial ports `builtIn` (their devices, ttyS0 to
// ttyS3, as COM1 to COM4) and the USB serial devices `usb`, numbered from
// COM5 in the order of `key`: by-path names physically, by-id names by the
// adapter's serial number. A device without the stable name that `key`
// needs, or one that would get a COM number the serial component cannot
// open, is left out.
PortMapPlan PlanPortMap(const QList<SerialDeviceFound>& builtIn,
                        const QList<SerialDeviceFound>& usb, PortMapKey key);

// Whether `name` is an entry that a port map holds: "comN", N from 1 without
// leading zeros.
bool IsPortMapEntryName(const QString& name);

// Makes the port map directory `directory`, or replaces the entries of the
// one there, for the serial devices present; `systemRoot` stands for "/" and
// is for tests. A directory that holds anything but "comN" links is not
// touched: it is no port map. On Windows, which numbers COM ports itself,
// it fails.
Result<PortMapPlan> MakePortMap(const QString& directory, PortMapKey key,
                                const QString& systemRoot = QStringLiteral("/"));
