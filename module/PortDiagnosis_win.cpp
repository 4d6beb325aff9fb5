// The port checks on Windows: what the exclusive open of the port met, and
// what the device manager says the device is. Windows names no holder of a
// busy port.
#include "PortDiagnosis.h"

#include "ModuleSession.h"

namespace {

// The ports detection tries.
constexpr int HighestListed = ModuleTiming::LastPortTried + 1;

} // namespace

// Windows keeps a port's number with its device.
QString PortDevice(int portNumber)
{
    return QStringLiteral("\\\\.\\COM%1").arg(portNumber);
}

PortDiagnosis DiagnoseOpening(const PortOpening& opening)
{
    PortDiagnosis diagnosis;
    diagnosis.portNumber = opening.port.number;
    diagnosis.device = QString::fromStdString(opening.path);
    if (opening.path.empty())
        return diagnosis;
    diagnosis.identity = IdentifyDevice(diagnosis.device);
    if (opening.opened) {
        diagnosis.state =
            opening.terminal ? PortDiagnosis::State::Available : PortDiagnosis::State::NotSerial;
        diagnosis.detail = QStringLiteral("not a character device");
        return diagnosis;
    }
    // A COM port that exists but refuses the exclusive open is held.
    diagnosis.state = opening.error == ERROR_ACCESS_DENIED ? PortDiagnosis::State::Busy
                                                           : PortDiagnosis::State::Unusable;
    diagnosis.detail = QStringLiteral("error %1").arg(opening.error);
    return diagnosis;
}

QList<MisnamedEntry> MisnamedMapEntries()
{
    return {};
}

QList<int> ListedPortNumbers()
{
    QList<int> numbers;
    for (int number = 1; number <= HighestListed; ++number)
        numbers.append(number);
    return numbers;
}
