#include "UiHandOff.h"

#include <QMetaObject>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

// Outlives the hand-off object: a posted routine keeps it alive until the
// context's thread has dealt with it, even after the hand-off is gone.
struct UiHandOff::Shared
{
    enum class State
    {
        Idle,
        Queued,
        Running,
        Finished,
    };

    std::mutex mutex; // guards every field below
    std::condition_variable changed;
    bool cancelled = false;
    State state = State::Idle;
    // What the finished routine threw, if anything.
    std::exception_ptr raised;
    // Counts hand-offs, so a posted routine can tell whether it is still the
    // one the worker waits for.
    unsigned long serial = 0;
};

UiHandOff::UiHandOff(QObject* context) : context_(context), shared_(std::make_shared<Shared>()) {}

UiHandOff::~UiHandOff()
{
    cancel();
}

UiHandOff::Outcome UiHandOff::run(std::function<void()> routine)
{
    unsigned long serial = 0;
    {
        const std::lock_guard guard(shared_->mutex);
        if (shared_->cancelled)
            return Outcome::Cancelled;
        serial = ++shared_->serial;
        shared_->state = Shared::State::Queued;
    }
    QMetaObject::invokeMethod(
        context_,
        [shared = shared_, serial, routine = std::move(routine)] {
            {
                const std::lock_guard guard(shared->mutex);
                if (shared->cancelled || shared->serial != serial)
                    return;
                shared->state = Shared::State::Running;
            }
            std::exception_ptr raised;
            try {
                routine();
            } catch (...) {
                raised = std::current_exception();
            }
            {
                const std::lock_guard guard(shared->mutex);
                shared->raised = std::move(raised);
                shared->state = Shared::State::Finished;
            }
            shared->changed.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(
        lock, [this] { return shared_->cancelled || shared_->state == Shared::State::Finished; });
    const bool finished = shared_->state == Shared::State::Finished;
    shared_->state = Shared::State::Idle;
    if (std::exception_ptr raised = std::exchange(shared_->raised, nullptr))
        std::rethrow_exception(raised);
    return finished ? Outcome::Ran : Outcome::Cancelled;
}

void UiHandOff::cancel()
{
    {
        const std::lock_guard guard(shared_->mutex);
        shared_->cancelled = true;
    }
    shared_->changed.notify_all();
}
