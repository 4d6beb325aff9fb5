#include "PortDiagnosis.h"

namespace {

QString PortLabel(const PortDiagnosis& diagnosis)
{
    const QString name = QStringLiteral("COM%1").arg(diagnosis.portNumber);
    if (diagnosis.device.isEmpty())
        return name;
    return QStringLiteral("%1 (%2)").arg(name, diagnosis.device);
}

QString StateText(const PortDiagnosis& diagnosis)
{
    using State = PortDiagnosis::State;
    switch (diagnosis.state) {
    case State::NoDevice:
        return QStringLiteral("no device");
    case State::Available:
        return QStringLiteral("serial device, can be opened");
    case State::PermissionDenied:
        return QStringLiteral("permission denied — join the dialout group: "
                              "sudo adduser $USER dialout, then log in again");
    case State::Busy:
        if (diagnosis.holderPid == 0)
            return QStringLiteral("busy, held by another program");
        return QStringLiteral("busy, held by process %1 (%2)")
            .arg(diagnosis.holderPid)
            .arg(diagnosis.holderName);
    case State::NotSerial:
        return QStringLiteral("not a serial device (%1)").arg(diagnosis.detail);
    case State::NoHardware:
        return QStringLiteral("no serial hardware behind this port");
    case State::DanglingLink:
        return QStringLiteral("dangling link: what it points to does not exist");
    case State::Unusable:
        return QStringLiteral("cannot be opened: %1").arg(diagnosis.detail);
    }
    return {};
}

} // namespace

QString DescribePort(const PortDiagnosis& diagnosis)
{
    return PortLabel(diagnosis) + QStringLiteral(": ") + StateText(diagnosis);
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
    case State::Unusable:
        return QStringLiteral("unusable");
    }
    return {};
}

QStringList UnopenedPortsDiagnosis(const QList<int>& portIndices)
{
    QStringList lines;
    QStringList empty;
    for (const int index : portIndices) {
        const PortDiagnosis diagnosis = DiagnosePort(index + 1);
        if (diagnosis.state == PortDiagnosis::State::NoDevice)
            empty.append(QStringLiteral("COM%1").arg(index + 1));
        else
            lines.append(DescribePort(diagnosis));
    }
    if (!empty.isEmpty())
        lines.append(empty.join(QStringLiteral(", ")) + QStringLiteral(": no device"));
    return lines;
}
