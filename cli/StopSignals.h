// The signals that end a command which runs until it is stopped: SIGINT,
// SIGTERM and SIGHUP (Ctrl+C, Ctrl+Break and a closed console on Windows).
// Caught, they end the current wait of a PortWatcher and are remembered, so
// that the module in hand is finished first. A signal that the process was
// started with ignored stays ignored.
#pragma once

void CatchStopSignals();
// The signal caught, or 0.
int StopSignalCaught();
