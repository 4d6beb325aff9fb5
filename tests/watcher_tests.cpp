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
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
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

std::set<pid_t> threadIds()
{
    std::set<pid_t> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ids.insert(static_cast<pid_t>(std::stol(entry->d_name)));
        }
        closedir(dir);
    }
    return ids;
}

// A field of /proc/self/task/<id>/: its name ("comm") or its run state.
std::string taskFile(pid_t thread, const char* file)
{
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/" + file);
    std::string text;
    std::getline(in, text);
    return text;
}

char taskState(pid_t thread)
{
    // "pid (name) S ...": the state follows the name's closing parenthesis.
    const std::string stat = taskFile(thread, "stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// The watcher's thread once it sleeps in its wait, seen asleep several times
// in a row: then it holds none of the platform layer's locks.
pid_t settledWatcher()
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        for (const pid_t id : threadIds()) {
            if (taskFile(id, "comm") != "TComReader")
                continue;
            int asleep = 0;
            while (asleep < 10 && taskState(id) == 'S') {
                ++asleep;
                std::this_thread::sleep_for(milliseconds(5));
            }
            if (asleep == 10)
                return id;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return 0;
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
    testing::internal::CaptureStderr();
    pty.send("abc");
    EXPECT_TRUE(receivedCount(3));
    pty.send("def");
    processEventsFor(milliseconds(100));
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_TRUE(com.Connected());

    // The watcher has been joined: whatever it reported is written.
    com.ClosePort();
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_NE(reported.find("handler failed"), std::string::npos) << reported;
    EXPECT_NE(reported.find("COM1"), std::string::npos) << "names the port: " << reported;
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

// Holds one thread inside a signal handler until released: a watcher that
// no wake can reach.
class ThreadHold
{
public:
    explicit ThreadHold(pid_t thread)
    {
        EXPECT_EQ(pipe(entered_), 0);
        EXPECT_EQ(pipe(release_), 0);
        releaseEnd = release_[0];
        enteredEnd = entered_[1];
        struct sigaction action
        {
        };
        action.sa_handler = &ThreadHold::hold;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous_);
        syscall(SYS_tgkill, getpid(), thread, SIGUSR1);
        char entered = 0;
        EXPECT_EQ(::read(entered_[0], &entered, 1), 1);
    }
    ~ThreadHold()
    {
        release();
        sigaction(SIGUSR1, &previous_, nullptr);
        for (const int fd : {entered_[0], entered_[1], release_[0], release_[1]})
            ::close(fd);
    }
    ThreadHold(const ThreadHold&) = delete;
    ThreadHold& operator=(const ThreadHold&) = delete;

    void release()
    {
        if (released_.exchange(true))
            return;
        const char go = 1;
        EXPECT_EQ(::write(release_[1], &go, 1), 1);
    }

private:
    static void hold(int)
    {
        const int savedErrno = errno;
        char byte = 1;
        [[maybe_unused]] auto written = ::write(enteredEnd, &byte, 1);
        [[maybe_unused]] auto read = ::read(releaseEnd, &byte, 1);
        errno = savedErrno;
    }

    static inline int enteredEnd = -1;
    static inline int releaseEnd = -1;
    int entered_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    std::atomic<bool> released_{false};
    struct sigaction previous_
    {
    };
};

TEST_F(WatcherTest, AWatcherThatCannotBeWokenIsReportedInsteadOfWaitedForEver)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer runs signal handlers at points of its own choosing, where "
                    "the held thread may hold a lock that the close needs";
#endif
    const int threadsBefore = afterWarmUp(com, runningThreads);
    open();
    // Held anywhere else, the thread might hold a lock that the close needs,
    // which no watcher waiting for events does.
    const pid_t watcher = settledWatcher();
    ASSERT_NE(watcher, 0) << "no watcher thread asleep in its wait";

    ThreadHold hold(watcher);
    // Lets an unbounded wait end at last, so that it fails here instead of
    // hanging the suite.
    std::promise<void> closed;
    std::thread rescue([&hold, done = closed.get_future()] {
        if (done.wait_for(std::chrono::seconds(40)) == std::future_status::timeout)
            hold.release();
    });

    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    com.ClosePort();
    const auto took = Clock::now() - start;
    closed.set_value();
    rescue.join();
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(com.Connected());
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_NE(reported.find("COM1"), std::string::npos) << reported;

    // Released, the watcher ends by itself and touches nothing it left;
    // the next open deletes it.
    hold.release();
    EXPECT_TRUE(processEventsUntil([&] { return runningThreads() == threadsBefore; },
                                   std::chrono::seconds(10)));
    open();
    pty.send("abc");
    EXPECT_TRUE(receivedCount(3));
}

// The handler may replace or clear itself, or destroy the component that
// raised it, and still run to its end with its captures intact.
TEST(OnReceiveHandler, MayReplaceClearOrDestroyWhatRaisedIt)
{
    struct Case
    {
        const char* what;
        std::function<void(std::unique_ptr<TRadioCom>&)> act;
    };
    const std::vector<Case> cases = {
        {"replaces itself", [](auto& com) { com->SetOnReceive([](std::int32_t) {}); }},
        {"clears itself", [](auto& com) { com->SetOnReceive(nullptr); }},
        {"destroys the component", [](auto& com) { com.reset(); }},
    };
    for (const auto& c : cases) {
        PtyPair pty;
        PortMap map;
        map.link(1, pty.slavePath());
        auto com = std::make_unique<TRadioCom>();
        com->SetComPort(TRadioCom::COM1);
        com->SetRtsFlowControl(TRadioCom::RTSOff);
        // Too big to be kept inside the function object itself.
        const std::vector<long> captured(256, 7);
        long sum = -1;
        com->SetOnReceive([&com, &c, &sum, captured](std::int32_t) {
            c.act(com);
            sum = std::accumulate(captured.begin(), captured.end(), 0L);
        });
        com->OpenPort();
        ASSERT_TRUE(com->Connected()) << c.what;
        pty.send("x");
        ASSERT_TRUE(processEventsUntil([&] { return sum != -1; })) << c.what;
        EXPECT_EQ(sum, 256 * 7) << c.what;
        if (com) {
            EXPECT_TRUE(com->Connected()) << c.what;
        }
    }
}

} // namespace
