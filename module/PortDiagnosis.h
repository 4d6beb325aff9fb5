// Why a serial port can or cannot be opened, found without sending anything
// to it: no device behind the port name (or no usable port map), a device the
// user may not open, one that another program holds, a link that leads
// nowhere, in a circle or where the user may not go, something that is no
// serial device at all.
// The checks are the operating system's; PortDiagnosis_<platform>.cpp holds
// them, the descriptions here are shared.
#pragma once

#include "DeviceIdentity.h"
#include "PortOpening.h"

#include <QList>
#include <QString>
#include <QStringList>

struct PortDiagnosis
{
    enum class State
    {
        NoDevice,
        Available,
        PermissionDenied,
        Busy,
        NotSerial,
        // A serial port whose driver finds no hardware behind it, such as
        // /dev/ttyS2 on a PC with two UARTs.
        NoHardware,
        DanglingLink,
        LinkLoop,
        UnreachableTarget,
        Unusable
    };

    int portNumber = 0;
    // What the port name leads to: a device path, or where a link points.
    QString device;
    State state = State::NoDevice;
    // The kind of file that is no serial device, the system's error text, the
    // directory that bars the way to an unreachable target, or why the port
    // map directory is unusable when there is no device.
    QString detail;
    // The process that holds a busy port, when a living one could be found:
    // one whose open carries the lock that refused ours, or else one that has
    // the device open. 0, with no name, when it is unknown.
    qint64 holderPid = 0;
    QString holderName;
    bool holderHasLock = false;
    // Who may open a device that refused the user: its owner, group and
    // permission bits, and the group to join when joining one would let the
    // user in.
    QString owner;
    QString group;
    unsigned permissions = 0;
    QString groupToJoin;
    // What the system says the device is, whatever its state: it names the
    // adapter that is busy or refused as well as the one that can be used.
    DeviceIdentity identity;
};

// Why the port of this open could or could not be used, from what the open
// met; the system is asked only for what the open does not tell (where a
// link leads, who holds the device, who may open it), and the port is not
// opened again.
PortDiagnosis DiagnoseOpening(const PortOpening& opening);

// The port COM<portNumber>, which nothing has tried to open: opens it once to
// see whether it can be opened, and closes it again.
PortDiagnosis DiagnosePort(int portNumber);

// The device file that the port name leads to now, links followed, found
// without opening anything; empty when it leads nowhere. The default port
// map numbers the USB adapters present, so when one is pulled out its COM
// number may lead to the next one: compare this with what it was at the open
// to tell that the device that was opened is gone.
QString PortDevice(int portNumber);

// Whether the device that an open reached (PortOpening::device) is still
// there, asked without opening it.
bool DevicePresent(const QString& device);

// COM1 to COM21, and any higher COM number that the port map holds.
QList<int> ListedPortNumbers();

// An entry of the port map directory named like a COM port but not as the
// map names them ("com03", "COM5", "com0"): the map leaves it out, so no port
// reaches it.
struct MisnamedEntry
{
    QString name;
    // Where it leads, as PortDiagnosis::device.
    QString device;
};

// The port map's misnamed entries, by name; none without a port map
// directory, and none on Windows, which has no port map.
QList<MisnamedEntry> MisnamedMapEntries();

// One line: "com03: not a port name the program uses: a COM number has no
// leading zero; rename it com3".
QString DescribeMisnamed(const MisnamedEntry& entry);

// The port and what its name leads to: "COM5 (/dev/ttyUSB0)", or "COM5".
QString PortLabel(const PortDiagnosis& diagnosis);
// One line: "COM5 (/dev/ttyUSB0): permission denied — ...".
QString DescribePort(const PortDiagnosis& diagnosis);
// What the system says the port's device is, in lines indented to stand
// under the port's own: "    USB 0403:6001, manufacturer FTDI, ...", then
// its /dev/serial links; none when it says nothing.
QStringList DescribeIdentity(const DeviceIdentity& identity);
// A short stable name of the state, for machine-readable output.
QString StateName(PortDiagnosis::State state);

// One line for ports with nothing behind their names, for the same reason:
// "COM3, COM4: no device", and why the port map cannot serve when it cannot.
QString NoDeviceLine(const QStringList& portNames, const QString& mapProblem);

// The lines that explain why the ports of these opens could not be opened:
// one per port with something behind its name, then one for those with
// nothing.
QStringList UnopenedPortsDiagnosis(const QList<PortOpening>& openings);
