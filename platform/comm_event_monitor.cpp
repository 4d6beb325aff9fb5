#include "comm_event_monitor.h"

#include "overlapped_completion.h"

#include <algorithm>
#include <cerrno>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr DWORD LineEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
// How often lines are sampled while line events are asked for and the driver
// can only be asked, not waited on.
constexpr int LineSampleMs = 10;
// How often a draining output queue is looked at.
constexpr int DrainSampleMs = 5;

// Shortens a wait of `waitMs` (-1: no limit) to at most `periodMs`, for
// something that can only be sampled, not waited on.
void sampleWithin(int& waitMs, int periodMs)
{
    waitMs = waitMs < 0 ? periodMs : std::min(waitMs, periodMs);
}

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
    shutdown();
    if (epoll_ >= 0)
        ::close(epoll_);
    if (wake_ >= 0)
        ::close(wake_);
}

void CommEventMonitor::shutdown()
{
    {
        const std::lock_guard guard(mutex_);
        closed_ = true;
        stopping_ = true;
        if (wake_ >= 0)
            wake();
    }
    pendingChanged_.notify_all();
    if (completer_.joinable())
        completer_.join();
    lineWaiter_.reset();
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

ssize_t CommEventMonitor::readInput(void* buffer, std::size_t count)
{
    const std::lock_guard guard(mutex_);
    const ssize_t n = ::read(fd_, buffer, count);
    if (n > 0) {
        inputTaken_ += static_cast<int>(n);
        wake();
    }
    return n;
}

int CommEventMonitor::purge(int queue)
{
    const std::lock_guard guard(mutex_);
    int waiting = 0;
    const bool counted = queue != TCOFLUSH && ioctl(fd_, FIONREAD, &waiting) == 0;
    const int result = tcflush(fd_, queue);
    if (result == 0 && counted)
        inputTaken_ += waiting;
    return result;
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
    // Each line or count, and the event its change makes.
    static constexpr struct
    {
        int LineState::*line;
        DWORD event;
    } Changes[] = {{&LineState::cts, EV_CTS},   {&LineState::dsr, EV_DSR},
                   {&LineState::rlsd, EV_RLSD}, {&LineState::ring, EV_RING},
                   {&LineState::brk, EV_BREAK}, {&LineState::errors, EV_ERR}};
    LineState now;
    if (!readLines(now))
        return 0;
    DWORD events = 0;
    for (const auto& change : Changes) {
        if (now.*change.line != lines_.*change.line)
            events |= change.event;
    }
    lines_ = now;
    return events & mask;
}

bool CommEventMonitor::outputDrained() const
{
    int waiting = 0;
    return ioctl(fd_, TIOCOUTQ, &waiting) != 0 || waiting == 0;
}

// The queue is measured under the same lock that reads hold, so a read on
// another thread falls wholly before or wholly after the measurement, and
// bytes read before the watcher looked still count as having arrived.
bool CommEventMonitor::newInputArrived()
{
    const std::lock_guard guard(mutex_);
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0)
        return true;
    const bool grew = waiting + inputTaken_ > inputSeen_;
    inputSeen_ = waiting;
    inputTaken_ = 0;
    return grew;
}

std::optional<CommEventMonitor::Outcome> CommEventMonitor::beginRound(unsigned long changesAtStart,
                                                                      Round& round, DWORD& events,
                                                                      DWORD& error)
{
    const std::lock_guard guard(mutex_);
    if (closed_) {
        error = ERROR_OPERATION_ABORTED;
        return Outcome::Failed;
    }
    if (maskChanges_ != changesAtStart) {
        events = 0;
        return Outcome::Events;
    }
    round.mask = mask_;
    if (!(round.mask & EV_TXEMPTY))
        outputPending_ = false;
    round.drainWatched = outputPending_;
    return std::nullopt;
}

DWORD CommEventMonitor::drainEvent(bool drainWatched, int& waitMs)
{
    if (!drainWatched)
        return 0;
    if (!outputDrained()) {
        sampleWithin(waitMs, DrainSampleMs);
        return 0;
    }
    const std::lock_guard guard(mutex_);
    outputPending_ = false;
    return EV_TXEMPTY;
}

void CommEventMonitor::startLineWaiter()
{
    lineWaiter_ = ModemLineWaiter::start(fd_);
    epoll_event changed{};
    changed.events = EPOLLIN;
    changed.data.fd = lineWaiter_ ? lineWaiter_->notifier() : -1;
    if (lineWaiter_ && epoll_ctl(epoll_, EPOLL_CTL_ADD, changed.data.fd, &changed) != 0)
        lineWaiter_.reset();
}

DWORD CommEventMonitor::watchedLineEvents(DWORD mask, int& waitMs)
{
    if (!(mask & LineEventMask) || lineWatch_ == LineWatch::None || deviceGone_)
        return 0;
    if (!lineWaiter_)
        startLineWaiter();
    const DWORD found = lineEvents(mask);
    // Line errors and breaks have no wait of their own; they come with a
    // byte in the input queue (raw mode marks neither as ignored), and are
    // looked at on every wake. Only a driver without TIOCMIWAIT has its lines
    // sampled.
    if (!lineWaiter_ || lineWaiter_->refused())
        sampleWithin(waitMs, LineSampleMs);
    return found;
}

