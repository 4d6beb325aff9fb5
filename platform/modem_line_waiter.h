// Waits for modem-line changes (CTS, DSR, carrier, ring) with TIOCMIWAIT, the
// blocking wait that the serial core and the USB-serial drivers offer, on a
// thread of its own, and reports each change on a descriptor that an epoll
// can watch. An idle port then costs no wake-ups at all; only where the driver
// refuses the wait do lines have to be sampled.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

class ModemLineWaiter
{
public:
    // Starts waiting on `fd`; empty when the system gives no eventfd.
    static std::unique_ptr<ModemLineWaiter> start(int fd);
    // Ends the wait and joins the thread.
    ~ModemLineWaiter();
    ModemLineWaiter(const ModemLineWaiter&) = delete;
    ModemLineWaiter& operator=(const ModemLineWaiter&) = delete;

    // Readable after a line change, and once when the wait has ended for good.
    int notifier() const { return notifier_; }
    // Takes what made the notifier readable.
    void drain() const;
    // The driver has no TIOCMIWAIT: lines must be sampled.
    bool refused() const { return refused_; }
    // The wait has ended for good (refused, or the device went away).
    bool ended() const { return ended_; }

private:
    ModemLineWaiter(int fd, int notifier);
    void run();
    void notify() const;

    const int fd_;
    const int notifier_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refused_{false};
    std::atomic<bool> ended_{false};
    std::mutex mutex_; // guards nothing but the wait for ended_ in the destructor
    std::condition_variable endedChanged_;
    std::thread thread_;
};

} // namespace platform
