#include "PortMapCommand.h"

#include "ModuleCommands.h"
#include "Output.h"
#include "PortDiagnosis.h"
#include "PortMapping.h"
#include "PortReport.h"

#include <QJsonArray>
#include <QJsonObject>

namespace cli {

namespace {

// What the system says of the device, without its /dev/serial links: the
// table's own column names the one the map leads through.
QString IdentityLine(DeviceIdentity identity)
{
    identity.byId.clear();
    identity.byPath.clear();
    return DescribeIdentity(identity).value(0);
}

QJsonObject MappedJson(const MappedPort& port)
{
    QJsonObject object{{QStringLiteral("port"), QStringLiteral("COM%1").arg(port.number)},
                       {QStringLiteral("link"), port.stableName},
                       {QStringLiteral("device"), port.device}};
    if (!port.identity.isEmpty())
        object.insert(QStringLiteral("identity"), IdentityJson(port.identity));
    return object;
}

QJsonObject UnmappedJson(const UnmappedDevice& device)
{
    QJsonObject object{{QStringLiteral("device"), device.device},
                       {QStringLiteral("reason"), device.reason}};
    if (!device.identity.isEmpty())
        object.insert(QStringLiteral("identity"), IdentityJson(device.identity));
    return object;
}

void PrintTable(const QString& directory, PortMapKey key, const PortMapPlan& plan)
{
    PrintLine(stdout,
              QStringLiteral("Port map %1, USB serial devices by %2:")
                  .arg(directory, key == PortMapKey::ByPath ? QStringLiteral("socket")
                                                            : QStringLiteral("serial number")));
    for (const MappedPort& port : plan.ports) {
        PrintLine(stdout, port.stableName == port.device
                              ? QStringLiteral("COM%1: %2").arg(port.number).arg(port.device)
                              : QStringLiteral("COM%1: %2 -> %3")
                                    .arg(port.number)
                                    .arg(port.stableName, port.device));
        if (const QString identity = IdentityLine(port.identity); !identity.isEmpty())
            PrintLine(stdout, identity);
    }
}

} // namespace

int runPortMap(const Settings& settings)
{
    const QString directory = QString::fromStdString(settings.mapDirectory);
    const PortMapKey key = settings.mapById ? PortMapKey::ById : PortMapKey::ByPath;
    const QString keyName =
        key == PortMapKey::ByPath ? QStringLiteral("path") : QStringLiteral("id");
    const Result<PortMapPlan> made = MakePortMap(directory, key);
    if (!made) {
        if (settings.json)
            PrintJson({{QStringLiteral("map"), directory},
                       {QStringLiteral("by"), keyName},
                       {QStringLiteral("error"), made.failure().text},
                       {QStringLiteral("found"), false},
                       {QStringLiteral("exit"), static_cast<int>(ModuleNotFound)}});
        PrintLine(stderr, QStringLiteral("melvix-module: ") + made.failure().text);
        return ModuleNotFound;
    }
    const PortMapPlan& plan = made.value();
    for (const UnmappedDevice& device : plan.unmapped)
        PrintLine(stderr, QStringLiteral("melvix-module: %1 has no COM number: %2")
                              .arg(device.device, device.reason));
    if (!settings.json) {
        PrintTable(directory, key, plan);
        return Done;
    }
    QJsonArray ports;
    for (const MappedPort& port : plan.ports)
        ports.append(MappedJson(port));
    QJsonArray unmapped;
    for (const UnmappedDevice& device : plan.unmapped)
        unmapped.append(UnmappedJson(device));
    PrintJson({{QStringLiteral("map"), directory},
               {QStringLiteral("by"), keyName},
               {QStringLiteral("ports"), ports},
               {QStringLiteral("unmapped"), unmapped},
               {QStringLiteral("found"), false},
               {QStringLiteral("exit"), static_cast<int>(Done)}});
    return Done;
}

} // namespace cli
