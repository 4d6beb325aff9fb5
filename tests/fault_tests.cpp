// What a bench user meets: a babbling device, garbage answers, an adapter
// pulled out at any moment, a port another program holds.
#include "CSpinEdit.h"
#include "ModuleProtocol.h"
#include "Radio.h"
#include "Radiocom.h"
#include "StatusBar.h"
#include "event_loop.h"
#include "modal_watcher.h"
#include "pty_pair.h"
#include "simulator.h"
#include "timing.h"
#include "window_view.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <memory>
#include <random>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using modulesim::Simulator;
using std::chrono::milliseconds;

const QStringList PresentOn(const char* port)
{
    return {"Status: Present", QStringLiteral("Serial Port: %1").arg(port), "Baud Rate: 115200"};
}
const QStringList InitialStatus = {"Status: Not Detected", "Baud Rate:", "Serial Port:"};
const QStringList FailedRead = {"Status: Not Detected", "Serial Port: ", "Baud Rate:"};

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Bytes that favour what the reply layouts look for, so that near misses
// and accidental matches both come up.
std::string randomReply(std::mt19937& random, std::size_t length)
{
    static const char interesting[] = {'a', 'W', 'A', '\0'};
    std::uniform_int_distribution<int> byte(0, 255);
    std::string reply(length, '\0');
    for (char& c : reply) {
        const int pick = byte(random);
        c = pick < 64 ? interesting[pick % 4] : static_cast<char>(byte(random));
    }
    return reply;
}

class FaultTest : public testing::Test
{
protected:
    void start() { window = std::make_unique<TMainForm>(); }

    // The process stays idle for a second: no busy loop anywhere.
    void expectIdleCpu()
    {
        const double before = processCpuSeconds();
        processEventsFor(milliseconds(1000));
        EXPECT_LT(processCpuSeconds() - before, timing::IdleCpuSecondsPerSecond);
    }

    void expectFailedReadTexts()
    {
        EXPECT_EQ(StatusPanels(*window), FailedRead);
        EXPECT_FALSE(window->SerialConnector->Connected());
        EXPECT_EQ(ControlOf<QLineEdit>(*window, "Edit1")->text(), "");
        EXPECT_EQ(ControlOf<TCSpinEdit>(*window, "CSpinEdit1")->text(), "1");
    }

    PortMap map;
    ModalWatcher modals;
    std::unique_ptr<TMainForm> window;
};

TEST_F(FaultTest, AFloodOfBytesKeepsTheWindowResponsiveAndReadsWorkAfter)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    ASSERT_EQ(StatusPanels(*window), PresentOn("COM3"));

    constexpr std::size_t FloodBytes = 4 << 20;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    modulesim::Bytes flood(FloodBytes);
    for (auto& b : flood)
        b = static_cast<std::uint8_t>(byte(random));
    const long residentBefore = residentKiB();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QElapsedTimer floodClock;
    floodClock.start();
    module.flood(std::move(flood));
    ASSERT_TRUE(processEventsUntil([&] { return module.floodBytesSent() == FloodBytes; },
                                   std::chrono::seconds(60)));
    const int ticksDuringFlood = ticks;
    const qint64 floodMs = floodClock.elapsed();
    processEventsFor(milliseconds(100));
    ticker.stop();

    // A window that took the flood in one go would run the 10 ms timer once
    // at most until the flood is over, however long it lasts; one that keeps
    // up runs it again and again, fewer times only as load delays it.
    EXPECT_GE(ticksDuringFlood, 3) << "during a flood of " << floodMs << " ms";
    // The simulator's copy of the flood aside, the flood costs little memory.
    // Sanitizers keep shadow memory beside every byte touched, and freed
    // memory in quarantine for a while.
    const long floodKiB = FloodBytes / 1024;
    const long growth = residentKiB() - residentBefore;
    EXPECT_LT(growth, (floodKiB + 10 * 1024) * timing::SlowdownFactor) << growth << " KiB";
    window->Button3Click();
    EXPECT_TRUE(window->ReplyDecoded);
    EXPECT_EQ(LogLines(*window).back(), "Received -> Channel: 5 Addr: WXYZ");
}

// What a module answering the same bytes to every read request does to the
// window. Fewer than 16 bytes stay queued until more arrive; the window reads
// once at least 16 are there, and decodes only what matches a reply layout
// with an address starting with 'W'.
struct GarbageCase
{
    const char* what;
    std::string answer;
    // The address shown, or nothing when the answer is not taken for a module.
    const char* address;
};

std::string padded(std::string bytes, std::size_t length)
{
    bytes.resize(length, '\x7f');
    return bytes;
}

const GarbageCase GarbageCases[] = {
    {"no marker and no address", padded("0123456789", 16), nullptr},
    {"a marker but an address not starting with W", padded(std::string("a\x05XYZW", 6), 16),
     nullptr},
    {"an address inside a 16-byte answer", padded("xyWQRS", 16), "WQRS"},
    {"five bytes, three times: never 16", "a\x05WXY", nullptr},
    {"eight bytes, twice: 16 read together", padded(std::string("a\x05WXYZ", 6), 8), "WXYZ"},
    {"an echoed read command with the block", padded("KQZRTMNVPA12345a\x07WABC", 31), "WABC"},
    {"an echo's length without a marker or an address", padded("KQZRTMNVPA12345", 31), nullptr},
};

