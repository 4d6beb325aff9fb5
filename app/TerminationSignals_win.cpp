#include "TerminationSignals.h"

#include <QMetaObject>

#include <windows.h>

#include <atomic>
#include <csignal>
#include <system_error>

namespace {

// The object the control events are carried to; null while none exists.
std::atomic<TTerminationSignals*> receiver{nullptr};

// Windows' C library has no SIGHUP; the console closing is given its POSIX
// number.
constexpr int HangUpSignal = 1;

// The status Windows gives a process that Ctrl+C ended.
constexpr UINT ControlCExitStatus = 0xC000013A;

int signalFor(DWORD controlEvent)
{
    switch (controlEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return SIGINT;
    case CTRL_CLOSE_EVENT:
        return HangUpSignal;
    default:
        return SIGTERM;
    }
}

// Windows calls this on a thread of its own, so the event is queued to the
// object's thread. Windows ends the process once the handler returns from a
// close, log-off or shut-down event, so those wait there until the program
// has ended the process itself.
BOOL WINAPI forwardControlEvent(DWORD controlEvent)
{
    TTerminationSignals* const object = receiver.load();
    if (!object)
        return FALSE;
    QMetaObject::invokeMethod(object, "Take", Qt::QueuedConnection,
                              Q_ARG(int, signalFor(controlEvent)));
    if (controlEvent == CTRL_C_EVENT || controlEvent == CTRL_BREAK_EVENT)
        return TRUE;
    Sleep(INFINITE);
    return TRUE;
}

} // namespace

struct TTerminationSignals::Catcher
{
};

TTerminationSignals::TTerminationSignals(QObject* parent)
    : QObject(parent), catcher_(std::make_unique<Catcher>())
{
    receiver.store(this);
    if (!SetConsoleCtrlHandler(forwardControlEvent, TRUE)) {
        receiver.store(nullptr);
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "SetConsoleCtrlHandler");
    }
}

TTerminationSignals::~TTerminationSignals()
{
    SetConsoleCtrlHandler(forwardControlEvent, FALSE);
    receiver.store(nullptr);
}

void TTerminationSignals::EndProcessAsReceived()
{
    if (received_ == 0)
        return;
    ExitProcess(received_ == SIGINT ? ControlCExitStatus : 1);
}
