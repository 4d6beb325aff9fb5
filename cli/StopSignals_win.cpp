#include "StopSignals.h"

#include "PortWatcher.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> caught{0};

BOOL WINAPI Note(DWORD event)
{
    caught = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    PortWatcher::Interrupt();
    return TRUE;
}

} // namespace

void CatchStopSignals()
{
    SetConsoleCtrlHandler(Note, TRUE);
}

int StopSignalCaught()
{
    return caught;
}
