// Any baud rate, not only the ones termios names.
#pragma once

#include <windows.h>

namespace platform {

// Both return false with errno set when the device refuses.
bool setLineSpeed(int fd, DWORD baudRate);
bool getLineSpeed(int fd, DWORD& baudRate);

} // namespace platform