bool CommEventMonitor::awaitWake(DWORD mask, int waitMs, DWORD& found, DWORD& error)
{
    epoll_event ready[3];
    const int count = epoll_wait(epoll_, ready, 3, waitMs);
    if (count < 0 && errno != EINTR) {
        error = ERROR_GEN_FAILURE;
        return false;
    }
    bool inputMayHaveCome = false;
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.fd == wake_) {
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto ignored = ::read(wake_, &drained, sizeof drained);
            // epoll drops an edge whose bytes were read before it was
            // collected; reads wake the waiter so that it looks anyway.
            inputMayHaveCome = true;
            continue;
        }
        if (lineWaiter_ && ready[i].data.fd == lineWaiter_->notifier()) {
            lineWaiter_->drain();
            if (lineWaiter_->ended())
                epoll_ctl(epoll_, EPOLL_CTL_DEL, lineWaiter_->notifier(), nullptr);
            continue;
        }
        if (ready[i].events & (EPOLLHUP | EPOLLERR)) {
            // The device went away. Say so once, then stop watching it, so
            // that later waits block instead of returning at once.
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd_, nullptr);
            deviceGone_ = true;
            found |= mask & EV_ERR;
        } else if (ready[i].events & EPOLLIN) {
            inputMayHaveCome = true;
        }
    }
    if (inputMayHaveCome && newInputArrived())
        found |= mask & EV_RXCHAR;
    return true;
}

CommEventMonitor::Outcome CommEventMonitor::collect(unsigned long changesAtStart, int timeoutMs,
                                                    DWORD& events, DWORD& error)
{
    for (;;) {
        Round round;
        if (const auto ended = beginRound(changesAtStart, round, events, error))
            return *ended;
        // What can be seen without waiting first; what is only sampled
        // shortens the wait, so that it is looked at again.
        int waitMs = timeoutMs;
        DWORD found = drainEvent(round.drainWatched, waitMs);
        found |= watchedLineEvents(round.mask, waitMs);
        if (!found && !awaitWake(round.mask, waitMs, found, error))
            return Outcome::Failed;
        if (found) {
            events = found;
            return Outcome::Events;
        }
        if (timeoutMs == 0)
            return Outcome::Nothing;
    }
}

bool CommEventMonitor::beginWait(unsigned long& changesAtStart, DWORD& error)
{
    const std::lock_guard guard(mutex_);
    if (closed_ || waiting_) {
        error = closed_ ? ERROR_OPERATION_ABORTED : ERROR_INVALID_PARAMETER;
        return false;
    }
    waiting_ = true;
    changesAtStart = maskChanges_;
    return true;
}

bool CommEventMonitor::wait(DWORD& events, DWORD& error)
{
    unsigned long changesAtStart = 0;
    if (!beginWait(changesAtStart, error))
        return false;
    const WaitingGuard waiting{*this};
    return collect(changesAtStart, -1, events, error) == Outcome::Events;
}

CommEventMonitor::Start CommEventMonitor::startWait(LPDWORD eventMask, LPOVERLAPPED overlapped,
                                                    DWORD& error)
{
    unsigned long changesAtStart = 0;
    // On failure the mask variable, which may be the pending wait's own, is
    // left alone.
    if (!beginWait(changesAtStart, error))
        return Start::Failed;
    DWORD events = 0;
    const Outcome now = collect(changesAtStart, 0, events, error);
    const std::lock_guard guard(mutex_);
    if (now != Outcome::Nothing) {
        waiting_ = false;
        if (eventMask)
            *eventMask = now == Outcome::Failed ? 0 : events;
        if (now == Outcome::Failed)
            return Start::Failed;
        completeOverlapped(overlapped, ERROR_SUCCESS, sizeof(DWORD));
        return Start::Completed;
    }
    // The caller's event is reset before the call returns, so that it tells
    // of this wait's end and of nothing earlier.
    overlapped->Internal = ERROR_IO_PENDING;
    overlapped->InternalHigh = 0;
    if (overlapped->hEvent)
        ResetEvent(overlapped->hEvent);
    pending_ = PendingWait{eventMask, overlapped, changesAtStart};
    if (!completer_.joinable())
        completer_ = std::thread([this] { completePendingWaits(); });
    pendingChanged_.notify_all();
    return Start::Pending;
}

bool CommEventMonitor::isPending(const OVERLAPPED* overlapped, bool block)
{
    std::unique_lock lock(mutex_);
    auto mine = [&] { return pending_ && pending_->overlapped == overlapped; };
    if (block)
        pendingChanged_.wait(lock, [&] { return !mine(); });
    return mine();
}

// The monitor's own thread: runs each pending wait to its end and completes
// it. The results are written and the caller's event set under the lock, so
// that a caller that sees the wait no longer pending sees its results too.
void CommEventMonitor::completePendingWaits()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        pendingChanged_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_)
            return;
        const PendingWait request = *pending_;
        lock.unlock();
        DWORD events = 0;
        DWORD error = ERROR_SUCCESS;
        const bool ok = collect(request.changesAtStart, -1, events, error) == Outcome::Events;
        lock.lock();
        if (request.eventMask)
            *request.eventMask = ok ? events : 0;
        completeOverlapped(request.overlapped, ok ? ERROR_SUCCESS : error, ok ? sizeof(DWORD) : 0);
        pending_.reset();
        waiting_ = false;
        pendingChanged_.notify_all();
    }
}

} // namespace platform
