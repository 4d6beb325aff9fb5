// The console's control events reach the program as the termination signals
// they stand for, on the object's thread, instead of ending the process.
#include "TerminationSignals.h"
#include "event_loop.h"
#include "simulated_port.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <csignal>
#include <vector>

namespace {

TEST(TerminationEvents, CtrlCAndCtrlBreakArriveAsSigintAndTheProcessGoesOn)
{
    std::vector<DWORD> events = {CTRL_C_EVENT};
    // Wine's console sends Ctrl+C alone; it refuses Ctrl+Break.
    if (!runningUnderWine())
        events.push_back(CTRL_BREAK_EVENT);

    TTerminationSignals termination;
    std::vector<int> arrived;
    QObject::connect(&termination, &TTerminationSignals::Arrived,
                     [&](int number) { arrived.push_back(number); });
    EXPECT_EQ(termination.Received(), 0);
    for (std::size_t i = 0; i < events.size(); ++i) {
        // To every process of this console's group 0: this test program alone.
        ASSERT_TRUE(GenerateConsoleCtrlEvent(events[i], 0)) << events[i];
        ASSERT_TRUE(processEventsUntil([&] { return arrived.size() == i + 1; })) << events[i];
        EXPECT_EQ(arrived.back(), SIGINT) << events[i];
    }
    EXPECT_EQ(termination.Received(), SIGINT);
}

} // namespace
