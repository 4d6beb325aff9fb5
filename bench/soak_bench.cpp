#include "soak_bench.h"

#include "simulated_port_map.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using modulesim::Layout;
using modulesim::Options;
using modulesim::Simulator;

// One run in this many writes every module of a full port map at once.
constexpr int AllRunEvery = 4;
constexpr int ModulesOfAll = 21;
// One run in this many waits the window's fixed 50 ms after each read.
constexpr int FixedWaitsEvery = 8;
// Runs going at once, and the pause between the first ones' starts, so that
// no burst of starting programs delays answers past a reply wait.
constexpr std::size_t RunsAtOnce = 8;
constexpr auto StartSpacing = 60ms;
constexpr int RunLimitMs = 60000;
// The silent corruptions shown in full, for replaying them.
constexpr std::size_t ShownCorruptions = 10;

// A module's bytes as text, any byte readable.
std::string printable(const std::string& bytes)
{
    std::string text;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", value);
        text += value >= 0x21 && value < 0x7f ? std::string(1, byte) : std::string(escaped);
    }
    return text;
}

// Every choice of the soak, from the seed printed, so that a run can be
// replayed; only the machine's timing differs.
class Draw
{
public:
    explicit Draw(std::uint64_t seed) : random_(seed) {}
    int between(int lowest, int highest)
    {
        return std::uniform_int_distribution<int>(lowest, highest)(random_);
    }
    bool oneIn(int n) { return between(1, n) == 1; }
    std::uint64_t seed() { return random_(); }

private:
    std::mt19937_64 random_;
};

struct Module
{
    Options options;
    std::string description;
};

// A fault of the line, laid over the module's options and named.
void addFault(int kind, Draw& draw, Module& module)
{
    Options& o = module.options;
    std::string& text = module.description;
    switch (kind) {
    case 0:
        o.cutAnswer = draw.between(1, 3);
        o.cutTo = draw.between(1, 15);
        text += ", answer " + std::to_string(o.cutAnswer) + " cut to " + std::to_string(*o.cutTo);
        break;
    case 1:
        (draw.oneIn(2) ? o.strayFirst : o.strayByte) = true;
        o.strayValue = static_cast<std::uint8_t>(draw.between(0, 255));
        text += ", stray byte " + std::to_string(o.strayValue) +
                (o.strayFirst ? " before the first answer" : " before every answer");
        break;
    case 2:
        o.doubledAnswer = draw.between(1, 3);
        text += ", answer " + std::to_string(o.doubledAnswer) + " twice";
        break;
    case 3:
        o.droppedRead = draw.between(1, 3);
        text += ", answer to read " + std::to_string(o.droppedRead) + " lost";
        break;
    case 4:
        o.dropChance = draw.between(1, 4) / 10.0;
        o.seed = draw.seed();
        text += ", answers lost by chance " + std::to_string(o.dropChance).substr(0, 3) +
                " (seed " + std::to_string(*o.seed) + ")";
        break;
    default:
        o.pieces = draw.between(2, 16);
        o.piecePause = std::chrono::milliseconds(draw.between(1, 10));
        text += ", " + std::to_string(o.pieces) + " pieces " +
                std::to_string(o.piecePause.count()) + " ms apart";
        break;
    }
}

constexpr int FaultKinds = 6;

// A module whose replies a fault can make look like another module's
// (channel 87 is "W", the address initial; addresses hold more W's or the
// echo's "A1"), behind one fault of the line, or now and then two.
Module drawModule(Draw& draw)
{
    Module module;
    Options& o = module.options;
    o.layout = draw.oneIn(4) ? Layout::Long : Layout::Short;
    o.channel = static_cast<std::uint8_t>(draw.oneIn(3) ? 87 : draw.between(1, 83));
    static const char* const Addresses[] = {"WAXW", "WXA1", "WXYZ"};
    const int address = draw.between(0, 3);
    if (address < 3) {
        o.address = Addresses[address];
    } else {
        static const char Letters[] = "WAXa1";
        o.address = "W";
        for (int i = 0; i < 3; ++i)
            o.address += Letters[draw.between(0, 4)];
    }
    module.description = std::string(o.layout == Layout::Long ? "long, " : "") + "channel " +
                         std::to_string(o.channel) + ", " + printable(o.address);
    const int first = draw.between(0, FaultKinds - 1);
    addFault(first, draw, module);
    if (draw.oneIn(4))
        addFault((first + draw.between(1, FaultKinds - 1)) % FaultKinds, draw, module);
    return module;
}

// Modules on COM1 upward of a port map of their own, and melvix-module
// writing them.
class SoakRun
{
public:
    SoakRun(Draw& draw, bool all) : all_(all)
    {
        const int count = all ? ModulesOfAll : 1;
        // Modules of one address held together are not written: each of
        // --all's has its own.
        while (static_cast<int>(planned_.size()) < count) {
            Module module = drawModule(draw);
            if (std::none_of(planned_.begin(), planned_.end(), [&](const Module& m) {
                    return m.options.address == module.options.address;
                }))
                planned_.push_back(std::move(module));
        }
        // Never a channel a module starts on, so that only a write puts it
        // there.
        do {
            channel_ = draw.between(1, 83);
        } while (std::any_of(planned_.begin(), planned_.end(),
                             [&](const Module& m) { return m.options.channel == channel_; }));
        const bool fixedWaits = draw.oneIn(FixedWaitsEvery);
        for (const Module& module : planned_)
            map_.addModule(module.options);
        QStringList arguments{"write", "--channel", QString::number(channel_)};
        if (all)
            arguments << "--all"
                      << "--json";
        if (fixedWaits)
            arguments << "--fixed-waits";
        command_ = "melvix-module " + arguments.join(' ').toStdString();
        map_.start(QStringLiteral(MELVIX_MODULE_PATH), arguments);
    }

