#include "modem_line_waiter.h"
#include "pty_pair.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <future>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>

// Lets a test make the open's switch to raw mode fail, as a driver that
// refuses the settings does; otherwise the C library's own.
namespace {
std::atomic<bool> refuseLineSettings{false};
}

extern "C" int tcsetattr(int fd, int when, const termios* settings)
{
    using Real = int (*)(int, int, const termios*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (refuseLineSettings) {
        errno = EIO;
        return -1;
    }
    return real(fd, when, settings);
}

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

HANDLE openPort(const char* name, DWORD flags = FILE_FLAG_OVERLAPPED)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// A serial port on a fresh pty, opened as COM1.
struct OpenPort
{
    PtyPair pty;
    PortMap map;
    HANDLE port = INVALID_HANDLE_VALUE;

    explicit OpenPort(DWORD flags = FILE_FLAG_OVERLAPPED)
    {
        map.link(1, pty.slavePath());
        port = openPort("COM1", flags);
    }
    ~OpenPort()
    {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
    }
};

// An event handle closed with the test.
struct Event
{
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(handle); }
};

TEST(PortMap, ComNamesResolveThroughTheMapDirectory)
{
    PtyPair pty;
    PortMap map;
    map.link(3, pty.slavePath());
    for (const char* name : {"COM3", "com3", R"(\\.\COM3)", R"(\\.\cOm3)"}) {
        HANDLE port = openPort(name);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetFileType(port), FILE_TYPE_CHAR);
        EXPECT_TRUE(CloseHandle(port));
    }
    for (const char* name : {"COM4", "COM03", "COM0"}) {
        EXPECT_EQ(openPort(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(DcbLayout, FlagBitsSitWhereWindowsHasThem)
{
    DCB state{};
    state.fRtsControl = RTS_CONTROL_TOGGLE;
    state.fDtrControl = DTR_CONTROL_HANDSHAKE;
    state.fOutxCtsFlow = 1;
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&state) + 8, sizeof flags);
    EXPECT_EQ(flags, 0x3000u | 0x20u | 0x4u);
}

TEST(Open, ALineThatCannotBeMadeRawIsNotOpenAndIsLeftFree)
{
    PtyPair pty;
    PortMap map;
    map.link(1, pty.slavePath());
    termios cooked{};
    ASSERT_EQ(tcgetattr(pty.programEnd(), &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(pty.programEnd(), TCSANOW, &cooked), 0);

    refuseLineSettings = true;
    HANDLE refused = openPort("COM1");
    const DWORD error = GetLastError();
    refuseLineSettings = false;
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);

    // Neither the lock nor the exclusive mark is left behind.
    HANDLE port = openPort("COM1");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    termios raw{};
    ASSERT_EQ(tcgetattr(pty.programEnd(), &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
    CloseHandle(port);
}

// WaitCommEvent with GetOverlappedResult waiting for its end, on a thread of
// its own, so the test can act while it waits.
std::future<std::pair<BOOL, DWORD>> waitForEvent(HANDLE port)
{
    return std::async(std::launch::async, [port] {
        DWORD events = 0xDEAD;
        OVERLAPPED overlapped{};
        if (WaitCommEvent(port, &events, &overlapped))
            return std::make_pair(TRUE, events);
        if (GetLastError() != ERROR_IO_PENDING)
            return std::make_pair(FALSE, events);
        DWORD size = 0;
        const BOOL ok = GetOverlappedResult(port, &overlapped, &size, TRUE);
        return std::make_pair(ok, events);
    });
}

TEST(CommEvents, WaitsReportWhatHappenedAndSetCommMaskEndsThem)
{
    PtyPair pty;
    PortMap map;
    map.link(1, pty.slavePath());
    HANDLE port = openPort("COM1");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));

    auto pending = waitForEvent(port);
    pty.send("ab");
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::make_pair(TRUE, EV_RXCHAR));

    // The two bytes stay unread: they do not end the next wait.
    pending = waitForEvent(port);
    EXPECT_EQ(pending.wait_for(milliseconds(100)), std::future_status::timeout);
    // A mask change does, with no events.
    ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::make_pair(TRUE, DWORD{0}));

    // Arrivals the mask leaves out end nothing; a drained write does.
    pending = waitForEvent(port);
    pty.send("cd");
    EXPECT_EQ(pending.wait_for(milliseconds(100)), std::future_status::timeout);
    DWORD written = 0;
    OVERLAPPED overlapped{};
    ASSERT_TRUE(WriteFile(port, "xyz", 3, &written, &overlapped));
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::make_pair(TRUE, EV_TXEMPTY));

    // Closing the handle ends a wait too, as a failure.
    pending = waitForEvent(port);
    EXPECT_EQ(pending.wait_for(milliseconds(50)), std::future_status::timeout);
    EXPECT_TRUE(CloseHandle(port));
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get().first, FALSE);
}

