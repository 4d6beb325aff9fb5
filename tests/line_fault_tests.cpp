// melvix-module writing through a noisy line. Every fault of the line that
// the simulator makes is replayed before `write`, `write --all` and
// `write --each`, on modules whose replies a fault can make look like
// another module's. Whatever the line does, the module must keep its
// address, and a write that reports success must have left the channel
// asked for.
#include "simulated_port_map.h"
#include "timing.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using modulesim::Layout;
using modulesim::Options;
using modulesim::Simulator;

// Channel 87 is the byte "W", the address initial, so a reply shifted by a
// byte still shows an address that starts with W; a W inside the address
// or the "A1" of the read command's echo gives the marker search more to
// mistake. The long layout puts the echo before the block. An ordinary
// module is fooled too: the first bytes of a cut answer before a whole one
// read as an address that starts with W.
struct Module
{
    const char* name;
    Options options;
};
const Module Modules[] = {
    {"channel 87, WAXW", {.channel = 87, .address = "WAXW"}},
    {"channel 87, WXA1", {.channel = 87, .address = "WXA1"}},
    {"long, channel 87, WAXW", {.layout = Layout::Long, .channel = 87, .address = "WAXW"}},
    {"long, channel 5, WXA1", {.layout = Layout::Long, .channel = 5, .address = "WXA1"}},
    {"channel 22, WXYZ", {.channel = 22, .address = "WXYZ"}},
};
// The 256 stray bytes are replayed on one module of each layout, the other
// faults on every module.
const std::vector<int> StrayModules = {0, 2};

struct Case
{
    std::string name;
    Options options;
    // melvix-module waits the window's full 50 ms after each read command.
    bool fixedWaits = false;
};

std::vector<Case> allCases()
{
    struct Fault
    {
        std::string name;
        std::function<void(Options&)> lay;
        bool fixedWaits = false;
        // Else on StrayModules only.
        bool everyModule = true;
    };
    std::vector<Fault> faults;
    for (int bytes = 1; bytes <= 15; ++bytes)
        faults.push_back({"first answer cut to " + std::to_string(bytes),
                          [bytes](Options& o) { o.cutTo = bytes; }});
    for (int value = 0; value <= 255; ++value)
        faults.push_back({"stray byte " + std::to_string(value) + " before the first answer",
                          [value](Options& o) {
                              o.strayFirst = true;
                              o.strayValue = static_cast<std::uint8_t>(value);
                          },
                          false, false});
    for (int answer = 1; answer <= 2; ++answer)
        faults.push_back({"answer " + std::to_string(answer) + " twice",
                          [answer](Options& o) { o.doubledAnswer = answer; }});
    for (int read = 1; read <= 3; ++read)
        faults.push_back({"answer to read " + std::to_string(read) + " lost",
                          [read](Options& o) { o.droppedRead = read; }});
    for (const bool fixedWaits : {false, true})
        faults.push_back({fixedWaits ? "12 pieces 8 ms apart, fixed waits" : "12 pieces 8 ms apart",
                          [](Options& o) {
                              o.pieces = 12;
                              o.piecePause = 8ms;
                          },
                          fixedWaits});
    std::vector<Case> cases;
    for (const Fault& fault : faults) {
        for (int module = 0; module < static_cast<int>(std::size(Modules)); ++module) {
            if (!fault.everyModule &&
                std::find(StrayModules.begin(), StrayModules.end(), module) == StrayModules.end())
                continue;
            Case c{std::string(Modules[module].name) + ": " + fault.name, Modules[module].options,
                   fault.fixedWaits};
            fault.lay(c.options);
            cases.push_back(std::move(c));
        }
    }
    return cases;
}

// An address as the module holds it, any byte readable.
std::string shown(const std::string& address)
{
    std::string text;
    for (const char byte : address) {
        const auto value = static_cast<unsigned char>(byte);
        text += value >= 0x21 && value < 0x7f
                    ? std::string(1, byte)
                    : QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0')).toStdString();
    }
    return text;
}

