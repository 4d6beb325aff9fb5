// Completing OVERLAPPED blocks, and GetOverlappedResult, which reads them.
#include "overlapped_completion.h"

#include "serial_device.h"

namespace platform {

void completeOverlapped(LPOVERLAPPED overlapped, DWORD status, DWORD transferred)
{
    if (!overlapped)
        return;
    overlapped->Internal = status;
    overlapped->InternalHigh = transferred;
    if (overlapped->hEvent)
        SetEvent(overlapped->hEvent);
}

BOOL completeCall(bool ok, DWORD error, DWORD transferred, LPDWORD transferredOut,
                  LPOVERLAPPED overlapped)
{
    if (transferredOut)
        *transferredOut = transferred;
    completeOverlapped(overlapped, ok ? ERROR_SUCCESS : error, transferred);
    if (!ok) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

} // namespace platform

// Only a WaitCommEvent can still be pending; reads and writes complete before
// they return. Whether one is pending is asked of the device's event monitor,
// which completes it under its lock, so the block is read only once it is no
// longer written.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait)
{
    const auto object = platform::lookupObject(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto device = std::dynamic_pointer_cast<platform::SerialDevice>(object);
    if (device && device->isTerminal() && device->events().isPending(overlapped, wait != FALSE)) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (bytesTransferred)
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(overlapped->Internal));
        return FALSE;
    }
    return TRUE;
}
