// The port checks on Windows: an exclusive open of the port, as the serial
// component makes it. Windows names no holder of a busy port.
#include "PortDiagnosis.h"

#include "ModuleSession.h"

#include <windows.h>

#include <string>

namespace {

// The ports detection tries.
constexpr int HighestListed = ModuleTiming::LastPortTried + 1;

} // namespace

// Windows keeps a port's number with its device.
QString PortDevice(int portNumber)
{
    return QStringLiteral("\\\\.\\COM%1").arg(portNumber);
}

PortDiagnosis DiagnosePort(int portNumber)
{
    PortDiagnosis diagnosis;
    diagnosis.portNumber = portNumber;
    const std::string name = "\\\\.\\COM" + std::to_string(portNumber);
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        diagnosis.device = QString::fromStdString(name);
        diagnosis.state = GetFileType(handle) == FILE_TYPE_CHAR ? PortDiagnosis::State::Available
                                                                : PortDiagnosis::State::NotSerial;
        diagnosis.detail = QStringLiteral("not a character device");
        CloseHandle(handle);
        return diagnosis;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return diagnosis;
    diagnosis.device = QString::fromStdString(name);
    // A COM port that exists but refuses the exclusive open is held.
    diagnosis.state =
        error == ERROR_ACCESS_DENIED ? PortDiagnosis::State::Busy : PortDiagnosis::State::Unusable;
    diagnosis.detail = QStringLiteral("error %1").arg(error);
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
