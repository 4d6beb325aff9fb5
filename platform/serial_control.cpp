// Queue status, modem lines, escape functions and purging.
#include "serial_device.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

using platform::terminalFor;

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status)
{
    const auto device = terminalFor(file);
    if (!device)
        return FALSE;
    int waitingIn = 0;
    int waitingOut = 0;
    if (ioctl(device->fd(), FIONREAD, &waitingIn) != 0) {
        SetLastError(platform::errorFromErrno(errno));
        return FALSE;
    }
    if (ioctl(device->fd(), TIOCOUTQ, &waitingOut) != 0)
        waitingOut = 0;
    const DWORD lineErrors = device->takeLineErrors();
    if (errors)
        *errors = lineErrors;
    if (status) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(waitingIn);
        status->cbOutQue = static_cast<DWORD>(waitingOut);
    }
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus)
{
    const auto device = terminalFor(file);
    if (!device)
        return FALSE;
    int lines = 0;
    if (ioctl(device->fd(), TIOCMGET, &lines) != 0) {
        SetLastError(platform::errorFromErrno(errno));
        return FALSE;
    }
    DWORD status = 0;
    if (lines & TIOCM_CTS)
        status |= MS_CTS_ON;
    if (lines & TIOCM_DSR)
        status |= MS_DSR_ON;
    if (lines & TIOCM_RNG)
        status |= MS_RING_ON;
    if (lines & TIOCM_CD)
        status |= MS_RLSD_ON;
    if (modemStatus)
        *modemStatus = status;
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function)
{
    const auto device = terminalFor(file);
    if (!device)
        return FALSE;
    const int fd = device->fd();
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    int result = -1;
    switch (function) {
    case SETDTR:
        result = ioctl(fd, TIOCMBIS, &dtr);
        break;
    case CLRDTR:
        result = ioctl(fd, TIOCMBIC, &dtr);
        break;
    case SETRTS:
        result = ioctl(fd, TIOCMBIS, &rts);
        break;
    case CLRRTS:
        result = ioctl(fd, TIOCMBIC, &rts);
        break;
    case SETBREAK:
        result = ioctl(fd, TIOCSBRK);
        break;
    case CLRBREAK:
        result = ioctl(fd, TIOCCBRK);
        break;
    case SETXOFF:
        result = tcflow(fd, TCOOFF);
        break;
    case SETXON:
        result = tcflow(fd, TCOON);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (result != 0) {
        SetLastError(platform::errorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags)
{
    const auto device = terminalFor(file);
    if (!device)
        return FALSE;
    // Transfers finish before their calls return, so there is never one to
    // abort; clearing empties the driver's queues.
    const bool clearIn = flags & PURGE_RXCLEAR;
    const bool clearOut = flags & PURGE_TXCLEAR;
    if (!clearIn && !clearOut)
        return TRUE;
    const int queue = clearIn && clearOut ? TCIOFLUSH : clearIn ? TCIFLUSH : TCOFLUSH;
    if (device->events().purge(queue) != 0) {
        SetLastError(platform::errorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}
