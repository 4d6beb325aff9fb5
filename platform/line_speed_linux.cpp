// Linux sets arbitrary rates through termios2 with BOTHER. Its header defines
// its own struct termios, so this file includes neither <termios.h> nor
// <sys/ioctl.h>.
#include "line_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace platform {
namespace {

// A rate that termios names keeps its name, so that every other tool reads it
// back; any other rate is given as a number.
unsigned int speedCode(DWORD baudRate)
{
    static constexpr struct
    {
        DWORD rate;
        unsigned int code;
    } named[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},
                 {150, B150},       {200, B200},       {300, B300},        {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const auto& entry : named) {
        if (entry.rate == baudRate)
            return entry.code;
    }
    return BOTHER;
}

} // namespace

bool setLineSpeed(int fd, DWORD baudRate)
{
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    const unsigned int code = speedCode(baudRate);
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= code | (code << IBSHIFT);
    settings.c_ospeed = baudRate;
    settings.c_ispeed = baudRate;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

bool getLineSpeed(int fd, DWORD& baudRate)
{
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    baudRate = settings.c_ospeed;
    return true;
}

} // namespace platform