// The usual one-thread pattern: start the wait, write, wait on the event.
TEST(CommEvents, AnOverlappedWaitGoesPendingAndAWriteOnTheSameThreadEndsIt)
{
    OpenPort line;
    ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(line.port, EV_TXEMPTY));
    Event done;
    SetEvent(done.handle);
    OVERLAPPED wait{};
    wait.hEvent = done.handle;
    DWORD events = 0xDEAD;
    EXPECT_FALSE(WaitCommEvent(line.port, &events, &wait));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // The event was reset when the wait began; nothing has ended it yet.
    EXPECT_EQ(WaitForSingleObject(done.handle, 0), WAIT_TIMEOUT);
    DWORD size = 0;
    EXPECT_FALSE(GetOverlappedResult(line.port, &wait, &size, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    OVERLAPPED write{};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(line.port, "x", 1, &written, &write));
    ASSERT_EQ(WaitForSingleObject(done.handle, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(events, EV_TXEMPTY);
    ASSERT_TRUE(GetOverlappedResult(line.port, &wait, &size, FALSE));
    EXPECT_EQ(size, sizeof(DWORD));
}

TEST(CommEvents, APendingWaitRefusesASecondAndEndsOnAMaskChangeOrAClose)
{
    OpenPort line;
    ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(line.port, EV_RXCHAR));
    Event done;
    OVERLAPPED wait{};
    wait.hEvent = done.handle;
    DWORD events = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(line.port, &events, &wait));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    OVERLAPPED second{};
    DWORD secondEvents = 0;
    EXPECT_FALSE(WaitCommEvent(line.port, &secondEvents, &second));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetCommMask(line.port, EV_RXCHAR | EV_TXEMPTY));
    ASSERT_EQ(WaitForSingleObject(done.handle, 5000), WAIT_OBJECT_0);
    DWORD size = 0;
    EXPECT_TRUE(GetOverlappedResult(line.port, &wait, &size, TRUE));
    EXPECT_EQ(events, 0u);
    EXPECT_EQ(size, sizeof(DWORD));

    ASSERT_FALSE(WaitCommEvent(line.port, &events, &wait));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(CloseHandle(line.port));
    line.port = INVALID_HANDLE_VALUE;
    ASSERT_EQ(WaitForSingleObject(done.handle, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(wait.Internal, ERROR_OPERATION_ABORTED);
}

TEST(CommEvents, AWaitThatCompletesAtOnceReportsTheSizeOfTheMask)
{
    OpenPort line;
    ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(line.port, EV_RXCHAR));
    line.pty.send("a");
    Event done;
    OVERLAPPED wait{};
    wait.hEvent = done.handle;
    DWORD events = 0;
    if (!WaitCommEvent(line.port, &events, &wait)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    DWORD size = 0;
    ASSERT_TRUE(GetOverlappedResult(line.port, &wait, &size, TRUE));
    EXPECT_EQ(events, EV_RXCHAR);
    EXPECT_EQ(size, sizeof(DWORD));
}

// One thread waits for arrivals, another reads them as soon as they come: a
// read that empties the queue before the waiter has looked at it must not
// swallow the arrival's event.
TEST(CommEvents, EveryArrivalRaisesAnEventWhileAnotherThreadReads)
{
    constexpr int Iterations = 100000;
    OpenPort line;
    ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(line.port, EV_RXCHAR));
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(line.port, &timeouts));

    std::mutex mutex;
    std::condition_variable changed;
    long arrivals = 0;
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        Event done;
        OVERLAPPED wait{};
        wait.hEvent = done.handle;
        while (!stop) {
            DWORD events = 0;
            if (!WaitCommEvent(line.port, &events, &wait)) {
                DWORD size = 0;
                if (GetLastError() != ERROR_IO_PENDING ||
                    !GetOverlappedResult(line.port, &wait, &size, TRUE))
                    return;
            }
            if (events & EV_RXCHAR) {
                const std::lock_guard guard(mutex);
                ++arrivals;
                changed.notify_all();
            }
        }
    });

    int missed = 0;
    for (int i = 0; i < Iterations && missed == 0; ++i) {
        line.pty.send("x");
        char byte = 0;
        DWORD got = 0;
        OVERLAPPED read{};
        ASSERT_TRUE(ReadFile(line.port, &byte, 1, &got, &read));
        ASSERT_EQ(got, 1u);
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(5), [&] { return arrivals > i; }))
            missed = i + 1;
    }
    // One more arrival ends the waiter's last wait, whether it has begun yet
    // or not: an edge that no wait has taken stays for the next.
    stop = true;
    line.pty.send("x");
    waiter.join();
    EXPECT_EQ(missed, 0) << "the arrival of byte " << missed << " raised no event";
}

