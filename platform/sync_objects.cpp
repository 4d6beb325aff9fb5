// Events, counting semaphores, waiting on them, and sleeping.
#include "kernel_object.h"

#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Waits on `changed` until `ready()` holds or the deadline passes; a null
// deadline waits without limit.
template <class Ready>
bool waitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
             const KernelObject::Deadline* deadline, Ready ready)
{
    if (!deadline) {
        changed.wait(lock, ready);
        return true;
    }
    return changed.wait_until(lock, *deadline, ready);
}

class Event final : public KernelObject
{
public:
    Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

    void set()
    {
        {
            const std::lock_guard guard(mutex_);
            signalled_ = true;
        }
        changed_.notify_all();
    }

    void reset()
    {
        const std::lock_guard guard(mutex_);
        signalled_ = false;
    }

    bool waitUntil(const Deadline* deadline, bool& waitable) override
    {
        waitable = true;
        std::unique_lock lock(mutex_);
        if (!waitFor(lock, changed_, deadline, [this] { return signalled_; }))
            return false;
        if (!manualReset_)
            signalled_ = false;
        return true;
    }

private:
    const bool manualReset_;
    std::mutex mutex_; // guards signalled_
    std::condition_variable changed_;
    bool signalled_;
};

class Semaphore final : public KernelObject
{
public:
    Semaphore(LONG count, LONG maximum) : count_(count), maximum_(maximum) {}

    // Adds `release` to the count unless that would pass the maximum, in which
    // case the count stays as it was and the release fails.
    bool release(LONG release, LONG& previous)
    {
        {
            const std::lock_guard guard(mutex_);
            if (release <= 0 || release > maximum_ - count_)
                return false;
            previous = count_;
            count_ += release;
        }
        changed_.notify_all();
        return true;
    }

    bool waitUntil(const Deadline* deadline, bool& waitable) override
    {
        waitable = true;
        std::unique_lock lock(mutex_);
        if (!waitFor(lock, changed_, deadline, [this] { return count_ > 0; }))
            return false;
        --count_;
        return true;
    }

private:
    std::mutex mutex_; // guards count_
    std::condition_variable changed_;
    LONG count_;
    const LONG maximum_;
};

// SetEvent and ResetEvent: makes `change` to the event that `handle` names;
// FALSE, with ERROR_INVALID_HANDLE set, when it names none.
BOOL changeEvent(HANDLE handle, void (Event::*change)())
{
    const auto target = objectAs<Event>(handle);
    if (!target)
        return FALSE;
    ((*target).*change)();
    return TRUE;
}

} // namespace
} // namespace platform

using platform::objectAs;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR)
{
    return platform::registerObject(
        std::make_shared<platform::Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event)
{
    return platform::changeEvent(event, &platform::Event::set);
}

BOOL ResetEvent(HANDLE event)
{
    return platform::changeEvent(event, &platform::Event::reset);
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR)
{
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return platform::registerObject(
        std::make_shared<platform::Semaphore>(initialCount, maximumCount));
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount)
{
    const auto target = objectAs<platform::Semaphore>(semaphore);
    if (!target)
        return FALSE;
    LONG previous = 0;
    if (!target->release(releaseCount, previous)) {
        SetLastError(releaseCount <= 0 ? ERROR_INVALID_PARAMETER : ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previousCount)
        *previousCount = previous;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    const auto target = platform::lookupObject(object);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const auto deadline = platform::Clock::now() + std::chrono::milliseconds(milliseconds);
    bool waitable = false;
    const bool signalled =
        target->waitUntil(milliseconds == INFINITE ? nullptr : &deadline, waitable);
    if (!waitable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
