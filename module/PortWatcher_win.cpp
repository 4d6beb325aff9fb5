// Windows lists its serial ports under HARDWARE\DEVICEMAP\SERIALCOMM and
// signals a change of that key; an event that interrupt sets ends a wait.
#include "PortWatcher.h"

#include <windows.h>

namespace {

HANDLE InterruptEvent()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

} // namespace

struct PortWatcher::Watch
{
    HKEY key = nullptr;
    HANDLE changed = nullptr;
    std::optional<Failure> failure;

    bool Arm()
    {
        return RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE) ==
               ERROR_SUCCESS;
    }
};

PortWatcher::PortWatcher() : watch_(std::make_unique<Watch>())
{
    InterruptEvent();
    watch_->changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_NOTIFY,
                      &watch_->key) != ERROR_SUCCESS ||
        !watch_->changed || !watch_->Arm())
        watch_->failure =
            Failure{QStringLiteral("watch the ports"), static_cast<int>(GetLastError()),
                    QStringLiteral("cannot watch the system's list of serial ports")};
}

PortWatcher::~PortWatcher()
{
    if (watch_->key)
        RegCloseKey(watch_->key);
    if (watch_->changed)
        CloseHandle(watch_->changed);
}

const std::optional<Failure>& PortWatcher::failure() const
{
    return watch_->failure;
}

PortWatcher::Wake PortWatcher::wait(QDeadlineTimer deadline)
{
    const HANDLE handles[2] = {InterruptEvent(), watch_->changed};
    const qint64 left = deadline.remainingTime();
    const DWORD result = WaitForMultipleObjects(watch_->failure ? 1 : 2, handles, FALSE,
                                                left < 0 ? INFINITE : static_cast<DWORD>(left));
    if (result == WAIT_OBJECT_0)
        return Wake::Interrupted;
    if (result == WAIT_OBJECT_0 + 1) {
        watch_->Arm();
        return Wake::Changed;
    }
    return Wake::TimedOut;
}

// Windows grants a port as soon as it is listed.
void PortWatcher::watchDevice(int) {}

void PortWatcher::interrupt()
{
    SetEvent(InterruptEvent());
}

std::optional<std::chrono::milliseconds> PortWatcher::entryAge(int)
{
    return std::nullopt;
}
