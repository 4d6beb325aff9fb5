// The platform layer keeps what each open met; this turns it into the
// component's account.
#include "PortOpening.h"

#include "port_map.h"

namespace {

// `error`: the Windows error the open set, for a refusal that no errno
// explains.
PortOpening FromAttempt(ComPort port, const platform::OpenAttempt& attempt, bool opened,
                        DWORD error)
{
    PortOpening opening;
    opening.port = port;
    opening.path = attempt.path;
    opening.device = attempt.device;
    opening.opened = opened;
    opening.systemError = attempt.error;
    if (!opened)
        opening.error = attempt.error != 0 ? platform::errorFromErrno(attempt.error) : error;
    opening.lockRefused = attempt.lockRefused;
    opening.terminal = attempt.terminalError == 0;
    opening.terminalError = attempt.terminalError;
    return opening;
}

} // namespace

PortOpening RecordedOpening(ComPort port, bool opened)
{
    return FromAttempt(port, platform::lastOpenAttempt(), opened, GetLastError());
}

PortOpening ProbePort(ComPort port)
{
    const platform::OpenAttempt attempt = platform::probePortName(port.name().toStdString());
    return FromAttempt(port, attempt, attempt.error == 0 && !attempt.path.empty(),
                       ERROR_GEN_FAILURE);
}
