// A synchronous hand-off from a worker thread to the thread of a context
// object (the user interface thread): the routine is posted to that thread's
// event loop, runs when the thread next processes events, and the worker
// waits until it has run. An exception that escapes the routine is carried
// back and thrown again in the worker.
//
// Unlike a blocking queued connection it can be cancelled, from any thread,
// the context's own included: a cancelled routine that has not started never
// runs, the waiting worker is released at once, and every later hand-off is
// refused. That lets the user interface thread end a worker whose hand-off is
// queued, or whose routine is running further up its own stack, without
// waiting on it.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class UiHandOff
{
public:
    enum class Outcome
    {
        Ran,
        Cancelled,
    };

    explicit UiHandOff(QObject* context);
    ~UiHandOff();
    UiHandOff(const UiHandOff&) = delete;
    UiHandOff& operator=(const UiHandOff&) = delete;

    // For the worker thread: runs `routine` on the context's thread and waits.
    // Throws what the routine threw.
    Outcome run(std::function<void()> routine);
    // For any thread; final.
    void cancel();

private:
    struct Shared;
    QObject* const context_;
    const std::shared_ptr<Shared> shared_;
};
