#include "DeferredSignals.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace {

// The status Windows gives a process that Ctrl+C ended.
constexpr UINT ControlCExitStatus = 0xC000013A;

std::atomic<int> firstReceived{0};

// Windows calls this on a thread of its own. Closing the console, logging off
// and shutting down end the process whatever the handler answers, so only
// Ctrl+C and Ctrl+Break are kept.
BOOL WINAPI keepControlEvent(DWORD controlEvent)
{
    if (controlEvent != CTRL_C_EVENT && controlEvent != CTRL_BREAK_EVENT)
        return FALSE;
    int none = 0;
    firstReceived.compare_exchange_strong(none, SIGINT);
    return TRUE;
}

} // namespace

DeferredSignals::DeferredSignals()
{
    firstReceived.store(0);
    SetConsoleCtrlHandler(keepControlEvent, TRUE);
}

DeferredSignals::~DeferredSignals()
{
    SetConsoleCtrlHandler(keepControlEvent, FALSE);
}

int DeferredSignals::received() const
{
    return firstReceived.load();
}

void DeferredSignals::endProcessAsReceived() const
{
    if (received() != 0)
        ExitProcess(ControlCExitStatus);
}
