// Measures how close the program comes to what its fixed protocol pauses
// allow, and what it costs while idle, each figure beside a baseline
// measured in the same run. Prints a table and the same as JSON.
#include "Radio.h"
#include "Radiocom.h"
#include "child_process.h"
#include "cli_bench.h"
#include "detection_bench.h"
#include "endurance_bench.h"
#include "measure.h"
#include "report.h"
#include "simulator.h"
#include "soak_bench.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A port map directory that MELVIX_PORT_DIR names while the object lives.
class PortMap
{
public:
    PortMap() { use(); }
    void use() const { setenv("MELVIX_PORT_DIR", path().c_str(), 1); }
    std::string path() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
};

// A pty whose far end answers every 15 bytes with 16, as a module does.
class EchoLine
{
public:
    EchoLine()
    {
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master_, &slave_, name, &raw, nullptr) != 0)
            std::abort();
        path_ = name;
        echo_ = std::thread([this] { answer(); });
    }
    ~EchoLine()
    {
        stop_ = true;
        echo_.join();
        ::close(master_);
        ::close(slave_);
    }
    const std::string& path() const { return path_; }

private:
    void answer()
    {
        const unsigned char reply[16] = {'a', 5, 'W', 'X', 'Y', 'Z'};
        std::size_t got = 0;
        while (!stop_) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0)
                continue;
            unsigned char chunk[64];
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            for (got += static_cast<std::size_t>(n); got >= 15; got -= 15) {
                if (::write(master_, reply, sizeof reply) != sizeof reply)
                    std::abort();
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

const std::uint8_t ReadCommand[] = "KQZRTMNVPA12345";

// Opens the component on COM1 of the current port map as the window sets it
// up, at the scan's speed.
void openOnCom1(TRadioCom& com)
{
    com.SetComPort(TRadioCom::COM1);
    com.SetBaudRate(TRadioCom::br115200);
    com.SetRtsFlowControl(TRadioCom::RTSOff);
    com.OpenPort();
    if (!com.Connected())
        std::abort();
}

Figure readLatency()
{
    PortMap map;
    modulesim::Simulator module;
    module.linkInto(map.path(), 3);
    TMainForm window;
    std::vector<double> latencies;
    for (int read = 0; read < 30; ++read) {
        latencies.push_back(timeMs([&] { window.ReadRadioData(); }));
        if (!window.ReplyDecoded)
            std::abort();
    }
    return {"Read latency (ReadRadioData, call to decoded, median of 30)",
            "ms",
            median(latencies),
            "the 50 ms wait",
            50.0,
            1.06};
}

Figure silentScan()
{
    PortMap empty;
    TMainForm window;
    PortMap silent;
    std::vector<std::unique_ptr<modulesim::Simulator>> modules;
    for (int com = 1; com <= 21; ++com) {
        modules.push_back(
            std::make_unique<modulesim::Simulator>(modulesim::Options{.silent = true}));
        modules.back()->linkInto(silent.path(), com);
    }
    std::vector<double> scans;
    for (int run = 0; run < 3; ++run)
        scans.push_back(timeMs([&] { window.ScanPorts(); }));
    return {"Silent scan (ScanPorts over 21 silent ptys, median of 3)",
            "ms",
            median(scans),
            "21 x (2 + 3 x 50) ms",
            21 * (2 + 3 * 50.0),
            1.03};
}

Figure absentScan()
{
    PortMap empty;
    TMainForm window;
    std::vector<double> scans;
    std::vector<double> opens;
    for (int run = 0; run < 10; ++run) {
        scans.push_back(timeMs([&] { window.ScanPorts(); }));
        opens.push_back(timeMs([&] {
            for (int com = 1; com <= 21; ++com) {
                const std::string path = empty.path() + "/com" + std::to_string(com);
                if (::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0)
                    std::abort();
            }
        }));
    }
    Figure figure{"Absent scan (ScanPorts, empty port map, median of 10)",
                  "ms",
                  median(scans),
                  "21 failed open()",
                  median(opens),
                  20.0};
    figure.goalIsAbsolute = true;
    return figure;
}

Figure eventRoundTrip()
{
    constexpr int trips = 2000;
    PortMap map;
    EchoLine componentLine;
    if (symlink(componentLine.path().c_str(), (map.path() + "/com1").c_str()) != 0)
        std::abort();
    TRadioCom com;
    openOnCom1(com);
    QEventLoop loop;
    bool answered = false;
    com.SetOnReceive([&](std::int32_t Count) {
        std::uint8_t reply[16];
        if (Count >= 16 && com.ReceiveBuffer(reply, 16) == 16) {
            answered = true;
            loop.quit();
        }
    });
    EchoLine rawLine;
    const int fd = ::open(rawLine.path().c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    auto componentTrip = [&] {
        answered = false;
        com.SendBuffer(ReadCommand, 15);
        if (!answered)
            loop.exec();
    };
    auto rawTrip = [&] {
        if (::write(fd, ReadCommand, 15) != 15)
            std::abort();
        std::size_t got = 0;
        std::uint8_t reply[16];
        while (got < 16) {
            pollfd entry{fd, POLLIN, 0};
            poll(&entry, 1, 1000);
            const ssize_t n = ::read(fd, reply + got, 16 - got);
            if (n > 0)
                got += static_cast<std::size_t>(n);
        }
    };
    // In alternating batches, so that both see the same machine load.
    std::vector<double> component;
    std::vector<double> raw;
    for (int batch = 0; batch < 10; ++batch) {
        for (int trip = 0; trip < trips / 10; ++trip)
            component.push_back(timeMs(componentTrip));
        for (int trip = 0; trip < trips / 10; ++trip)
            raw.push_back(timeMs(rawTrip));
    }
    com.ClosePort();
    ::close(fd);
    return {"Event round trip (SendBuffer, OnReceive, ReceiveBuffer; median of 2000)",
            "ms",
            median(component),
            "raw termios write/poll/read",
            median(raw),
            2.0};
}

Figure idleCost(const std::string& probe)
{
    PortMap map;
    modulesim::Simulator module;
    module.linkInto(map.path(), 3);
    auto cpuPerSecond = [&](const std::vector<std::string>& arguments) {
        ChildProcess program(probe, arguments,
                             {"QT_QPA_PLATFORM=offscreen", "MELVIX_PORT_DIR=" + map.path()});
        program.waitUntilShown();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double before = program.cpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double used = program.cpuSeconds() - before;
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        program.waitUntilEnded();
        return used / wall;
    };
    const double programCost = cpuPerSecond({"--stay", "6000"});
    const double bareCost = cpuPerSecond({"--bare", "--stay", "6000"});
    Figure figure{"Idle cost (5 s idle, port open on the simulator)",
                  "CPU s/s",
                  programCost,
                  "bare Qt window",
                  bareCost,
                  0.001};
    figure.goalIsAbsolute = true;
    return figure;
}

// Context switches of every thread of this process so far: each time one of
// them went to sleep and was woken, or was preempted.
long contextSwitches()
{
    long total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    closedir(tasks);
    return total;
}

double wakeUpsPerSecond(std::chrono::seconds idle)
{
    const long before = contextSwitches();
    const auto start = Clock::now();
    std::this_thread::sleep_for(idle);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(contextSwitches() - before) / wall;
}

// Wake-ups per second of this process while a port sits open and idle with
// its watcher waiting, beside the same process with the device merely held
// open. On a pty the watcher has no modem lines to wait for; a real adapter
// (MELVIX_BENCH_ADAPTER=/dev/ttyUSB0) shows whether its lines are waited on
// with TIOCMIWAIT or sampled.
Figure idleWakeUps()
{
    constexpr std::chrono::seconds idle{3};
    PortMap map;
    // A pty with no thread behind it, so that only the watcher can wake.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        std::abort();
    const char* adapter = std::getenv("MELVIX_BENCH_ADAPTER");
    const std::string device = adapter ? adapter : name;
    if (symlink(device.c_str(), (map.path() + "/com1").c_str()) != 0)
        std::abort();
    const int held = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const double bare = wakeUpsPerSecond(idle);
    ::close(held);
    TRadioCom com;
    openOnCom1(com);
    // The watcher starts its first wait, then nothing happens.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double open = wakeUpsPerSecond(idle);
    com.ClosePort();
    ::close(master);
    ::close(slave);
    Figure figure{std::string("Idle wake-ups (3 s, port open on ") +
                      (adapter ? "the adapter" : "a pty") + ")",
                  "1/s",
                  open,
                  "device held open, no watcher",
                  bare,
                  2.0};
    figure.goalIsAbsolute = true;
    return figure;
}

std::vector<Figure> startUp(const std::string& probe)
{
    PortMap empty;
    struct Runs
    {
        std::vector<double> shown, ended, peak;
    } program, bare;
    auto measure = [&](Runs& runs, const std::vector<std::string>& arguments) {
        ChildProcess child(probe, arguments,
                           {"QT_QPA_PLATFORM=offscreen", "MELVIX_PORT_DIR=" + empty.path()});
        runs.shown.push_back(child.waitUntilShown().count());
        runs.ended.push_back(child.waitUntilEnded().count());
        runs.peak.push_back(static_cast<double>(child.peakResidentKiB()) / 1024);
    };
    for (int run = 0; run < 5; ++run) {
        measure(program, {});
        measure(bare, {"--bare"});
    }
    return {
        {"Start-up until the window is shown (empty port map, median of 5)", "ms",
         median(program.shown), "bare Qt window", median(bare.shown), 1.3},
        // Detection pauses 2 ms after each of the 21 ports it opens, found or
        // not: what start-up costs beyond that fixed floor.
        {"Start-up until shown, less the 21 x 2 ms pauses after opening", "ms",
         median(program.shown) - 21 * 2.0, "bare Qt window", median(bare.shown), 1.3},
        {"Start-up until it has quit (median of 5)", "ms", median(program.ended), "bare Qt window",
         median(bare.ended), 1.3},
        {"Peak resident memory (median of 5)", "MiB", median(program.peak), "bare Qt window",
         median(bare.peak), 1.2},
    };
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::string probe = STARTUP_PROBE_PATH;

    // "detection" measures only the detection figures, "cli" only those of
    // melvix-module; "soak [WRITES [SEED]]" counts how writes through
    // faulty lines end instead; "endurance [MODULES [untimed]]" runs a
    // line's day through write --each and fails when a figure misses its goal.
    const std::string only = argc < 2 ? std::string() : argv[1];
    if (only == "endurance") {
        const int modules = argc > 2 ? std::atoi(argv[2]) : 1000;
        const bool timed = argc <= 3 || std::string(argv[3]) != "untimed";
        const std::vector<Figure> figures = enduranceFigures(modules, timed);
        printTable(figures);
        std::printf("\n");
        printJson(figures);
        return std::all_of(figures.begin(), figures.end(),
                           [](const Figure& figure) { return figure.met(); })
                   ? 0
                   : 1;
    }
    if (only == "soak") {
        const int writes = argc > 2 ? std::atoi(argv[2]) : 2000;
        const std::uint64_t seed =
            argc > 3 ? std::strtoull(argv[3], nullptr, 10) : std::random_device()();
        runSoak(writes, seed);
        return 0;
    }
    std::vector<Figure> figures = only == "cli" ? commandLineFigures() : detectionFigures();
    if (only.empty()) {
        figures.push_back(readLatency());
        figures.push_back(silentScan());
        figures.push_back(absentScan());
        figures.push_back(eventRoundTrip());
        figures.push_back(idleCost(probe));
        figures.push_back(idleWakeUps());
        for (Figure& figure : startUp(probe))
            figures.push_back(figure);
        for (Figure& figure : commandLineFigures())
            figures.push_back(figure);
    }

    printTable(figures);
    std::printf("\n");
    printJson(figures);
    return 0;
}