TEST(CommEvents, APortOpensWithNothingLeftFromBefore)
{
    PtyPair pty;
    PortMap map;
    map.link(1, pty.slavePath());
    pty.send("stale");
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (pty.waitingAtProgramEnd() < 5 && Clock::now() < deadline) {
    }
    ASSERT_EQ(pty.waitingAtProgramEnd(), 5);
    HANDLE port = openPort("COM1");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    CloseHandle(port);
}

// How long a read takes and what it brings under each time-out setting, as
// Windows' documentation of COMMTIMEOUTS gives it. Times are bounds, loose
// enough for a loaded machine, and far from the alternatives they tell apart.
TEST(ReadFileTimeouts, EachSettingEndsTheReadWhenWindowsDoes)
{
    struct Case
    {
        const char* what;
        // The read time-outs; the write ones stay 0.
        DWORD interval, multiplier, constant;
        const char* waiting; // sent before the read
        const char* later;   // sent 100 ms into the read
        DWORD count;
        DWORD expectedBytes;
        int atLeastMs;
        int belowMs;
    };
    const Case cases[] = {
        {"MAXDWORD,0,0 returns at once with nothing", MAXDWORD, 0, 0, "", "", 4, 0, 0, 2000},
        {"MAXDWORD,0,0 returns at once with what waits", MAXDWORD, 0, 0, "ab", "", 4, 2, 0, 2000},
        {"MAXDWORD,MAXDWORD,N returns at once with what waits", MAXDWORD, MAXDWORD, 5000, "ab", "",
         4, 2, 0, 2500},
        {"MAXDWORD,MAXDWORD,N returns on the first byte to come", MAXDWORD, MAXDWORD, 5000, "", "c",
         4, 1, 100, 2500},
        {"MAXDWORD,MAXDWORD,N times out after N with nothing", MAXDWORD, MAXDWORD, 300, "", "", 4,
         0, 290, 2500},
        {"MAXDWORD,m,N returns at once with what waits", MAXDWORD, 1000, 1000, "ab", "", 4, 2, 0,
         2500},
        {"MAXDWORD,0,N waits for the count until N", MAXDWORD, 0, 300, "", "c", 4, 1, 290, 2500},
        {"0,0,N times out after N with what came", 0, 0, 300, "a", "", 4, 1, 290, 2500},
        {"0,0,0 waits for the whole count", 0, 0, 0, "a", "bcd", 4, 4, 100, 2500},
        {"an interval ends the read after a pause", 50, 0, 0, "ab", "", 4, 2, 40, 2500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenPort line;
        ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS timeouts{c.interval, c.multiplier, c.constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(line.port, &timeouts));
        line.pty.send(c.waiting);
        const auto sentBy = Clock::now() + std::chrono::seconds(1);
        while (line.pty.waitingAtProgramEnd() < static_cast<int>(std::strlen(c.waiting)) &&
               Clock::now() < sentBy) {
        }
        // Timed from before the sender starts its pause, so that a read
        // that needs the later bytes cannot take less than the pause.
        const auto start = Clock::now();
        std::thread sender([&] {
            if (*c.later) {
                std::this_thread::sleep_for(milliseconds(100));
                line.pty.send(c.later);
            }
        });
        char buffer[8] = {};
        DWORD got = 0;
        OVERLAPPED read{};
        const BOOL ok = ReadFile(line.port, buffer, c.count, &got, &read);
        const auto tookMs = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        sender.join();
        EXPECT_TRUE(ok);
        EXPECT_EQ(got, c.expectedBytes);
        EXPECT_GE(tookMs, c.atLeastMs);
        EXPECT_LT(tookMs, c.belowMs);
    }
}

// Refused calls report nothing transferred, whatever the count held before.
TEST(Transfers, WithoutABlockOnAnOverlappedHandleAreRefused)
{
    OpenPort line;
    ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
    char byte = 'x';
    DWORD count = 7;
    EXPECT_FALSE(WriteFile(line.port, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    count = 7;
    EXPECT_FALSE(ReadFile(line.port, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    count = 7;
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(line.pty.receive(1, milliseconds(100)).empty());
}

TEST(Transfers, WithoutABlockOnAPlainHandleWork)
{
    OpenPort line(0);
    ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(line.port, "x", 1, &count, nullptr));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(line.pty.receive(1), std::vector<unsigned char>{'x'});
}

TEST(CommState, ANonSerialFileOrABadHandleFailsAsOnWindows)
{
    HANDLE file = openPort("/dev/null");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DCB state{};
    EXPECT_FALSE(GetCommState(file, &state));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(file);
    EXPECT_FALSE(GetCommState(file, &state));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Output waits for CTS only when fOutxCtsFlow asks for it; RTS handshake
// alone leaves output free, and the DCB comes back as it was given.
TEST(CommState, OnlyCtsOutputFlowHoldsOutputBackForCts)
{
    struct Case
    {
        DWORD rtsControl;
        DWORD outxCtsFlow;
        bool outputWaitsForCts;
    };
    for (const Case c :
         {Case{RTS_CONTROL_HANDSHAKE, 0, false}, Case{RTS_CONTROL_ENABLE, 1, true},
          Case{RTS_CONTROL_HANDSHAKE, 1, true}, Case{RTS_CONTROL_DISABLE, 0, false}}) {
        SCOPED_TRACE(testing::Message() << "rts " << c.rtsControl << " octs " << c.outxCtsFlow);
        OpenPort line;
        ASSERT_NE(line.port, INVALID_HANDLE_VALUE);
        DCB state{};
        ASSERT_TRUE(GetCommState(line.port, &state));
        state.BaudRate = 9600;
        state.fRtsControl = c.rtsControl;
        state.fOutxCtsFlow = c.outxCtsFlow;
        ASSERT_TRUE(SetCommState(line.port, &state));
        termios settings{};
        ASSERT_EQ(tcgetattr(line.pty.programEnd(), &settings), 0);
        EXPECT_EQ((settings.c_cflag & CRTSCTS) != 0, c.outputWaitsForCts);
        DCB back{};
        ASSERT_TRUE(GetCommState(line.port, &back));
        EXPECT_EQ(back.fRtsControl, c.rtsControl);
        EXPECT_EQ(back.fOutxCtsFlow, c.outxCtsFlow);
    }
}

} // namespace

namespace {

// A pty has no modem lines: the driver refuses TIOCMIWAIT at once, and the
// waiter says so, so that the event monitor falls back to sampling.
TEST(ModemLineWaiter, ADriverWithoutTheWaitIsReportedRefused)
{
    PtyPair pty;
    const auto waiter = platform::ModemLineWaiter::start(pty.programEnd());
    ASSERT_TRUE(waiter);
    pollfd entry{waiter->notifier(), POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_TRUE(waiter->ended());
    EXPECT_TRUE(waiter->refused());
}

} // namespace
