#include "PortWait.h"

#include "PortDiagnosis.h"

#include <chrono>

namespace cli {

namespace {

constexpr std::chrono::milliseconds GrantTime{1000};

} // namespace

WaitEnd WaitToTryAgain(PortWatcher& watcher, const QList<int>& unopened, QDeadlineTimer limit)
{
    QDeadlineTimer wake = limit;
    bool retryDue = false;
    for (const int index : unopened) {
        watcher.WatchDevice(index + 1);
        const auto age = PortWatcher::EntryAge(index + 1);
        if (!age || *age >= GrantTime ||
            DiagnosePort(index + 1).state != PortDiagnosis::State::PermissionDenied)
            continue;
        const QDeadlineTimer granted((GrantTime - *age).count());
        if (granted < wake) {
            wake = granted;
            retryDue = true;
        }
    }
    switch (watcher.Wait(wake)) {
    case PortWatcher::Wake::Changed:
        return WaitEnd::TryAgain;
    case PortWatcher::Wake::Interrupted:
        return WaitEnd::Interrupted;
    case PortWatcher::Wake::TimedOut:
        break;
    }
    return retryDue && !limit.hasExpired() ? WaitEnd::TryAgain : WaitEnd::TimedOut;
}

} // namespace cli