TEST_F(FaultTest, GarbageAnswersAreTakenForAModuleOnlyWhenTheyMatchAReplyLayout)
{
    for (const auto& c : GarbageCases) {
        const bool decoded = c.address != nullptr;
        {
            // At start-up.
            Simulator module({.answer = c.answer});
            module.linkInto(map.path(), 3);
            start();
            EXPECT_EQ(window->ReplyDecoded, decoded) << "start-up: " << c.what;
            EXPECT_EQ(StatusPanels(*window), decoded ? PresentOn("COM3") : InitialStatus) << c.what;
            if (decoded) {
                EXPECT_EQ(AddressText(*window), c.address) << c.what;
            }
        }
        {
            // On a Read, after a good detection.
            Simulator module;
            module.linkInto(map.path(), 3);
            start();
            ASSERT_EQ(StatusPanels(*window), PresentOn("COM3"));
            module.answerWith(c.answer);
            window->Button3Click();
            EXPECT_EQ(window->ReplyDecoded, decoded) << "Read: " << c.what;
            if (decoded) {
                EXPECT_EQ(AddressText(*window), c.address) << c.what;
            } else {
                expectFailedReadTexts();
            }
        }
    }
    EXPECT_TRUE(modals.seen().empty());
}

// Without the marker byte and the address initial no layout matches,
// whatever the other bytes are.
TEST_F(FaultTest, RandomAnswersWithoutMarkerOrAddressAreNeverTakenForAModule)
{
    std::mt19937 random(20261207);
    for (std::size_t length = 1; length <= 64; length += 9) {
        std::string garbage = randomReply(random, length);
        for (char& byte : garbage) {
            if (byte == ModuleProtocol::DataMarker || byte == ModuleProtocol::AddressInitial)
                byte = '\0';
        }
        Simulator module;
        module.linkInto(map.path(), 3);
        start();
        ASSERT_EQ(StatusPanels(*window), PresentOn("COM3"));
        module.answerWith(garbage);
        window->Button3Click();
        EXPECT_FALSE(window->ReplyDecoded) << "length " << length;
        expectFailedReadTexts();
    }
}

TEST_F(FaultTest, AModuleVanishingDuringDetectionLeavesItUndetected)
{
    Simulator module({.answerFrom = 3});
    module.linkInto(map.path(), 3);
    // Fires inside the detection's second wait for an answer.
    QTimer::singleShot(60, [&] { module.vanish(); });
    start();
    EXPECT_TRUE(module.vanished());
    EXPECT_EQ(StatusPanels(*window), InitialStatus);
    expectIdleCpu();
}

TEST_F(FaultTest, AModuleVanishingDuringAReadsWaitFailsTheRead)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    // Only the start of an answer comes before the adapter is gone, however
    // late under load the vanishing runs.
    module.answerWith(std::string("a\x05WX", 4));
    QTimer::singleShot(0, [&] { module.vanish(); });
    window->Button3Click();
    expectFailedReadTexts();
    expectIdleCpu();
}

TEST_F(FaultTest, AModuleVanishingDuringAWritesPauseFailsTheReadBack)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    // The pause blocks the user interface thread, so the adapter is pulled
    // from another thread while it lasts.
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(200));
        module.vanish();
    });
    window->Button2Click();
    unplug.join();
    EXPECT_EQ(module.writeRequests(), 1);
    expectFailedReadTexts();
    expectIdleCpu();
}

TEST_F(FaultTest, AModuleVanishingWhileIdleFailsTheNextRead)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    module.vanish();
    expectIdleCpu();
    window->Button3Click();
    expectFailedReadTexts();
}

TEST_F(FaultTest, APortHeldByAnotherProgramIsSkippedAndOursIsReleasedAtTheEnd)
{
    PtyPair held;
    map.link(1, held.slavePath());
    Simulator module;
    module.linkInto(map.path(), 2);

    // Another program takes COM1 exclusively until told to let go.
    int release[2];
    int taken[2];
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(taken), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        ::close(release[1]); // so that the parent's close ends the read below
        const int fd = ::open(held.slavePath().c_str(), O_RDWR | O_NOCTTY);
        const bool ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
        const char answer = ok ? 'y' : 'n';
        [[maybe_unused]] auto written = ::write(taken[1], &answer, 1);
        char ignored;
        [[maybe_unused]] auto got = ::read(release[0], &ignored, 1);
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(taken[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    start();
    EXPECT_EQ(StatusPanels(*window), PresentOn("COM2"));
    ::close(release[1]);
    waitpid(holder, nullptr, 0);

    // Once the program is gone, the port is free for the next one.
    window.reset();
    const int fd = ::open(module.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
    for (const int end : {release[0], taken[0], taken[1]})
        ::close(end);
}

} // namespace
