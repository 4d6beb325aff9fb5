// The port checks on Windows: what the exclusive open of the port met, and
// what the device manager says the device is. Windows names no holder of a
// busy port.
#include "PortDiagnosis.h"

#include "ModuleSession.h"

#include <windows.h>

namespace {

// The ports detection tries.
constexpr int HighestListed = ModuleTiming::LastPortTried + 1;

} // namespace

bool DevicePresent(const QString& device)
{
    // A port is opened by one handle at a time, so while it is held the open
    // is refused; only a port whose device is gone, as a pulled USB adapter,
    // is not found. Wine lets the open of a held port through, and the open
    // of a port whose device is gone too, as a handle to no serial device.
    if (device.isEmpty())
        return false;
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(device.utf16()), 0, 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        const bool serial = GetFileType(handle) == FILE_TYPE_CHAR;
        CloseHandle(handle);
        return serial;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

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
