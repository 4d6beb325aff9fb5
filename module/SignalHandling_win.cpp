#include "SignalHandling.h"

#include <QMetaObject>
#include <QObject>

#include <windows.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <system_error>

namespace {

// What the console handler needs of the object that exists.
struct HandlerState
{
    std::atomic<int> firstReceived{0};
    void (*interrupt)() = nullptr;
    std::function<void(int signalNumber)> arrived;
    SignalHandling::SessionEnd sessionEnd = SignalHandling::SessionEnd::Passed;
    // Lives on the thread that made the object; `arrived` is queued to it.
    std::unique_ptr<QObject> context;
};

// Windows' C library has no SIGHUP; the console closing is given its POSIX
// number.
constexpr int HangUpSignal = 1;

// The status Windows gives a process that Ctrl+C ended.
constexpr UINT ControlCExitStatus = 0xC000013A;

// Guards `current`: which object the console handler serves, null while none
// exists. The handler holds it while it uses the object, so that the object
// cannot go meanwhile.
std::mutex currentMutex;
HandlerState* current = nullptr;

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

// Windows calls this on a thread of its own.
BOOL WINAPI catchControlEvent(DWORD controlEvent)
{
    const bool sessionEnds = controlEvent != CTRL_C_EVENT && controlEvent != CTRL_BREAK_EVENT;
    bool awaitEnd = false;
    {
        const std::lock_guard lock(currentMutex);
        HandlerState* const catcher = current;
        if (!catcher || (sessionEnds && catcher->sessionEnd == SignalHandling::SessionEnd::Passed))
            return FALSE;
        const int signalNumber = signalFor(controlEvent);
        int none = 0;
        catcher->firstReceived.compare_exchange_strong(none, signalNumber);
        if (catcher->interrupt)
            catcher->interrupt();
        if (catcher->arrived) {
            QMetaObject::invokeMethod(
                catcher->context.get(), [catcher, signalNumber] { catcher->arrived(signalNumber); },
                Qt::QueuedConnection);
        }
        awaitEnd = sessionEnds && catcher->sessionEnd == SignalHandling::SessionEnd::AwaitEnd;
    }
    // Not holding the lock: the program goes on, ends and takes this thread.
    if (awaitEnd)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

struct SignalHandling::Catcher : HandlerState
{
};

SignalHandling::SignalHandling(SessionEnd sessionEnd, void (*interrupt)(),
                               std::function<void(int signalNumber)> arrived)
    : catcher_(std::make_unique<Catcher>())
{
    catcher_->interrupt = interrupt;
    catcher_->arrived = std::move(arrived);
    catcher_->sessionEnd = sessionEnd;
    catcher_->context = std::make_unique<QObject>();
    {
        const std::lock_guard lock(currentMutex);
        current = catcher_.get();
    }
    if (!SetConsoleCtrlHandler(catchControlEvent, TRUE)) {
        const auto error = static_cast<int>(GetLastError());
        const std::lock_guard lock(currentMutex);
        current = nullptr;
        throw std::system_error(error, std::system_category(), "SetConsoleCtrlHandler");
    }
}

SignalHandling::~SignalHandling()
{
    SetConsoleCtrlHandler(catchControlEvent, FALSE);
    // Waits for a handler that is using the object.
    const std::lock_guard lock(currentMutex);
    current = nullptr;
}

int SignalHandling::received() const
{
    return catcher_->firstReceived.load();
}

void SignalHandling::endProcessBy(int signalNumber)
{
    ExitProcess(signalNumber == SIGINT ? ControlCExitStatus : 1);
}
