// The requests to end the program: SIGINT, SIGTERM and SIGHUP (Ctrl+C in the
// starting terminal, kill, the end of the session). While an object of this
// class exists they do not end the process on the spot: the first one is
// kept, so that the program can finish what must not be cut short (a port
// released, a write's read-back printed) and then end the process by it, and
// whoever started the process still sees it ended by that signal.
//
// On Windows the console's control events stand for them: Ctrl+C and
// Ctrl+Break for SIGINT, the console closed for SIGHUP (given its POSIX
// number, which Windows' C library lacks), log-off and shut-down for SIGTERM.
// SignalHandling_<platform>.cpp holds the handlers.
#pragma once

#include <functional>
#include <memory>
#include <utility>

class SignalHandling
{
public:
    // Windows ends the process as soon as a handler returns from the console
    // closed, log-off or shut-down, whatever it answers: what the handler does
    // with such an event. POSIX has no such events; SIGHUP is caught like
    // the other signals.
    enum class SessionEnd
    {
        // Left to the next handler, the system's, which ends the process.
        Passed,
        // Kept and told like the other signals; the process ends as the
        // handler returns.
        Kept,
        // Kept and told like the other signals; the handler then waits until
        // the program has ended the process itself.
        AwaitEnd
    };

    // Installs the handlers, which keep the signals and tell nobody; on
    // Windows the session's end is Passed. A signal that the process was
    // started with ignored (nohup ignores SIGHUP) stays ignored. At most one
    // object may exist at a time. Throws std::system_error when the signals
    // cannot be caught or carried to where they are told.
    SignalHandling() : SignalHandling(SessionEnd::Passed, nullptr, {}) {}
    // Also runs `interrupt` for each signal inside the handler, so it may do
    // only what is safe there (async-signal-safe on POSIX; on Windows it runs
    // on a thread the system starts for the event): waking a wait, for
    // example.
    SignalHandling(SessionEnd sessionEnd, void (*interrupt)())
        : SignalHandling(sessionEnd, interrupt, {})
    {}
    // Also runs `arrived` for each signal on the thread that made the object,
    // from that thread's event loop.
    SignalHandling(SessionEnd sessionEnd, std::function<void(int signalNumber)> arrived)
        : SignalHandling(sessionEnd, nullptr, std::move(arrived))
    {}
    // Gives the signals back the handling they had before.
    ~SignalHandling();
    SignalHandling(const SignalHandling&) = delete;
    SignalHandling& operator=(const SignalHandling&) = delete;

    // The first signal received so far, 0 when none.
    int received() const;

    // Ends the process as the signal received would have. Returns only when
    // none was received.
    void endProcessAsReceived() const
    {
        if (const int signalNumber = received(); signalNumber != 0)
            endProcessBy(signalNumber);
    }

    // Ends the process as `signalNumber` would have: on POSIX the signal's
    // default action is restored and the signal raised, so that a shell sees
    // the process ended by it and stops a script on Ctrl+C; on Windows the
    // process exits with the status Ctrl+C gives, or 1 for the others.
    static void endProcessBy(int signalNumber);

private:
    // Installs the handlers.
    SignalHandling(SessionEnd sessionEnd, void (*interrupt)(),
                   std::function<void(int signalNumber)> arrived);

    // What the platform needs to catch the signals and put back the handling
    // they had before.
    struct Catcher;
    std::unique_ptr<Catcher> catcher_;
};