// A channel for each run, so that the read-backs carry many channel bytes;
// never the one a module starts on, so that only a write can put it there.
int channelFor(std::size_t run)
{
    const int channel = 1 + static_cast<int>(run * 7 % 83);
    return channel == 5 || channel == 22 ? channel + 1 : channel;
}

// A port map of its own, modules on COM1 upward, and melvix-module writing
// them.
class WriteRun
{
public:
    // At most 21 cases, which COM1 to COM21 take in order.
    WriteRun(std::vector<Case> cases, const QStringList& mode, int channel)
        : cases_(std::move(cases)), channel_(channel)
    {
        for (const Case& c : cases_)
            map_.addModule(c.options);
        QStringList arguments{"write", "--channel", QString::number(channel)};
        arguments += mode;
        if (cases_.front().fixedWaits)
            arguments << "--fixed-waits";
        map_.start(QStringLiteral(MELVIX_MODULE_PATH), arguments);
        EXPECT_TRUE(map_.program().waitForStarted());
    }

    // How many modules have a line of their own in the output so far.
    int modulesReported()
    {
        map_.program().waitForReadyRead(10);
        output_ += map_.program().readAllStandardOutput();
        return static_cast<int>(exitsByPort().size());
    }

    void stop() { kill(static_cast<pid_t>(map_.program().processId()), SIGTERM); }

    // Waits for the end; false when the program crashed or hung.
    bool finish()
    {
        QProcess& program = map_.program();
        if (!program.waitForFinished(static_cast<int>(timing::scaled(60s).count() * 1000)))
            return false;
        output_ += program.readAllStandardOutput();
        return program.exitStatus() == QProcess::NormalExit;
    }

    int exitCode() const { return map_.program().exitCode(); }

    // The exit status of each module that the output names, by its COM
    // number, from a JSON array (--all) or JSON lines (--each), the last
    // line of a port counting.
    std::map<int, int> exitsByPort() const
    {
        std::map<int, int> exits;
        const auto note = [&](const QJsonObject& object) {
            exits[object["port"].toString().mid(3).toInt()] = object["exit"].toInt(-1);
        };
        const QJsonDocument all = QJsonDocument::fromJson(output_);
        for (const QJsonValue value : all.array())
            note(value.toObject());
        if (!all.isArray()) {
            for (const QByteArray& line : output_.split('\n'))
                note(QJsonDocument::fromJson(line).object());
        }
        exits.erase(0);
        return exits;
    }

    // The module's address is its own after any write, and a module that
    // the program reports written (exit 0) holds the channel asked for.
    void expectKept(const std::map<int, int>& exits) const
    {
        for (std::size_t i = 0; i < cases_.size(); ++i) {
            const Case& c = cases_[i];
            const Simulator& module = map_.module(i);
            const auto found = exits.find(static_cast<int>(i) + 1);
            const int exit = found == exits.end() ? -1 : found->second;
            if (module.address() != c.options.address)
                ADD_FAILURE() << c.name << ": address now " << shown(module.address()) << ", exit "
                              << exit;
            if (exit == 0 && module.channel() != channel_)
                ADD_FAILURE() << c.name << ": exit 0, but channel "
                              << static_cast<int>(module.channel()) << ", not " << channel_;
        }
    }

    std::size_t size() const { return cases_.size(); }
    const std::string& firstName() const { return cases_.front().name; }

private:
    std::vector<Case> cases_;
    int channel_;
    modulesim::SimulatedPortMap map_;
    QByteArray output_;
};

