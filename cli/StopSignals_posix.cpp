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
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

int StopSignalCaught()
{
    return caught;
}
