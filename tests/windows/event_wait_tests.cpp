// The session's waits for events on Windows' own timers: a wait that nothing
// else wakes ends at its deadline all the same.
#include "ModuleSession.h"

#include <QCoreApplication>
#include <QEvent>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Under Wine a precise timer fires a fraction of a millisecond before a
// deadline measured by another clock, or its wake goes unseen, in a few
// waits in a hundred; so many short waits meet both. A wait that stays past
// its deadline is woken by a posted event after a second, so that the test
// fails instead of hanging.
TEST(EventWait, EndsAtItsDeadlineWithNothingElseToWakeIt)
{
    constexpr int Waits = 400;
    constexpr unsigned long WaitMs = 3;
    constexpr auto WakeAfter = 1s;
    constexpr auto LateAfter = 500ms;
    std::atomic<Clock::rep> waitStart{Clock::now().time_since_epoch().count()};
    std::atomic<bool> over{false};
    std::thread waker([&] {
        while (!over) {
            std::this_thread::sleep_for(50ms);
            if (Clock::now().time_since_epoch().count() - waitStart.load() >
                Clock::duration(WakeAfter).count()) {
                QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::User));
            }
        }
    });
    int late = 0;
    for (int i = 0; i < Waits; ++i) {
        const auto start = Clock::now();
        waitStart = start.time_since_epoch().count();
        AwaitEvents(WaitMs, [] { return false; });
        if (Clock::now() - start > LateAfter)
            ++late;
    }
    over = true;
    waker.join();
    EXPECT_EQ(late, 0) << "of " << Waits << " waits of " << WaitMs << " ms";
}

} // namespace
