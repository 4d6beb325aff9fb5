#include "cli_bench.h"

#include "child_process.h"
#include "measure.h"
#include "simulator.h"

#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using modulesim::Options;
using modulesim::Simulator;

// Simulated modules in a port map directory of their own.
class Bench
{
public:
    Simulator& add(int com, Options options = {})
    {
        modules_.push_back(std::make_unique<Simulator>(options));
        modules_.back()->linkInto(dir_.path().toStdString(), com);
        return *modules_.back();
    }

    // One run of melvix-module to its end, in milliseconds; aborts unless it
    // exits with 0.
    double runMs(const std::vector<std::string>& arguments) const
    {
        ChildProcess program(MELVIX_MODULE_PATH, arguments,
                             {"MELVIX_PORT_DIR=" + dir_.path().toStdString()});
        const double ms = program.waitUntilEnded().count();
        if (program.exitStatus() != 0)
            std::abort();
        return ms;
    }

    // The median of `runs` runs of each, alternated, so that both see the
    // same load.
    std::pair<double, double> compare(const std::vector<std::string>& first,
                                      const std::vector<std::string>& second, int runs) const
    {
        std::vector<double> a;
        std::vector<double> b;
        for (int run = 0; run < runs; ++run) {
            a.push_back(runMs(first));
            b.push_back(runMs(second));
        }
        return {median(a), median(b)};
    }

    std::string dir() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<Simulator>> modules_;
};

Figure readOnAPort()
{
    Bench bench;
    bench.add(3);
    const auto [early, fixed] =
        bench.compare({"read", "--port", "COM3"}, {"read", "--port", "COM3", "--fixed-waits"}, 21);
    return {"melvix-module read --port COM3 (whole process, median of 21)",
            "ms",
            early,
            "the same with --fixed-waits",
            fixed,
            0.35};
}

Figure parallelDetection()
{
    Bench bench;
    bench.add(5);
    const auto [early, fixed] =
        bench.compare({"detect", "--parallel"}, {"detect", "--parallel", "--fixed-waits"}, 21);
    return {"melvix-module detect --parallel, module on COM5 (whole process, median of 21)",
            "ms",
            early,
            "the same with --fixed-waits",
            fixed,
            0.4};
}

Figure sequentialDetectionBehindSilence()
{
    Bench bench;
    for (int com = 1; com <= 20; ++com)
        bench.add(com, {.silent = true});
    bench.add(21);
    const auto [early, fixed] = bench.compare({"detect"}, {"detect", "--fixed-waits"}, 3);
    return {"melvix-module detect, module on COM21 behind 20 silent ports (median of 3)",
            "ms",
            early,
            "the same with --fixed-waits",
            fixed,
            1.03};
}

Figure writeAll()
{
    Bench one;
    one.add(1);
    Bench sixteen;
    // Each with its own address: modules of one address are not written.
    for (int com = 1; com <= 16; ++com)
        sixteen.add(com, {.address = "WXZ" + std::string(1, static_cast<char>('A' + com))});
    std::vector<double> single;
    std::vector<double> batch;
    for (int run = 0; run < 5; ++run) {
        const std::string channel = std::to_string(10 + run);
        single.push_back(one.runMs({"write", "--channel", channel}));
        batch.push_back(sixteen.runMs({"write", "--all", "--channel", channel}));
    }
    return {"melvix-module write --all on 16 modules (whole process, median of 5)",
            "ms",
            median(batch),
            "write on one module",
            median(single),
            1.3};
}

// CPU seconds that a program waiting for a module uses over 5 s, beside a
// program that only sleeps; with `held`, a module is plugged in and written
// first, and stays.
Figure idleWait(const std::string& name, const std::vector<std::string>& arguments,
                bool held = false)
{
    Bench bench;
    Simulator* module = held ? &bench.add(5) : nullptr;
    auto cpuSeconds = [&](const std::string& program, const std::vector<std::string>& args) {
        ChildProcess child(program, args, {"MELVIX_PORT_DIR=" + bench.dir()});
        // Past its start (and its module's write), into its wait.
        while (module && program == MELVIX_MODULE_PATH && module->writeRequests() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(held ? 1000 : 500));
        const double before = child.cpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        return child.cpuSeconds() - before;
    };
    Figure figure{name + " (CPU over 5 s idle)",
                  "CPU s",
                  cpuSeconds(MELVIX_MODULE_PATH, arguments),
                  "sleep",
                  cpuSeconds("/bin/sleep", {"60"}),
                  0.01};
    figure.goalIsAbsolute = true;
    return figure;
}

} // namespace

std::vector<Figure> commandLineFigures()
{
    return {
        readOnAPort(),
        parallelDetection(),
        sequentialDetectionBehindSilence(),
        writeAll(),
        idleWait("melvix-module detect --wait", {"detect", "--wait"}),
        idleWait("melvix-module write --each", {"write", "--channel", "9", "--each"}),
        idleWait("melvix-module write --each, a written module staying",
                 {"write", "--channel", "9", "--each"}, true),
    };
}
