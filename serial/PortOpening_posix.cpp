// The platform layer keeps what each open met; this turns it into the
// component's account.
#include "PortOpening.h"

#include "port_map.h"

namespace {

PortOpening FromAttempt(ComPort port, const platform::OpenAttempt& attempt)
{
    PortOpening opening;
    opening.port = port;
    opening.path = attempt.path;
    opening.device = attempt.device;
    opening.opened = attempt.error == 0 && !attempt.path.empty();
    opening.systemError = attempt.error;
    opening.error = opening.opened ? ERROR_SUCCESS : platform::errorFromErrno(attempt.error);
    opening.lockRefused = attempt.lockRefused;
    opening.terminal = attempt.terminalError == 0;
    opening.terminalError = attempt.terminalError;
    return opening;
}

} // namespace

PortOpening RecordedOpening(ComPort port, bool)
{
    return FromAttempt(port, platform::lastOpenAttempt());
}

PortOpening ProbePort(ComPort port)
{
    return FromAttempt(port, platform::probePortName(port.name().toStdString()));
}
