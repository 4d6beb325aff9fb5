// The ports as melvix-module reports them: their names, and their JSON
// objects with what was found of them.
#pragma once

#include "PortDiagnosis.h"
#include "PortSeen.h"

#include <QJsonObject>
#include <QString>

namespace cli {

// What the system says the device is, as the JSON objects hold it; only
// what it says appears.
QJsonObject IdentityJson(const DeviceIdentity& identity);
// "COM5" for port index 4.
QString PortName(int portIndex);
// The port's object of `ports --json`: its device, state, description and
// what the system says the device is.
QJsonObject PortJson(const PortDiagnosis& diagnosis);
// A misnamed entry of the port map, as `ports --json` lists it.
QJsonObject MisnamedJson(const MisnamedEntry& entry);
// The port's object as `ports --json` prints it, its description the
// report's line, with "scan" naming what the scan saw and, where the port
// answered, the radio data.
QJsonObject SeenJson(const PortSeen& seen);

} // namespace cli
