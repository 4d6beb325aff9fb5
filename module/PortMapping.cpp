#include "PortMapping.h"

#include "PortNumbers.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

// Where the USB part of a by-path name begins: "pci-0000:00:14.0" names the
// controller, "-usb-0:1.2:1.0-port0" the ports down to the adapter's.
qsizetype UsbPartStart(const QString& name)
{
    const qsizetype usb = name.indexOf(QLatin1String("-usb"));
    return usb < 0 ? name.size() : usb;
}

// In the USB part a chain of ports ends at ':' or '-' and goes one hub
// deeper at '.': so a socket sorts before the ports of a hub plugged into it.
int CharacterRank(QChar c)
{
    switch (c.unicode()) {
    case '-':
        return 1;
    case ':':
        return 2;
    case '.':
        return 3;
    default:
        return 4 + c.unicode();
    }
}

// The digits from `at` on, without leading zeros; moves `at` past them.
QStringView TakeNumber(QStringView text, qsizetype& at)
{
    while (at + 1 < text.size() && text[at] == QLatin1Char('0') && text[at + 1].isDigit())
        ++at;
    const qsizetype start = at;
    while (at < text.size() && text[at].isDigit())
        ++at;
    return text.mid(start, at - start);
}

// Below zero when `left` comes first: numbers as numbers, whatever their
// length, and the separators by CharacterRank.
int CompareUsbParts(QStringView left, QStringView right)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < left.size() && j < right.size()) {
        if (left[i].isDigit() && right[j].isDigit()) {
            const QStringView a = TakeNumber(left, i);
            const QStringView b = TakeNumber(right, j);
            if (a.size() != b.size())
                return a.size() < b.size() ? -1 : 1;
            if (const int order = a.compare(b); order != 0)
                return order;
            continue;
        }
        if (left[i] != right[j])
            return CharacterRank(left[i]) - CharacterRank(right[j]);
        ++i;
        ++j;
    }
    return (i < left.size() ? 1 : 0) - (j < right.size() ? 1 : 0);
}

// The name that leads to the device under `key`, or empty with `reason` saying why.
QString StableName(const DeviceIdentity& identity, PortMapKey key, QString& reason)
{
    if (key == PortMapKey::ByPath) {
        if (identity.byPath.isEmpty())
            reason = QStringLiteral("no /dev/serial/by-path link leads to it (udev makes them)");
        return identity.byPath.value(0);
    }
    if (identity.serialNumber.isEmpty()) {
        reason = QStringLiteral("it has no serial number, so nothing tells it from another "
                                "adapter of its kind: map it --by-path");
        return {};
    }
    if (identity.byId.isEmpty())
        reason = QStringLiteral("no /dev/serial/by-id link leads to it (udev makes them)");
    return identity.byId.value(0);
}

} // namespace

bool PhysicalPathLess(const QString& left, const QString& right)
{
    const qsizetype leftUsb = UsbPartStart(left);
    const qsizetype rightUsb = UsbPartStart(right);
    // The controllers' PCI addresses are hexadecimal of fixed width: their
    // text orders them.
    if (const int order =
            QStringView(left).left(leftUsb).compare(QStringView(right).left(rightUsb));
        order != 0)
        return order < 0;
    if (const int order =
            CompareUsbParts(QStringView(left).mid(leftUsb), QStringView(right).mid(rightUsb));
        order != 0)
        return order < 0;
    return left < right;
}

PortMapPlan PlanPortMap(const QList<SerialDeviceFound>& builtIn,
                        const QList<SerialDeviceFound>& usb, PortMapKey key)
{
    PortMapPlan plan;
    for (qsizetype i = 0; i < builtIn.size() && i < BuiltInSerialPorts; ++i) {
        const SerialDeviceFound& port = builtIn[i];
        plan.ports.append({static_cast<int>(i) + 1, port.device, port.device, port.identity});
    }
    QList<MappedPort> numbered;
    for (const SerialDeviceFound& found : usb) {
        QString reason;
        const QString stableName = StableName(found.identity, key, reason);
        if (stableName.isEmpty())
            plan.unmapped.append({found.device, found.identity, reason});
        else
            numbered.append({0, stableName, found.device, found.identity});
    }
    std::sort(numbered.begin(), numbered.end(), [key](const MappedPort& a, const MappedPort& b) {
        if (key == PortMapKey::ByPath)
            return PhysicalPathLess(a.stableName, b.stableName);
        if (a.identity.serialNumber != b.identity.serialNumber)
            return a.identity.serialNumber < b.identity.serialNumber;
        return a.stableName < b.stableName;
    });
    int number = BuiltInSerialPorts;
    for (MappedPort& port : numbered) {
        port.number = ++number;
        if (port.number > HighestOpenedPort) {
            plan.unmapped.append({port.device, port.identity,
                                  QStringLiteral("COM%1 would be above COM%2, the highest port "
                                                 "that can be opened")
                                      .arg(port.number)
                                      .arg(HighestOpenedPort)});
            continue;
        }
        plan.ports.append(port);
    }
    return plan;
}

bool IsPortMapEntryName(const QString& name)
{
    static const QRegularExpression entry(QStringLiteral("^com[1-9][0-9]{0,3}$"));
    return entry.match(name).hasMatch();
}
