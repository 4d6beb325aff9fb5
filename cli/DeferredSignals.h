// Once a write command has gone out the module may have changed, and the user
// must learn what it holds. While an object of this class exists, SIGINT,
// SIGTERM and SIGHUP (on Windows, the console's Ctrl+C and Ctrl+Break) do not
// end the process: the first one is kept, so that the read-back can finish
// and its result be printed, and then ends the process as it would have.
#pragma once

class DeferredSignals
{
public:
    // A signal that the process was started with ignored stays ignored. At
    // most one object may exist at a time.
    DeferredSignals();
    // Gives the signals back the handling they had before.
    ~DeferredSignals();
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

    // The first signal received so far, 0 when none.
    int received() const;
    // Ends the process as the signal received would have, so that whoever
    // started it sees it ended by that signal. Returns only when none was
    // received.
    void endProcessAsReceived() const;
};
