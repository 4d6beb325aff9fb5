#include "LineMode.h"

#include "BatchReport.h"
#include "ModuleSession.h"
#include "Output.h"
#include "ParallelScan.h"
#include "PortDiagnosis.h"
#include "PortReport.h"
#include "PortWait.h"
#include "PortWatcher.h"
#include "StopSignals.h"

#include <QMap>

#include <algorithm>

namespace cli {

namespace {

// How often a module that stays is asked whether it is still there: often
// enough to notice an operator who swaps modules on a jig, rare enough to
// cost next to nothing (about 1 ms of processor time a second).
constexpr qint64 HeldCheckMs = 500;
// A held module that has left this many read commands in a row without an
// answer as itself is gone, whatever answers at its port next: about a
// second, since a check that goes unanswered is followed by the next at
// once. A line that loses half of the answers comes this far once in hours.
constexpr int GoneAfterUnansweredReads = 16;
// How often ports without a module are probed again: a module put on a jig
// whose adapter stays plugged in brings no change of the port map, and a
// port that another program held may be free now.
constexpr qint64 ProbeAgainMs = 1000;

struct HeldModule
{
    std::unique_ptr<BatchModule> module;
    // The read commands sent since it last answered as itself.
    int unanswered = 0;
};

using Held = std::vector<HeldModule>;

// The ports to look at, less those that lead to a held module's device:
// under the default map a COM number follows the adapters present.
QList<int> PortsToScan(const Settings& settings, const Held& held)
{
    QList<int> ports;
    for (const int index : ModuleBatch::allowedPorts(settings)) {
        if (settings.port && index != settings.port->index())
            continue;
        const QString device = PortDevice(index + 1);
        if (device.isEmpty() || std::none_of(held.begin(), held.end(), [&](const auto& held) {
                return held.module->device == device;
            }))
            ports.append(index);
    }
    return ports;
}

// Asks the held modules whether they are still there and lets go of those
// that have gone: their device went away, or they left
// GoneAfterUnansweredReads read commands in a row without an answer as
// themselves, neither from a module with another address nor from none. True when one of those that
// stay missed this check, so that the next one comes at once.
bool ReleaseGone(const Settings& settings, Held& held)
{
    // A device that went away is let go of at once, so that the system can
    // give its name to the adapter when it is plugged in again.
    std::erase_if(held,
                  [](const HeldModule& module) { return !DevicePresent(module.module->device); });
    if (held.empty())
        return false;
    std::vector<BatchModule*> asked;
    std::vector<int> sentBefore;
    for (const auto& module : held) {
        asked.push_back(module.module.get());
        sentBefore.push_back(module.module->session.ReadCommandsSent());
    }
    ModuleBatch::readTogether(asked, settings);
    bool missed = false;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const TModuleSession& session = held[i].module->session;
        if (session.ReplyDecoded && session.LastReading->address == held[i].module->foundAddress) {
            held[i].unanswered = 0;
        } else {
            held[i].unanswered += session.ReadCommandsSent() - sentBefore[i];
            missed = true;
        }
    }
    std::erase_if(held, [](const HeldModule& module) {
        return module.unanswered >= GoneAfterUnansweredReads;
    });
    return missed;
}

// The notes about ports that the line cannot use, each said once until what
// it says changes.
class PortNotes
{
public:
    void note(int portNumber, const QString& text)
    {
        if (said_.value(portNumber) == text)
            return;
        said_.insert(portNumber, text);
        if (!text.isEmpty())
            PrintLine(stderr, QStringLiteral("melvix-module: note: ") + text);
    }

