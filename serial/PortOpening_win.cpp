// Windows tells only the error of the open and whether the file is a
// character device; it keeps a port's number with its device.
#include "PortOpening.h"

namespace {

std::string DeviceName(ComPort port)
{
    return "\\\\.\\COM" + std::to_string(port.number);
}

PortOpening Opening(ComPort port, bool opened, DWORD error)
{
    PortOpening opening;
    opening.port = port;
    opening.opened = opened;
    opening.error = opened ? ERROR_SUCCESS : error;
    if (opened || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND))
        opening.path = DeviceName(port);
    if (opened)
        opening.device = opening.path;
    return opening;
}

} // namespace

PortOpening RecordedOpening(ComPort port, bool opened)
{
    return Opening(port, opened, GetLastError());
}

PortOpening ProbePort(ComPort port)
{
    const HANDLE handle = CreateFileA(DeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    PortOpening opening = Opening(port, handle != INVALID_HANDLE_VALUE, GetLastError());
    if (opening.opened) {
        opening.terminal = GetFileType(handle) == FILE_TYPE_CHAR;
        CloseHandle(handle);
    }
    return opening;
}