// Runs `count` runs, `atOnce` at a time, each started by `start(i)` and
// checked by `check`. They take about as long as each other, so waiting for
// the oldest keeps nearly `atOnce` of them going. The first ones start
// `spacing` apart and the later ones follow as those end, so that no burst
// of starting programs delays an answer past a reply wait of 50 ms, which
// would test the machine's load instead of the line's faults.
void runConcurrently(std::size_t count, std::size_t atOnce, std::chrono::milliseconds spacing,
                     const std::function<std::unique_ptr<WriteRun>(std::size_t)>& start,
                     const std::function<void(WriteRun&)>& check)
{
    std::deque<std::unique_ptr<WriteRun>> running;
    for (std::size_t next = 0; next < count || !running.empty();) {
        if (next < count && running.size() < atOnce) {
            if (next > 0 && next < atOnce)
                std::this_thread::sleep_for(spacing);
            running.push_back(start(next++));
            continue;
        }
        check(*running.front());
        running.pop_front();
    }
}

// The cases in runs of up to 21 modules, one run per melvix-module process;
// a run's modules share its waits.
std::vector<std::vector<Case>> inRunsOf21(const std::vector<Case>& cases)
{
    constexpr std::size_t ModulesPerRun = 21;
    std::vector<std::vector<Case>> runs;
    for (const bool fixedWaits : {false, true}) {
        std::vector<Case> run;
        for (const Case& c : cases) {
            if (c.fixedWaits != fixedWaits)
                continue;
            run.push_back(c);
            if (run.size() == ModulesPerRun)
                runs.push_back(std::exchange(run, {}));
        }
        if (!run.empty())
            runs.push_back(std::move(run));
    }
    return runs;
}

TEST(LineFaultTest, WriteKeepsTheAddressThroughEveryFault)
{
    const std::vector<Case> cases = allCases();
    runConcurrently(
        cases.size(), 32, 15ms,
        [&](std::size_t i) {
            return std::make_unique<WriteRun>(std::vector<Case>{cases[i]}, QStringList{},
                                              channelFor(i));
        },
        [](WriteRun& run) {
            ASSERT_TRUE(run.finish()) << run.firstName();
            run.expectKept({{1, run.exitCode()}});
        });
}

// Every case in runs of 21, each written by one melvix-module in `mode`,
// three runs at a time.
void writeInRunsOf21(const QStringList& mode, const std::function<void(WriteRun&)>& check)
{
    const std::vector<std::vector<Case>> runs = inRunsOf21(allCases());
    runConcurrently(
        runs.size(), 3, 200ms,
        [&](std::size_t i) { return std::make_unique<WriteRun>(runs[i], mode, channelFor(i)); },
        check);
}

TEST(LineFaultTest, WriteAllKeepsEveryAddressThroughEveryFault)
{
    writeInRunsOf21({"--all", "--json"}, [](WriteRun& run) {
        ASSERT_TRUE(run.finish()) << run.firstName();
        run.expectKept(run.exitsByPort());
    });
}

// The line writes the modules found together, as --all does, then checks
// every second that each is still there; one whose answer shows another
// address is let go and written anew, and reported again.
TEST(LineFaultTest, WriteEachKeepsEveryAddressThroughEveryFault)
{
    writeInRunsOf21({"--each", "--json"}, [](WriteRun& run) {
        // The modules found together are reported together, and those
        // let go by the checks that come every second are written and
        // reported anew. One that gave no answer to the probes is left
        // alone until a port changes: past a check and a write with no
        // new report, none is coming.
        const auto quietFor = timing::scaled(1500ms);
        auto lastChange = std::chrono::steady_clock::now();
        const auto limit = lastChange + timing::scaled(20s);
        for (int reported = 0; reported < static_cast<int>(run.size());) {
            const int count = run.modulesReported();
            const auto now = std::chrono::steady_clock::now();
            if (count != reported) {
                reported = count;
                lastChange = now;
            } else if (now > limit || (reported > 0 && now - lastChange > quietFor)) {
                break;
            }
        }
        run.stop();
        ASSERT_TRUE(run.finish()) << run.firstName();
        run.expectKept(run.exitsByPort());
    });
}

} // namespace
