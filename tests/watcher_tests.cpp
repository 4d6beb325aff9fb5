#include "Radiocom.h"
#include "event_loop.h"
#include "serial_port_fixture.h"
#include "timing.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int entriesIn(const char* directory)
{
    int count = 0;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

int openDescriptors()
{
    return entriesIn("/proc/self/fd") - 1; // less the one reading the directory
}

// Qt's threads are detached: a joined QThread's system thread may linger
// for a moment after QThread::wait() returns. So the count is read once it
// has stopped falling.
int runningThreads()
{
    int count = entriesIn("/proc/self/task");
    for (int same = 0; same < 10; ++same) {
        std::this_thread::sleep_for(milliseconds(2));
        const int now = entriesIn("/proc/self/task");
        if (now != count)
            same = 0;
        count = now;
    }
    return count;
}

// Counts threads and descriptors after one open and close, so that what a
// sanitizer or Qt starts once per process is already there.
template <class Measure> int afterWarmUp(TRadioCom& com, Measure measure)
{
    com.OpenPort();
    com.ClosePort();
    return measure();
}

class WatcherTest : public SerialPortTest
{
protected:
    WatcherTest() : SerialPortTest(50) {}

    void SetUp() override
    {
        SerialPortTest::SetUp();
        com.SetOnReceive([this](std::int32_t Count) {
            counts.push_back(Count);
            onUiThread = onUiThread && QThread::currentThread() == qApp->thread();
            if (handler)
                handler(Count);
        });
    }

    bool receivedCount(std::int32_t count)
    {
        return processEventsUntil([&] { return !counts.empty() && counts.back() == count; });
    }

    std::vector<std::int32_t> counts;
    bool onUiThread = true;
    std::function<void(std::int32_t)> handler;
};

TEST_F(WatcherTest, WritesAndArrivalsRaiseOnReceiveOnTheUiThread)
{
    open();
    const std::uint8_t command[] = "KQZRTMNVPA12345";
    ASSERT_EQ(com.SendBuffer(command, 15), 15);
    EXPECT_TRUE(receivedCount(0)) << "the drained output raises OnReceive with Count 0";

    pty.send("abcde");
    EXPECT_TRUE(receivedCount(5));
    // Bytes left unread raise nothing more on their own...
    const auto seen = counts.size();
    processEventsFor(milliseconds(200));
    EXPECT_EQ(counts.size(), seen);
    // ...and are counted again when more arrive.
    pty.send("fgh");
    EXPECT_TRUE(receivedCount(8));
    EXPECT_TRUE(onUiThread);
}

TEST_F(WatcherTest, BytesArrivingDuringAHandOffRaiseOneMoreRightAfter)
{
    open();
    handler = [this](std::int32_t Count) {
        if (Count == 3) {
            pty.send("more");
            // Let the bytes land while this hand-off still runs.
            const auto deadline = Clock::now() + milliseconds(1000);
            COMSTAT status{};
            while (status.cbInQue < 7 && Clock::now() < deadline)
                ClearCommError(com.GetPortHandle(), nullptr, &status);
        }
    };
    pty.send("abc");
    EXPECT_TRUE(receivedCount(7));
    EXPECT_EQ(counts.front(), 3);
}

TEST_F(WatcherTest, UnassignedOnReceiveConsumesEventsAndLeavesBytesQueued)
{
    com.SetOnReceive(nullptr);
    open();
    pty.send("abcdef");
    processEventsFor(milliseconds(100));
    // Assigned again: those events are gone, not replayed.
    com.SetOnReceive([this](std::int32_t Count) { counts.push_back(Count); });
    processEventsFor(milliseconds(100));
    EXPECT_TRUE(counts.empty());
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(com.ReceiveBuffer(buffer, 8), 6);
}

TEST_F(WatcherTest, NothingIsRaisedWhileThePortIsClosed)
{
    open();
    com.ClosePort();
    pty.send("abcdef");
    processEventsFor(milliseconds(100));
    EXPECT_TRUE(counts.empty());
}

TEST_F(WatcherTest, ClosePortEndsTheWatcherWhereverItIs)
{
    const int threadsBefore = afterWarmUp(com, runningThreads);
    struct Case
    {
        const char* where;
        std::function<void()> close;
    };
    const std::vector<Case> cases = {
        {"waiting for an event", [&] { com.ClosePort(); }},
        {"with a hand-off queued",
         [&] {
             pty.send("abc");
             // Time for the watcher to post its hand-off; events do not run.
             std::this_thread::sleep_for(milliseconds(30));
             com.ClosePort();
         }},
        {"from inside the handler",
         [&] {
             handler = [&](std::int32_t) { com.ClosePort(); };
             pty.send("abc");
             processEventsUntil([&] { return !com.Connected(); });
         }},
        {"from a nested event loop inside the handler",
         [&] {
             handler = [&](std::int32_t) {
                 QTimer::singleShot(0, [&] { com.ClosePort(); });
                 processEventsUntil([&] { return !com.Connected(); });
             };
             pty.send("abc");
             processEventsUntil([&] { return !com.Connected(); });
         }},
    };
    for (const auto& c : cases) {
        open();
        counts.clear();
        handler = nullptr;
        const auto start = Clock::now();
        c.close();
        EXPECT_FALSE(com.Connected()) << c.where;
        EXPECT_LT(Clock::now() - start, timing::scaled(milliseconds(1000))) << c.where;
        const auto seen = counts.size();
        pty.send("late");
        processEventsFor(milliseconds(50));
        EXPECT_EQ(counts.size(), seen) << c.where << ": OnReceive after ClosePort";
        EXPECT_EQ(runningThreads(), threadsBefore) << c.where;
    }
}

TEST_F(WatcherTest, AnExceptionFromTheHandlerEndsThatWatcherOnly)
{
    handler = [](std::int32_t) { throw std::runtime_error("handler failed"); };
    open();
    pty.send("abc");
    EXPECT_TRUE(receivedCount(3));
    pty.send("def");
    processEventsFor(milliseconds(100));
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_TRUE(com.Connected());

    com.ClosePort();
    handler = nullptr;
    open();
    pty.send("ghi");
    EXPECT_TRUE(receivedCount(3));
}

TEST_F(WatcherTest, ManyOpenCloseCyclesUnderConstantInputLeaveNothingBehind)
{
    const int descriptorsBefore = afterWarmUp(com, openDescriptors);
    const int threadsBefore = runningThreads();
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        const std::vector<unsigned char> chunk(64, 'x');
        while (sending) {
            if (::write(pty.master(), chunk.data(), chunk.size()) < 0)
                std::this_thread::yield();
        }
    });
    int lateEvents = 0;
    handler = [&](std::int32_t) {
        if (!com.Connected())
            ++lateEvents;
    };
    for (int cycle = 0; cycle < 2000; ++cycle) {
        com.OpenPort();
        ASSERT_TRUE(com.Connected()) << cycle;
        if (cycle % 100 == 0) {
            const auto seen = counts.size();
            ASSERT_TRUE(processEventsUntil([&] { return counts.size() > seen; })) << cycle;
        } else if (cycle % 4 == 0) {
            QCoreApplication::processEvents();
        }
        com.ClosePort();
        const auto seen = counts.size();
        QCoreApplication::processEvents();
        ASSERT_EQ(counts.size(), seen) << "OnReceive after ClosePort in cycle " << cycle;
    }
    sending = false;
    sender.join();
    EXPECT_EQ(lateEvents, 0);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_EQ(runningThreads(), threadsBefore);
}

TEST_F(WatcherTest, APulledAdapterCostsNoCpuAndStillCloses)
{
    open();
    pty.hangUp();
    const double before = processCpuSeconds();
    processEventsFor(milliseconds(1000));
    const double cpuSeconds = processCpuSeconds() - before;
    EXPECT_LT(cpuSeconds, timing::IdleCpuSecondsPerSecond);
    EXPECT_LE(counts.size(), 1u) << "the loss is reported once at most";
    com.ClosePort();
    EXPECT_FALSE(com.Connected());
}

} // namespace
