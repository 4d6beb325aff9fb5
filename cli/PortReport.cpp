#include "PortReport.h"

#include "ComPort.h"
#include "Output.h"

#include <QJsonArray>

#include <utility>

namespace cli {

QJsonObject IdentityJson(const DeviceIdentity& identity)
{
    QJsonObject object;
    const std::pair<QString, const QString&> texts[] = {
        {QStringLiteral("friendlyName"), identity.friendlyName},
        {QStringLiteral("vendorId"), identity.vendorId},
        {QStringLiteral("productId"), identity.productId},
        {QStringLiteral("manufacturer"), identity.manufacturer},
        {QStringLiteral("product"), identity.product},
        {QStringLiteral("serialNumber"), identity.serialNumber},
        {QStringLiteral("driver"), identity.driver},
        {QStringLiteral("deviceObject"), identity.deviceObject}};
    for (const auto& [name, value] : texts) {
        if (!value.isEmpty())
            object.insert(name, value);
    }
    const std::pair<QString, const QStringList&> links[] = {
        {QStringLiteral("byId"), identity.byId}, {QStringLiteral("byPath"), identity.byPath}};
    for (const auto& [name, value] : links) {
        if (!value.isEmpty())
            object.insert(name, QJsonArray::fromStringList(value));
    }
    return object;
}

QString PortName(int portIndex)
{
    return ComPort::fromIndex(portIndex).name();
}

QJsonObject PortJson(const PortDiagnosis& diagnosis)
{
    QJsonObject port{{QStringLiteral("port"), QStringLiteral("COM%1").arg(diagnosis.portNumber)},
                     {QStringLiteral("device"), diagnosis.device},
                     {QStringLiteral("state"), StateName(diagnosis.state)},
                     {QStringLiteral("description"), DescribePort(diagnosis)}};
    if (diagnosis.holderPid != 0) {
        port.insert(QStringLiteral("pid"), diagnosis.holderPid);
        port.insert(QStringLiteral("process"), diagnosis.holderName);
        port.insert(QStringLiteral("holds"),
                    diagnosis.holderHasLock ? QStringLiteral("lock") : QStringLiteral("open"));
    }
    if (!diagnosis.identity.isEmpty())
        port.insert(QStringLiteral("identity"), IdentityJson(diagnosis.identity));
    if (diagnosis.state == PortDiagnosis::State::PermissionDenied) {
        port.insert(QStringLiteral("owner"), diagnosis.owner);
        port.insert(QStringLiteral("group"), diagnosis.group);
        port.insert(QStringLiteral("mode"),
                    QStringLiteral("%1").arg(diagnosis.permissions, 4, 8, QLatin1Char('0')));
    }
    return port;
}

QJsonObject MisnamedJson(const MisnamedEntry& entry)
{
    return {{QStringLiteral("entry"), entry.name},
            {QStringLiteral("device"), entry.device},
            {QStringLiteral("state"), StateName(PortDiagnosis::State::Unusable)},
            {QStringLiteral("description"), DescribeMisnamed(entry)}};
}

// The port's object as `ports --json` prints it, its description the
// report's line, with "scan" naming what the scan saw and, where the port
// answered, the radio data.
QJsonObject SeenJson(const PortSeen& seen)
{
    QJsonObject port = PortJson(seen.diagnosis);
    port.insert(QStringLiteral("description"), DescribeSeen(seen));
    port.insert(QStringLiteral("scan"), OutcomeName(seen.outcome));
    if (HasRadioData(seen))
        InsertRadioData(port, seen.address, seen.channelValue);
    return port;
}

} // namespace cli
