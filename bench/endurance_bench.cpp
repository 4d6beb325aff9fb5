#include "endurance_bench.h"

#include "child_process.h"
#include "measure.h"
#include "simulator.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using modulesim::Options;
using modulesim::Simulator;

// The module's own time to store a channel, which no program can shorten.
constexpr double StorePauseMs = 500;
// The count after which memory and descriptors are taken as the baseline:
// by then every buffer, thread and cache of a module's round exists.
constexpr int SettledAfter = 10;
constexpr int Channel = 42;
constexpr std::chrono::milliseconds PullToPlug{250};

// A distinct valid address for each module, so that no two look like
// one module plugged in twice.
std::string addressOf(int index)
{
    std::string address = "W000";
    for (int place = 3; place > 0; --place, index /= 26)
        address[static_cast<std::size_t>(place)] = static_cast<char>('A' + index % 26);
    return address;
}

// The records of the log whose "record" field says `kind`.
int recordsOf(const QString& path, const QString& kind)
{
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    while (!log.atEnd()) {
        const QJsonObject record = QJsonDocument::fromJson(log.readLine()).object();
        count += record.value(QStringLiteral("record")).toString() == kind;
    }
    return count;
}

// One module written by a process of its own, less the module's pause: the
// median of 5.
double singleWriteMs(const std::string& portDir)
{
    std::vector<double> runs;
    for (int run = 0; run < 5; ++run) {
        Simulator module(Options{.channel = 7, .address = "WSOL"});
        module.linkInto(portDir, 5);
        ChildProcess write(MELVIX_MODULE_PATH,
                           {"write", "--port", "COM5", "--channel", std::to_string(Channel)},
                           {"MELVIX_PORT_DIR=" + portDir});
        runs.push_back(write.waitUntilEnded().count() - StorePauseMs);
        if (write.exitStatus() != 0)
            throw std::runtime_error("melvix-module write failed");
    }
    return median(runs);
}

struct Snapshot
{
    long residentKiB = 0;
    int descriptors = 0;
};

} // namespace

std::vector<Figure> enduranceFigures(int modules, bool timed)
{
    QTemporaryDir dir;
    const std::string portDir = dir.filePath(QStringLiteral("ports")).toStdString();
    const QString logPath = dir.filePath(QStringLiteral("line.jsonl"));
    QDir().mkpath(QString::fromStdString(portDir));
    const double oneProcessMs = singleWriteMs(portDir);
    ChildProcess line(
        MELVIX_MODULE_PATH,
        {"write", "--each", "--channel", std::to_string(Channel), "--log", logPath.toStdString()},
        {"MELVIX_PORT_DIR=" + portDir});

    std::vector<double> beyondPause;
    Snapshot settled;
    Snapshot last;
    const auto started = Clock::now();
    for (int index = 0; index < modules; ++index) {
        const auto plugged = Clock::now();
        auto module = std::make_unique<Simulator>(Options{
            .channel = static_cast<std::uint8_t>(1 + index % 40), .address = addressOf(index)});
        module->linkInto(portDir, 5);
        const std::optional<std::string> said = line.readLine();
        if (!said)
            throw std::runtime_error("melvix-module ended after " + std::to_string(index) +
                                     " modules");
        beyondPause.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - plugged).count() -
            StorePauseMs);
        if (index + 1 == SettledAfter)
            settled = {line.residentKiB(), line.openDescriptors()};
        if (index + 1 == modules)
            last = {line.residentKiB(), line.openDescriptors()};
        // Pulled out. The next comes a quarter of a second later: an
        // operator's hands, and a USB adapter's enumeration, take longer.
        module.reset();
        std::this_thread::sleep_for(PullToPlug);
    }
    const double hours = std::chrono::duration<double>(Clock::now() - started).count() / 3600.0;
    const int results = recordsOf(logPath, QStringLiteral("result"));
    std::printf("endurance: %d modules in %.1f s (%.0f an hour), %d result records; time per "
                "module beyond the pause: median %.1f ms, slowest %.1f ms\n",
                modules, hours * 3600, modules / hours, results, median(beyondPause),
                *std::max_element(beyondPause.begin(), beyondPause.end()));

    const std::string after = " after module " + std::to_string(modules);
    const std::string atSettled = "after module " + std::to_string(SettledAfter);
    Figure perModule{"write --each: time per module beyond the module's 500 ms pause (median of " +
                         std::to_string(modules) + ", plug to printed result)",
                     "ms",
                     median(beyondPause),
                     "one module written by a process of its own, less the pause",
                     oneProcessMs,
                     timed ? 20.0 : 200.0};
    perModule.goalIsAbsolute = true;
    std::vector<Figure> figures{
        perModule,
        {"write --each: resident memory" + after, "MiB", last.residentKiB / 1024.0, atSettled,
         settled.residentKiB / 1024.0, 1.05},
        {"write --each: open descriptors" + after, "fds", static_cast<double>(last.descriptors),
         atSettled, static_cast<double>(settled.descriptors), 1.0},
    };
    Figure records{"write --each: result records in the log",
                   "records",
                   static_cast<double>(results),
                   "modules plugged",
                   static_cast<double>(modules),
                   1.0};
    records.goalIsExact = true;
    figures.push_back(records);
    return figures;
}
