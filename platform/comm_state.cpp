// Line settings: a DCB mapped onto termios and back.
#include "line_speed.h"
#include "serial_device.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

namespace platform {
namespace {

// The XON/XOFF thresholds a Windows serial driver reports before any
// SetCommState: XON once the input queue holds fewer than XonLimit bytes,
// XOFF once it has fewer than XoffLimit bytes free. Linux's own thresholds
// are fixed in the tty layer; these are only reported back.
constexpr WORD XonLimit = 2048;
constexpr WORD XoffLimit = 512;

// What GetCommState reports for the fields termios cannot hold before any
// SetCommState on this handle: the lines raised, no DSR flow or sensitivity.
DCB stateFromTerminal(const termios& settings)
{
    DCB state{};
    state.fOutxCtsFlow = (settings.c_cflag & CRTSCTS) ? 1 : 0;
    state.fRtsControl = (settings.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fTXContinueOnXoff = 1;
    state.XonLim = XonLimit;
    state.XoffLim = XoffLimit;
    return state;
}

BYTE byteSizeOf(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

tcflag_t sizeFlagFor(BYTE byteSize)
{
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

BYTE parityOf(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return NOPARITY;
    if (cflag & CMSPAR)
        return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

tcflag_t parityFlagsFor(BYTE parity)
{
    switch (parity) {
    case ODDPARITY:
        return PARENB | PARODD;
    case EVENPARITY:
        return PARENB;
    case MARKPARITY:
        return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

bool validState(const DCB& state)
{
    return state.BaudRate != 0 && state.ByteSize >= 5 && state.ByteSize <= 8 &&
           state.Parity <= SPACEPARITY && state.StopBits <= TWOSTOPBITS;
}

// A pseudo-terminal has no modem lines; its refusal is no error here.
void setModemLine(int fd, int line, bool raised)
{
    ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line);
}

} // namespace
} // namespace platform

BOOL GetCommState(HANDLE file, LPDCB dcb)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    termios settings{};
    DWORD baudRate = 0;
    if (!dcb || tcgetattr(device->fd(), &settings) != 0 ||
        !platform::getLineSpeed(device->fd(), baudRate)) {
        SetLastError(dcb ? platform::errorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DCB state = device->lastState().value_or(platform::stateFromTerminal(settings));
    state.DCBlength = sizeof(DCB);
    state.fBinary = 1;
    state.BaudRate = baudRate;
    state.ByteSize = platform::byteSizeOf(settings.c_cflag);
    state.Parity = platform::parityOf(settings.c_cflag);
    if (!(settings.c_cflag & CSTOPB))
        state.StopBits = ONESTOPBIT;
    else if (state.StopBits == ONESTOPBIT)
        state.StopBits = TWOSTOPBITS;
    state.fOutX = (settings.c_iflag & IXON) ? 1 : 0;
    state.fInX = (settings.c_iflag & IXOFF) ? 1 : 0;
    state.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    state.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    *dcb = state;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    if (!dcb || !platform::validState(*dcb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int fd = device->fd();
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        SetLastError(platform::errorFromErrno(errno));
        return FALSE;
    }
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |=
        platform::sizeFlagFor(dcb->ByteSize) | platform::parityFlagsFor(dcb->Parity);
    if (dcb->StopBits != ONESTOPBIT)
        settings.c_cflag |= CSTOPB;
    // Output waits for CTS only when fOutxCtsFlow asks for it, as on Windows.
    // Linux's one flag for it, CRTSCTS, also lowers RTS while the input
    // queue is full; without it, RTS is driven by hand below.
    if (dcb->fOutxCtsFlow)
        settings.c_cflag |= CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | INPCK);
    if (dcb->fOutX)
        settings.c_iflag |= IXON;
    if (dcb->fInX)
        settings.c_iflag |= IXOFF;
    if (dcb->fParity && dcb->Parity != NOPARITY)
        settings.c_iflag |= INPCK;
    if (dcb->XonChar != dcb->XoffChar) {
        settings.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
        settings.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || !platform::setLineSpeed(fd, dcb->BaudRate)) {
        SetLastError(platform::errorFromErrno(errno));
        return FALSE;
    }
    // Linux has no DTR handshake and no RTS toggling, and RTS handshake on
    // its own (input flow control that leaves output alone) exists only as
    // part of CRTSCTS: a handshaking line is raised and stays raised, which
    // lets the other end send until the driver's queue overflows; a toggled
    // line starts low and stays low.
    platform::setModemLine(fd, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
    platform::setModemLine(fd, TIOCM_RTS,
                           dcb->fRtsControl == RTS_CONTROL_ENABLE ||
                               dcb->fRtsControl == RTS_CONTROL_HANDSHAKE);
    device->setLastState(*dcb);
    return TRUE;
}
