#include "comm_event_monitor.h"

#include <algorithm>
#include <cerrno>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr DWORD LineEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
// How often lines are sampled while line events are asked for and the driver
// can only be asked, not waited on.
constexpr int LineSampleMs = 10;
// How often a draining output queue is looked at.
constexpr int DrainSampleMs = 5;

} // namespace

struct CommEventMonitor::WaitingGuard
{
    CommEventMonitor& monitor;
    ~WaitingGuard()
    {
        const std::lock_guard guard(monitor.mutex_);
        monitor.waiting_ = false;
    }
};

bool CommEventMonitor::attach(int fd)
{
    fd_ = fd;
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0)
        return false;
    // Edge-triggered: every arrival of new bytes wakes once, bytes left
    // unread do not wake again.
    epoll_event input{};
    input.events = EPOLLIN | EPOLLET;
    input.data.fd = fd_;
    epoll_event woken{};
    woken.events = EPOLLIN;
    woken.data.fd = wake_;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &input) != 0 ||
        epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &woken) != 0)
        return false;

    serial_icounter_struct counts{};
    int bits = 0;
    if (ioctl(fd_, TIOCGICOUNT, &counts) == 0)
        lineWatch_ = LineWatch::Counters;
    else if (ioctl(fd_, TIOCMGET, &bits) == 0)
        lineWatch_ = LineWatch::ModemBits;
    readLines(lines_);
    return true;
}

CommEventMonitor::~CommEventMonitor()
{
    if (epoll_ >= 0)
        ::close(epoll_);
    if (wake_ >= 0)
        ::close(wake_);
}

DWORD CommEventMonitor::mask() const
{
    const std::lock_guard guard(mutex_);
    return mask_;
}

void CommEventMonitor::setMask(DWORD mask)
{
    const std::lock_guard guard(mutex_);
    mask_ = mask;
    if (waiting_) {
        ++maskChanges_;
        wake();
    }
}

void CommEventMonitor::noteWrite()
{
    const std::lock_guard guard(mutex_);
    outputPending_ = true;
    if (waiting_)
        wake();
}

void CommEventMonitor::noteRead(DWORD count)
{
    const std::lock_guard guard(mutex_);
    inputReported_ =
        count >= static_cast<DWORD>(inputReported_) ? 0 : inputReported_ - static_cast<int>(count);
}

void CommEventMonitor::notePurge()
{
    const std::lock_guard guard(mutex_);
    inputReported_ = 0;
}

void CommEventMonitor::close()
{
    const std::lock_guard guard(mutex_);
    closed_ = true;
    wake();
}

void CommEventMonitor::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(wake_, &one, sizeof one);
}

bool CommEventMonitor::readLines(LineState& state) const
{
    if (lineWatch_ == LineWatch::Counters) {
        serial_icounter_struct counts{};
        if (ioctl(fd_, TIOCGICOUNT, &counts) != 0)
            return false;
        state = {counts.cts, counts.dsr,
                 counts.dcd, counts.rng,
                 counts.brk, counts.frame + counts.overrun + counts.parity + counts.buf_overrun};
        return true;
    }
    if (lineWatch_ == LineWatch::ModemBits) {
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0)
            return false;
        state = {(bits & TIOCM_CTS) != 0,
                 (bits & TIOCM_DSR) != 0,
                 (bits & TIOCM_CD) != 0,
                 (bits & TIOCM_RNG) != 0,
                 0,
                 0};
        return true;
    }
    return false;
}

DWORD CommEventMonitor::lineEvents(DWORD mask)
{
    LineState now;
    if (!readLines(now))
        return 0;
    DWORD events = 0;
    if (now.cts != lines_.cts)
        events |= EV_CTS;
    if (now.dsr != lines_.dsr)
        events |= EV_DSR;
    if (now.rlsd != lines_.rlsd)
        events |= EV_RLSD;
    if (now.ring != lines_.ring)
        events |= EV_RING;
    if (now.brk != lines_.brk)
        events |= EV_BREAK;
    if (now.errors != lines_.errors)
        events |= EV_ERR;
    lines_ = now;
    return events & mask;
}

bool CommEventMonitor::outputDrained() const
{
    int waiting = 0;
    return ioctl(fd_, TIOCOUTQ, &waiting) != 0 || waiting == 0;
}

bool CommEventMonitor::newInputArrived()
{
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0)
        return true;
    const std::lock_guard guard(mutex_);
    const bool longer = waiting > inputReported_;
    inputReported_ = waiting;
    return longer;
}

bool CommEventMonitor::wait(DWORD& events, DWORD& error)
{
    unsigned long changesAtStart = 0;
    {
        const std::lock_guard guard(mutex_);
        if (closed_ || waiting_) {
            error = closed_ ? ERROR_OPERATION_ABORTED : ERROR_INVALID_PARAMETER;
            return false;
        }
        waiting_ = true;
        changesAtStart = maskChanges_;
    }
    const WaitingGuard waiting{*this};

    for (;;) {
        DWORD mask = 0;
        bool drainWatched = false;
        {
            const std::lock_guard guard(mutex_);
            if (closed_) {
                error = ERROR_OPERATION_ABORTED;
                return false;
            }
            if (maskChanges_ != changesAtStart) {
                events = 0;
                return true;
            }
            mask = mask_;
            if (!(mask & EV_TXEMPTY))
                outputPending_ = false;
            drainWatched = outputPending_;
        }

        DWORD found = 0;
        int timeoutMs = -1;
        if (drainWatched) {
            if (outputDrained()) {
                const std::lock_guard guard(mutex_);
                outputPending_ = false;
                found |= EV_TXEMPTY;
            } else {
                timeoutMs = DrainSampleMs;
            }
        }
        if ((mask & LineEventMask) && lineWatch_ != LineWatch::None && !deviceGone_) {
            found |= lineEvents(mask);
            timeoutMs = timeoutMs < 0 ? LineSampleMs : std::min(timeoutMs, LineSampleMs);
        }
        if (found) {
            events = found;
            return true;
        }

        epoll_event ready[2];
        const int count = epoll_wait(epoll_, ready, 2, timeoutMs);
        if (count < 0 && errno != EINTR) {
            error = ERROR_GEN_FAILURE;
            return false;
        }
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == wake_) {
                std::uint64_t drained = 0;
                [[maybe_unused]] const auto ignored = ::read(wake_, &drained, sizeof drained);
                continue;
            }
            if (ready[i].events & (EPOLLHUP | EPOLLERR)) {
                // The device went away. Say so once, then stop watching it,
                // so that later waits block instead of returning at once.
                epoll_ctl(epoll_, EPOLL_CTL_DEL, fd_, nullptr);
                deviceGone_ = true;
                found |= mask & EV_ERR;
            } else if ((ready[i].events & EPOLLIN) && newInputArrived()) {
                found |= mask & EV_RXCHAR;
            }
        }
        if (found) {
            events = found;
            return true;
        }
    }
}

} // namespace platform
