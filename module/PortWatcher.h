// Wakes a command that waits for a module when a serial port may have
// appeared, changed or gone. The operating system reports changes to the
// port map directory (or to /dev under the default map), also when the
// directory is yet to be made, or is a link pointed elsewhere, so that
// nothing runs while nothing changes.
#pragma once

#include "Failure.h"

#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class PortWatcher
{
public:
    enum class Wake
    {
        Changed,
        TimedOut,
        // interrupt() was called, from a signal handler for example.
        Interrupted
    };

    // Starts watching at once, so that no change made after this is missed.
    PortWatcher();
    ~PortWatcher();
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    // None while watching; else why the ports cannot be watched.
    const std::optional<Failure>& failure() const;

    // Waits until an entry of the port map was added, removed or replaced or
    // had its mode or owner changed, or a device given to watchDevice had, or
    // until the deadline. Changes made while nobody waited are reported by
    // the next wait.
    Wake wait(QDeadlineTimer deadline);

    // Also wakes Wait when the device behind COM<portNumber> has its mode or
    // owner changed: a device that refused an open may be granted later.
    // The watch lasts as long as the watcher.
    void watchDevice(int portNumber);

    // Ends the current or the next Wait with Interrupted. Safe in a signal
    // handler and from any thread.
    static void interrupt();

    // How long ago the entry of COM<portNumber> appeared, as far as the
    // system tells; nullopt when there is no entry or it cannot tell.
    static std::optional<std::chrono::milliseconds> entryAge(int portNumber);

private:
    struct Watch;
    std::unique_ptr<Watch> watch_;
};
