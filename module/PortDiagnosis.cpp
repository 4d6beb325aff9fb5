#include "PortDiagnosis.h"

#include <QMap>

#include <utility>

namespace {

QString NoDeviceText(const QString& mapProblem)
{
    if (mapProblem.isEmpty())
        return QStringLiteral("no device");
    return QStringLiteral("no device — ") + mapProblem;
}

QString PermissionText(const PortDiagnosis& diagnosis)
{
    if (!diagnosis.groupToJoin.isEmpty()) {
        return QStringLiteral("permission denied — join the %1 group: "
                              "sudo adduser $USER %1, then log in again")
            .arg(diagnosis.groupToJoin);
    }
    return QStringLiteral("permission denied — owner %1, group %2, mode %3")
        .arg(diagnosis.owner, diagnosis.group)
        .arg(diagnosis.permissions, 4, 8, QLatin1Char('0'));
}

QString BusyText(const PortDiagnosis& diagnosis)
{
    if (diagnosis.holderPid == 0)
        return QStringLiteral("busy, held by another program, whose process cannot be found");
    if (diagnosis.holderHasLock) {
        return QStringLiteral("busy, held by process %1 (%2)")
            .arg(diagnosis.holderPid)
            .arg(diagnosis.holderName);
    }
    return QStringLiteral("busy, held by another program; process %1 (%2) has it open")
        .arg(diagnosis.holderPid)
        .arg(diagnosis.holderName);
}

QString StateText(const PortDiagnosis& diagnosis)
{
    using State = PortDiagnosis::State;
    switch (diagnosis.state) {
    case State::NoDevice:
        return NoDeviceText(diagnosis.detail);
    case State::Available:
        return QStringLiteral("serial device, can be opened");
    case State::PermissionDenied:
        return PermissionText(diagnosis);
    case State::Busy:
        return BusyText(diagnosis);
    case State::NotSerial:
        return QStringLiteral("not a serial device (%1)").arg(diagnosis.detail);
    case State::NoHardware:
        return QStringLiteral("no serial hardware behind this port");
    case State::DanglingLink:
        return QStringLiteral("dangling link: what it points to does not exist");
    case State::LinkLoop:
        return QStringLiteral("link loop: its links lead round in a circle, never to a file");
    case State::UnreachableTarget:
        if (diagnosis.detail.isEmpty())
            return QStringLiteral("unreachable target: permission denied on the way to it");
        return QStringLiteral("unreachable target: this user may not enter %1")
            .arg(diagnosis.detail);
    case State::Unusable:
        return QStringLiteral("cannot be opened: %1").arg(diagnosis.detail);
    }
    return {};
}

} // namespace

QString PortLabel(const PortDiagnosis& diagnosis)
{
    const QString name = ComPort{diagnosis.portNumber}.name();
    if (diagnosis.device.isEmpty())
        return name;
    return QStringLiteral("%1 (%2)").arg(name, diagnosis.device);
}

QString DescribePort(const PortDiagnosis& diagnosis)
{
    return PortLabel(diagnosis) + QStringLiteral(": ") + StateText(diagnosis);
}

QStringList DescribeIdentity(const DeviceIdentity& identity)
{
    const QString indent = QStringLiteral("    ");
    QStringList facts;
    if (!identity.friendlyName.isEmpty())
        facts.append(identity.friendlyName);
    if (identity.isUsb())
        facts.append(QStringLiteral("USB %1:%2").arg(identity.vendorId, identity.productId));
    const std::pair<QString, const QString&> named[] = {
        {QStringLiteral("manufacturer"), identity.manufacturer},
        {QStringLiteral("product"), identity.product},
        {QStringLiteral("serial number"), identity.serialNumber},
        {QStringLiteral("driver"), identity.driver},
        {QStringLiteral("device object"), identity.deviceObject}};
    for (const auto& [name, value] : named) {
        if (!value.isEmpty())
            facts.append(name + QLatin1Char(' ') + value);
    }
    QStringList lines;
    if (!facts.isEmpty())
        lines.append(indent + facts.join(QStringLiteral(", ")));
    for (const QString& link : identity.byId + identity.byPath)
        lines.append(indent + link);
    return lines;
}

QString DescribeMisnamed(const MisnamedEntry& entry)
{
    const QString digits = entry.name.mid(3);
    QString number = digits;
    while (number.startsWith(QLatin1Char('0')))
        number.remove(0, 1);
    QString why;
    if (number.isEmpty()) {
        why = QStringLiteral("there is no COM0, COM numbers start at 1");
    } else if (number.size() > 4) {
        // The map resolves no number of five digits or more.
        why = QStringLiteral("no COM number is that high");
    } else {
        QStringList faults;
        if (number != digits)
            faults.append(QStringLiteral("a COM number has no leading zero"));
        if (!entry.name.startsWith(QLatin1String("com")))
            faults.append(QStringLiteral("the port map's names are in lower case"));
        why = faults.join(QStringLiteral(", and ")) + QStringLiteral("; rename it com") + number;
    }
    return entry.name + QStringLiteral(": not a port name the program uses: ") + why;
}

QString StateName(PortDiagnosis::State state)
{
    using State = PortDiagnosis::State;
    switch (state) {
    case State::NoDevice:
        return QStringLiteral("no-device");
    case State::Available:
        return QStringLiteral("available");
    case State::PermissionDenied:
        return QStringLiteral("permission-denied");
    case State::Busy:
        return QStringLiteral("busy");
    case State::NotSerial:
        return QStringLiteral("not-serial");
    case State::NoHardware:
        return QStringLiteral("no-hardware");
    case State::DanglingLink:
        return QStringLiteral("dangling-link");
    case State::LinkLoop:
        return QStringLiteral("link-loop");
    case State::UnreachableTarget:
        return QStringLiteral("unreachable-target");
    case State::Unusable:
        return QStringLiteral("unusable");
    }
    return {};
}

PortDiagnosis DiagnosePort(int portNumber)
{
    return DiagnoseOpening(ProbePort({portNumber}));
}

QStringList UnopenedPortsDiagnosis(const QList<PortOpening>& openings)
{
    QStringList lines;
    // The ports with nothing behind their names, by why (an unusable port
    // map, or nothing more to say), each kind on one line at the end.
    QMap<QString, QStringList> empty;
    for (const PortOpening& opening : openings) {
        const PortDiagnosis diagnosis = DiagnoseOpening(opening);
        if (diagnosis.state == PortDiagnosis::State::NoDevice)
            empty[diagnosis.detail].append(opening.port.name());
        else
            lines.append(DescribePort(diagnosis));
    }
    for (auto group = empty.cbegin(); group != empty.cend(); ++group)
        lines.append(NoDeviceLine(group.value(), group.key()));
    return lines;
}

QString NoDeviceLine(const QStringList& portNames, const QString& mapProblem)
{
    return portNames.join(QStringLiteral(", ")) + QStringLiteral(": ") + NoDeviceText(mapProblem);
}
