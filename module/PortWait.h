// Waiting for the next chance to find a module, shared by --wait and the
// production line.
#pragma once

#include "PortSeen.h"
#include "PortWatcher.h"

#include <QDeadlineTimer>
#include <QList>

enum class WaitEnd
{
    // A port appeared or changed, or one that refused may be granted now.
    TryAgain,
    TimedOut,
    Interrupted
};

// Waits until it is worth looking for a module again, or until `limit`.
// The devices of the ports that `unopened` could not open are watched: one that refused
// this user may be granted at any time, by a change of its mode or owner.
// One whose device appeared less than a second ago and refused this user is
// also tried again after that second, not reported: the system gives a
// device that was just plugged in to its group a moment after it appears.
WaitEnd WaitToTryAgain(PortWatcher& watcher, const QList<PortSeen>& unopened, QDeadlineTimer limit);
