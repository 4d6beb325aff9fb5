// Which serial events a handle reports.
#include "serial_device.h"

BOOL SetCommMask(HANDLE file, DWORD eventMask)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    device->setEventMask(eventMask);
    return TRUE;
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    if (!eventMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *eventMask = device->eventMask();
    return TRUE;
}
