// The console's control events reach the program as the termination signals
// they stand for, on the object's thread, instead of ending the process.
#include "TerminationSignals.h"
#include "event_loop.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <csignal>
#include <vector>

namespace {

TEST(TerminationEvents, CtrlCAndCtrlBreakArriveAsSigintAndTheProcessGoesOn)
{
    TTerminationSignals termination;
    std::vector<int> arrived;
    QObject::connect(&termination, &TTerminationSignals::Arrived,
                     [&](int number) { arrived.push_back(number); });
    EXPECT_EQ(termination.Received(), 0);
    // A program started without a console, as Wine starts one whose output
    // goes to a file, gets one of its own; one that has a console keeps it.
    if (!GetConsoleWindow())
        AllocConsole();
    // To every process of this console's group 0: this test program alone.
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ASSERT_TRUE(processEventsUntil([&] { return arrived.size() == 1; }));
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0));
    ASSERT_TRUE(processEventsUntil([&] { return arrived.size() == 2; }));
    EXPECT_EQ(arrived, (std::vector<int>{SIGINT, SIGINT}));
    EXPECT_EQ(termination.Received(), SIGINT);
}

} // namespace
