// Once a write command has gone out the module may have changed, and the user
// must learn what it holds. While an object of this type exists, SIGINT,
// SIGTERM and SIGHUP (on Windows, the console's Ctrl+C and Ctrl+Break) do not
// end the process: the first one is kept, so that the read-back can finish
// and its result be printed, and then ends the process as it would have.
// Closing the console, logging off and shutting down end a Windows process
// whatever a handler answers, so those are left to the system.
#pragma once

#include "SignalHandling.h"

using DeferredSignals = SignalHandling;
