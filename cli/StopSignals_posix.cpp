#include "StopSignals.h"

#include "PortWatcher.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t caught = 0;

void Note(int signal)
{
    caught = signal;
    PortWatcher::Interrupt();
}

} // namespace

void CatchStopSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = Note;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls go on; the watcher's wait ends through its pipe.
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal that the process was started with ignored stays ignored,
        // as a shell asks of a program it starts in the background.
        struct sigaction previous
        {
        };
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

int StopSignalCaught()
{
    return caught;
}
