#include "SignalHandling.h"
#include "TerminationSignals.h"
#include "event_loop.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
#include <vector>

namespace {

struct sigaction dispositionOf(int signalNumber)
{
    struct sigaction action
    {
    };
    sigaction(signalNumber, nullptr, &action);
    return action;
}

// Each signal reaches the user-interface thread as an event instead of
// ending the process, and the handling before is back afterwards.
TEST(TerminationSignals, EachSignalArrivesAsAnEventAndTheOldHandlingReturns)
{
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        const struct sigaction before = dispositionOf(signalNumber);
        {
            TTerminationSignals termination;
            std::vector<int> arrived;
            QObject::connect(&termination, &TTerminationSignals::Arrived,
                             [&](int number) { arrived.push_back(number); });
            EXPECT_EQ(termination.Received(), 0);
            raise(signalNumber);
            raise(SIGTERM);
            ASSERT_TRUE(processEventsUntil([&] { return arrived.size() == 2; })) << signalNumber;
            EXPECT_EQ(arrived, (std::vector<int>{signalNumber, SIGTERM}));
            EXPECT_EQ(termination.Received(), signalNumber);
        }
        EXPECT_EQ(dispositionOf(signalNumber).sa_handler, before.sa_handler) << signalNumber;
    }
}

// Started under nohup, the program must keep running when the session ends.
TEST(TerminationSignals, ASignalIgnoredAtStartStaysIgnored)
{
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    struct sigaction before
    {
    };
    sigaction(SIGHUP, &ignore, &before);
    {
        const TTerminationSignals termination;
        EXPECT_EQ(dispositionOf(SIGHUP).sa_handler, SIG_IGN);
        EXPECT_NE(dispositionOf(SIGTERM).sa_handler, SIG_IGN);
        EXPECT_NE(dispositionOf(SIGTERM).sa_handler, SIG_DFL);
    }
    EXPECT_EQ(dispositionOf(SIGHUP).sa_handler, SIG_IGN);
    sigaction(SIGHUP, &before, nullptr);
}

std::atomic<int> interruptions{0};

void countInterruption()
{
    ++interruptions;
}

extern "C" void formerHandler(int) {}

// A command that runs until it is stopped: each signal wakes its wait, the
// first one is kept, and once it is done the handler that was there before,
// not merely the default, is back.
TEST(SignalHandling, TheFirstSignalIsKeptEachWakesAndTheFormerHandlerReturns)
{
    constexpr std::array<int, 3> signalNumbers{SIGINT, SIGTERM, SIGHUP};
    struct sigaction former
    {
    };
    former.sa_handler = formerHandler;
    sigemptyset(&former.sa_mask);
    std::array<struct sigaction, signalNumbers.size()> before{};
    for (std::size_t i = 0; i < signalNumbers.size(); ++i)
        sigaction(signalNumbers[i], &former, &before[i]);
    interruptions = 0;
    {
        const SignalHandling handling(SignalHandling::SessionEnd::Kept, countInterruption);
        EXPECT_EQ(handling.received(), 0);
        raise(SIGINT);
        raise(SIGTERM);
        EXPECT_EQ(handling.received(), SIGINT);
        EXPECT_EQ(interruptions.load(), 2);
    }
    for (std::size_t i = 0; i < signalNumbers.size(); ++i) {
        EXPECT_EQ(dispositionOf(signalNumbers[i]).sa_handler, formerHandler) << signalNumbers[i];
        sigaction(signalNumbers[i], &before[i], nullptr);
    }
}

} // namespace
