#include "modem_line_waiter.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int WatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
// How often the end of the wait is asked for again: a signal that comes just
// before the thread enters TIOCMIWAIT interrupts nothing.
constexpr std::chrono::milliseconds InterruptRepeat{5};

// TIOCMIWAIT can be ended only by a line change, the device going away or a
// signal. A real-time signal that nothing else in the program uses, with a
// handler that does nothing and without SA_RESTART, so that the ioctl
// returns EINTR to the waiting thread.
int interruptSignal()
{
    static const int signal = [] {
        const int chosen = SIGRTMIN + 5;
        struct sigaction action
        {
        };
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(chosen, &action, nullptr);
        return chosen;
    }();
    return signal;
}

} // namespace

std::unique_ptr<ModemLineWaiter> ModemLineWaiter::start(int fd)
{
    const int notifier = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (notifier < 0)
        return nullptr;
    interruptSignal();
    std::unique_ptr<ModemLineWaiter> waiter(new ModemLineWaiter(fd, notifier));
    waiter->thread_ = std::thread([raw = waiter.get()] { raw->run(); });
    return waiter;
}

ModemLineWaiter::ModemLineWaiter(int fd, int notifier) : fd_(fd), notifier_(notifier) {}

ModemLineWaiter::~ModemLineWaiter()
{
    stop_ = true;
    std::unique_lock lock(mutex_);
    while (!endedChanged_.wait_for(lock, InterruptRepeat, [this] { return ended_.load(); }))
        pthread_kill(thread_.native_handle(), interruptSignal());
    lock.unlock();
    thread_.join();
    ::close(notifier_);
}

void ModemLineWaiter::run()
{
    while (!stop_) {
        if (ioctl(fd_, TIOCMIWAIT, WatchedLines) == 0) {
            notify();
            continue;
        }
        if (errno == EINTR)
            continue;
        // EIO: the device went away. Anything else: the driver has no such
        // wait (a pseudo-terminal answers ENOTTY).
        refused_ = errno != EIO;
        break;
    }
    {
        const std::lock_guard guard(mutex_);
        ended_ = true;
    }
    endedChanged_.notify_all();
    notify();
}

void ModemLineWaiter::notify() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(notifier_, &one, sizeof one);
}

void ModemLineWaiter::drain() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] const auto ignored = ::read(notifier_, &count, sizeof count);
}

} // namespace platform
