// Serial events: which ones a handle reports, and waiting for them.
#include "serial_device.h"

BOOL SetCommMask(HANDLE file, DWORD eventMask)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    device->events().setMask(eventMask);
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
    *eventMask = device->events().mask();
    return TRUE;
}

// Completes before it returns, as an overlapped call may: the events are in
// *eventMask and the OVERLAPPED block's event is set. A mask of 0 means that
// SetCommMask ended the wait.
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    DWORD events = 0;
    DWORD error = ERROR_SUCCESS;
    const bool ok = device->events().wait(events, error);
    if (eventMask)
        *eventMask = events;
    if (overlapped) {
        overlapped->Internal = ok ? ERROR_SUCCESS : error;
        overlapped->InternalHigh = 0;
        if (overlapped->hEvent)
            SetEvent(overlapped->hEvent);
    }
    if (!ok) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
