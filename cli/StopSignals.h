// The signals that end a command which runs until it is stopped: SIGINT,
// SIGTERM and SIGHUP (Ctrl+C, Ctrl+Break and a closed console on Windows).
// Caught, they end the current wait of a PortWatcher and are kept, so that
// the module in hand is finished first. A signal that the process was started
// with ignored stays ignored, and the handling the signals had before returns
// when the object returned goes.
#pragma once

#include "PortWatcher.h"
#include "SignalHandling.h"

[[nodiscard]] inline SignalHandling CatchStopSignals()
{
    return SignalHandling(SignalHandling::SessionEnd::Kept, PortWatcher::interrupt);
}
