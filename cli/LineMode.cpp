#include "LineMode.h"

#include "ModuleSession.h"
#include "PortDiagnosis.h"
#include "PortWait.h"
#include "PortWatcher.h"
#include "StopSignals.h"

#include <algorithm>

namespace cli {

namespace {

// How often a module that stays plugged in is asked whether it is still
// there: often enough for an operator, rare enough to cost nothing.
constexpr qint64 HeldCheckMs = 1000;

// The ports to look at, less those that lead to a held module's device:
// under the default map a COM number follows the adapters present.
QList<int> PortsToScan(const Settings& settings,
                       const std::vector<std::unique_ptr<BatchModule>>& held)
{
    QList<int> ports;
    for (int index = ModuleTiming::FirstPortTried; index <= ModuleTiming::LastPortTried; ++index) {
        if (settings.portIndex && index != *settings.portIndex)
            continue;
        const QString device = PortDevice(index + 1);
        if (device.isEmpty() || std::none_of(held.begin(), held.end(), [&](const auto& module) {
                return module->device == device;
            }))
            ports.append(index);
    }
    return ports;
}

// Lets go of the modules that have gone: no answer, or another module's
// answer on the same port.
void ReleaseGone(const Settings& settings, std::vector<std::unique_ptr<BatchModule>>& held)
{
    if (held.empty())
        return;
    std::vector<BatchModule*> asked;
    for (const auto& module : held)
        asked.push_back(module.get());
    ModuleBatch::ReadTogether(asked, settings);
    std::erase_if(held, [](const auto& module) {
        return !module->session.ReplyDecoded || module->view.address != module->foundAddress;
    });
}

} // namespace

QString RunLine(const Settings& settings,
                const std::function<bool(int number, const BatchModule& module)>& report,
                LineTally& tally)
{
    CatchStopSignals();
    PortWatcher watcher;
    if (!watcher.error().isEmpty())
        return watcher.error();
    std::vector<std::unique_ptr<BatchModule>> held;
    int number = 0;
    bool look = true;
    bool reported = true;
    while (reported && StopSignalCaught() == 0) {
        QList<int> unopened;
        if (look) {
            ModuleBatch batch(settings);
            batch.Open(PortsToScan(settings, held));
            batch.Probe();
            batch.WriteAll();
            for (auto& module : batch.modules) {
                reported = report(++number, *module) && reported;
                ++(module->result == BatchModule::Result::Verified ? tally.programmed
                                                                   : tally.failed);
                held.push_back(std::move(module));
            }
            if (!reported)
                break;
            unopened = batch.unopened;
        }
        const QDeadlineTimer limit =
            held.empty() ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(HeldCheckMs);
        const WaitEnd end = WaitToTryAgain(watcher, unopened, limit);
        if (end == WaitEnd::Interrupted)
            continue;
        const std::size_t before = held.size();
        ReleaseGone(settings, held);
        // A port that changed may bring a module; one let go frees its port.
        look = end == WaitEnd::TryAgain || held.size() != before;
    }
    return {};
}

} // namespace cli
