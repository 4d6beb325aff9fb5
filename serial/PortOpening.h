// What one open of a serial port met, from the system that refused or
// granted it: so that a port that could not be used is explained from the
// open that failed, not from another one made later.
#pragma once

#include "ComPort.h"

#include <windows.h>

#include <string>

struct PortOpening
{
    ComPort port;
    // The device opened; it may still have refused its settings.
    bool opened = false;
    // What the port name led to (a port map entry or a device name); empty
    // when it led to nothing at all.
    std::string path;
    // The device file that was opened, links followed.
    std::string device;
    // The Windows error of the step that failed, ERROR_SUCCESS when none did.
    DWORD error = ERROR_SUCCESS;
    // The system's own error behind it where it has one (errno on POSIX),
    // else 0.
    int systemError = 0;
    // The device was refused because another open holds its lock.
    bool lockRefused = false;
    // The device opened but is no terminal: the system's error for asking
    // it for its terminal settings, where there is one.
    bool terminal = true;
    int terminalError = 0;
    // The device opened as a serial port but refused its settings.
    bool settingsRefused = false;
};

// What the CreateFileA just made on this thread for `port` met; on Windows
// the last error must still be the one that call set.
PortOpening RecordedOpening(ComPort port, bool opened);

// Opens the port once, as the component would, only to see whether it can be
// opened, and closes it again; nothing is sent and its settings stay as they
// are. For a port that nothing has tried to open yet.
PortOpening ProbePort(ComPort port);
