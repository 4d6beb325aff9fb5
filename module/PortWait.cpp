#include "PortWait.h"

#include "PortDiagnosis.h"

#include <chrono>

namespace {

constexpr std::chrono::milliseconds GrantTime{1000};

} // namespace

WaitEnd WaitToTryAgain(PortWatcher& watcher, const QList<PortSeen>& unopened, QDeadlineTimer limit)
{
    QDeadlineTimer wake = limit;
    bool retryDue = false;
    for (const PortSeen& port : unopened) {
        watcher.watchDevice(port.portNumber);
        const auto age = PortWatcher::entryAge(port.portNumber);
        if (!age || *age >= GrantTime ||
            port.diagnosis.state != PortDiagnosis::State::PermissionDenied)
            continue;
        const QDeadlineTimer granted((GrantTime - *age).count());
        if (granted < wake) {
            wake = granted;
            retryDue = true;
        }
    }
    switch (watcher.wait(wake)) {
    case PortWatcher::Wake::Changed:
        return WaitEnd::TryAgain;
    case PortWatcher::Wake::Interrupted:
        return WaitEnd::Interrupted;
    case PortWatcher::Wake::TimedOut:
        break;
    }
    return retryDue && !limit.hasExpired() ? WaitEnd::TryAgain : WaitEnd::TimedOut;
}