    // Notes what keeps the batch's ports from use. True when a port could
    // not be opened because another program held it or this user may not
    // open it, which may change without any change to the port map.
    bool noteBatch(ModuleBatch& batch, const Settings& settings)
    {
        bool refused = false;
        for (const PortSeen& port : batch.unopened) {
            refused = refused || SkippedAsBusyOrRefused(port);
            note(port.portNumber, UnusedPortNote(port));
            probed_.remove(port.portNumber);
        }
        classifySilent(batch.silent, settings);
        for (const PortSeen& port : batch.silent)
            note(port.portNumber, UnusedPortNote(port));
        for (const auto& module : batch.modules) {
            note(module->port.index() + 1, {});
            probed_.remove(module->port.index() + 1);
        }
        return refused;
    }

private:
    // Asks the ports that gave no usable answer whether a V4 module sits
    // there, but only those that answered otherwise than last time: the
    // ports are probed again every second, and a port without a module,
    // such as a console, need not get a V4 read command each time.
    void classifySilent(QList<PortSeen>& silent, const Settings& settings)
    {
        QList<PortSeen> changed;
        for (PortSeen& port : silent) {
            const auto last = probed_.constFind(port.portNumber);
            if (last != probed_.cend() && last->first == port.outcome)
                port = last->second;
            else
                changed.append(port);
        }
        AskInV4(changed, !settings.fixedWaits);
        for (const PortSeen& port : changed) {
            const auto probedAs = std::find_if(silent.begin(), silent.end(), [&](const auto& p) {
                return p.portNumber == port.portNumber;
            });
            probed_.insert(port.portNumber, {probedAs->outcome, port});
            *probedAs = port;
        }
    }

    QMap<int, QString> said_;
    // For each port that gave no usable answer: what it answered to the V5
    // read command last time, and what it was then found to be.
    QMap<int, std::pair<PortSeen::Outcome, PortSeen>> probed_;
};

// A module held since before shares its address with one found now: its line
// went out already, so it is named on stderr.
void noteSameAddress(const BatchModule& held, LineProgress& progress)
{
    PrintLine(stderr, QStringLiteral("melvix-module: note: %1: %2")
                          .arg(PortName(held.port.index()), sameAddressText(held)));
    progress.sameAddressFound(held);
}

} // namespace

Result<void> RunLine(const Settings& settings,
                     const std::function<bool(int number, const BatchModule& module)>& report,
                     LineTally& tally, LineProgress* progress)
{
    LineProgress noProgress;
    if (!progress)
        progress = &noProgress;
    const SignalHandling stop = CatchStopSignals();
    PortWatcher watcher;
    if (watcher.failure())
        return *watcher.failure();
    Held held;
    PortNotes notes;
    int number = 0;
    bool look = true;
    // Ports where something may yet become a module without any change to
    // the port map: opened but no module answered, or held by another
    // program or closed to this user.
    bool probeAgain = false;
    QDeadlineTimer nextProbe;
    QList<PortSeen> unopened;
    bool checkAtOnce = false;
    while (stop.received() == 0) {
        if (look || (probeAgain && nextProbe.hasExpired())) {
            ModuleBatch batch(settings, progress);
            const QList<int> ports = PortsToScan(settings, held);
            progress->looking(ports);
            batch.open(ports);
            batch.probe();
            const bool refused = notes.noteBatch(batch, settings);
            std::vector<BatchModule*> beside;
            std::vector<qsizetype> flaggedBefore;
            for (const auto& module : held) {
                beside.push_back(module.module.get());
                flaggedBefore.push_back(module.module->sameAddressAt.size());
            }
            batch.writeAll(beside);
            for (std::size_t i = 0; i < beside.size(); ++i) {
                if (beside[i]->sameAddressAt.size() != flaggedBefore[i])
                    noteSameAddress(*beside[i], *progress);
            }
            bool reported = true;
            for (auto& module : batch.modules) {
                reported = report(++number, *module) && reported;
                if (module->result == BatchModule::Result::AlreadyProgrammed)
                    ++tally.alreadyProgrammed;
                else
                    ++(module->result == BatchModule::Result::Verified ? tally.programmed
                                                                       : tally.failed);
                held.push_back({std::move(module), 0});
            }
            if (!reported)
                break;
            unopened = batch.unopened;
            probeAgain = refused || !batch.silent.isEmpty();
            nextProbe = QDeadlineTimer(ProbeAgainMs);
        }
        QDeadlineTimer limit(QDeadlineTimer::Forever);
        if (checkAtOnce)
            limit = QDeadlineTimer(0);
        else if (!held.empty())
            limit = QDeadlineTimer(HeldCheckMs);
        if (probeAgain && nextProbe < limit)
            limit = nextProbe;
        const WaitEnd end = WaitToTryAgain(watcher, unopened, limit);
        if (end == WaitEnd::Interrupted)
            continue;
        const std::size_t before = held.size();
        checkAtOnce = ReleaseGone(settings, held);
        // A port that changed may bring a module; one let go frees its port.
        look = end == WaitEnd::TryAgain || held.size() != before;
    }
    return {};
}

} // namespace cli
