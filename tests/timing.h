// Bounds on how long something may take, for tests on shared machines.
//
// A bound is written for an ordinary build and widened by SlowdownFactor in
// the sanitizer builds, which run our code several times slower. A duration
// is measured as the fastest of a few tries, so that one try delayed by
// other load does not fail a test, while a delay in our code, which every
// try meets, still does.
#pragma once

#include <algorithm>
#include <chrono>

namespace timing {

constexpr int SlowdownFactor = MELVIX_TEST_SLOWDOWN;

template <class Rep, class Period>
constexpr std::chrono::duration<Rep, Period> scaled(std::chrono::duration<Rep, Period> bound)
{
    return bound * SlowdownFactor;
}

template <class Action> std::chrono::steady_clock::duration fastestOf(int tries, Action action)
{
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < tries; ++i) {
        const auto start = std::chrono::steady_clock::now();
        action();
        fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
    }
    return fastest;
}

// A process that only waits uses next to no CPU time; one thread spinning
// uses a second per second, and still a third of that when it shares a
// loaded core. This is the CPU time an idle second may cost. The sanitizer
// runtimes slow every timer the tests run while they wait and keep threads
// of their own, so an idle second costs them more, yet still far less than
// a spinning thread that gets half of one of two busy cores.
constexpr double IdleCpuSecondsPerSecond = SlowdownFactor > 1 ? 0.35 : 0.2;

} // namespace timing