    bool all() const { return all_; }
    int channel() const { return channel_; }
    const std::string& command() const { return command_; }
    std::size_t size() const { return planned_.size(); }
    const Module& planned(std::size_t i) const { return planned_[i]; }
    const Simulator& module(std::size_t i) const { return map_.module(i); }

    // Each module's exit status by its index: the program's own for one
    // module, each module's from the JSON array of --all, where a module
    // not found is missing.
    std::map<std::size_t, int> exits()
    {
        std::map<std::size_t, int> result;
        QProcess& program = map_.program();
        const bool ended = program.waitForFinished(RunLimitMs);
        if (!ended || program.exitStatus() != QProcess::NormalExit)
            return result;
        if (!all_) {
            result[0] = program.exitCode();
            return result;
        }
        const QJsonArray array = QJsonDocument::fromJson(program.readAllStandardOutput()).array();
        for (const QJsonValue value : array) {
            const int com = value.toObject()["port"].toString().mid(3).toInt();
            if (com >= 1 && com <= static_cast<int>(planned_.size()))
                result[static_cast<std::size_t>(com - 1)] = value.toObject()["exit"].toInt(-1);
        }
        return result;
    }

    // The program crashed, or ran past its time limit and was killed.
    bool crashed() const
    {
        return map_.program().state() != QProcess::NotRunning ||
               map_.program().exitStatus() != QProcess::NormalExit;
    }

private:
    std::vector<Module> planned_;
    modulesim::SimulatedPortMap map_;
    int channel_ = 0;
    bool all_ = false;
    std::string command_;
};

struct Tally
{
    int writes = 0;
    int runs = 0;
    int allRuns = 0;
    std::map<int, int> exits;
    int notFound = 0;
    int crashed = 0;
    int silentCorruptions = 0;
    int changedAddresses = 0;
    int falseFailures = 0;
    std::vector<std::string> corruptions;

    void count(SoakRun& run)
    {
        ++runs;
        allRuns += run.all() ? 1 : 0;
        const std::map<std::size_t, int> ended = run.exits();
        const bool lost = run.crashed();
        for (std::size_t i = 0; i < run.size(); ++i) {
            ++writes;
            const Module& planned = run.planned(i);
            const Simulator& module = run.module(i);
            const bool addressKept = module.address() == planned.options.address;
            const bool channelAsked = module.channel() == run.channel();
            changedAddresses += addressKept ? 0 : 1;
            const auto exit = ended.find(i);
            if (lost) {
                ++crashed;
                continue;
            }
            if (exit == ended.end()) {
                ++notFound;
                continue;
            }
            ++exits[exit->second];
            if (exit->second == 0 && !(addressKept && channelAsked)) {
                ++silentCorruptions;
                if (corruptions.size() < ShownCorruptions)
                    corruptions.push_back(planned.description + ": " + run.command() +
                                          " left channel " + std::to_string(module.channel()) +
                                          ", address " + printable(module.address()));
            }
            if (exit->second != 0 && addressKept && channelAsked)
                ++falseFailures;
        }
    }

    void print(std::uint64_t seed, double seconds) const
    {
        std::printf("Soak: %d writes in %d runs of melvix-module (%d of them --all with %d "
                    "modules), seed %llu, %.1f s\n",
                    writes, runs, allRuns, ModulesOfAll, static_cast<unsigned long long>(seed),
                    seconds);
        for (const auto& [status, count] : exits)
            std::printf("  exit %d: %d\n", status, count);
        std::printf("  not found by --all: %d\n", notFound);
        std::printf("  crashed or hung: %d\n", crashed);
        std::printf("  silent corruptions (exit 0, yet not the channel asked or another "
                    "address): %d\n",
                    silentCorruptions);
        std::printf("  changed addresses (any exit): %d\n", changedAddresses);
        std::printf("  false failures (exit not 0, yet the channel asked and the address "
                    "kept): %d\n",
                    falseFailures);
        for (const std::string& corruption : corruptions)
            std::printf("  corrupted: %s\n", corruption.c_str());
    }
};

} // namespace

void runSoak(int writes, std::uint64_t seed)
{
    std::printf("Soak seed %llu (replay: melvix_bench soak %d %llu)\n",
                static_cast<unsigned long long>(seed), writes,
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    Draw draw(seed);
    Tally tally;
    const auto start = std::chrono::steady_clock::now();
    std::deque<std::unique_ptr<SoakRun>> running;
    int planned = 0;
    while (planned < writes || !running.empty()) {
        if (planned < writes && running.size() < RunsAtOnce) {
            if (!running.empty() && tally.runs == 0)
                std::this_thread::sleep_for(StartSpacing);
            running.push_back(std::make_unique<SoakRun>(draw, draw.oneIn(AllRunEvery)));
            planned += static_cast<int>(running.back()->size());
            continue;
        }
        tally.count(*running.front());
        running.pop_front();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    tally.print(seed, took.count());
}
