#include "ModuleBatch.h"

#include "ParallelScan.h"
#include "PortDiagnosis.h"
#include "PortNumbers.h"
#include "RadioText.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

using namespace ModuleTiming;

namespace {

// Modules plugged in together, by hand or on a hub, appear a moment apart:
// the kernel makes one adapter's device after another's.
constexpr qint64 SettleMs = 500;

} // namespace

BatchModule::BatchModule(ComPort port, const LineSettings& settings)
    : ModulePort(port, settings.generation, settings.channel.value_or(0), settings.fixedWaits)
{}

bool DeviceGone(int portIndex, const QString& opened)
{
    const QString device = PortDevice(portIndex + 1);
    return device != opened || !DevicePresent(device);
}

QList<int> ModuleBatch::reachablePorts()
{
    QList<int> ports;
    for (int index = FirstPortTried; index < HighestOpenedPort; ++index)
        ports.append(index);
    return ports;
}

QList<int> ModuleBatch::allowedPorts(const LineSettings& settings)
{
    QList<int> ports = reachablePorts();
    ports.removeIf([&](int index) { return !settings.allows(index); });
    return ports;
}

QList<PortDiagnosis> ModuleBatch::portsOutOfReach()
{
    QList<PortDiagnosis> ports;
    for (const int number : ListedPortNumbers()) {
        if (number <= HighestOpenedPort)
            continue;
        if (PortDiagnosis port = DiagnoseListedPort(number);
            port.state != PortDiagnosis::State::NoDevice)
            ports.append(port);
    }
    return ports;
}

void ModuleBatch::open(const QList<int>& portIndices)
{
    for (const int index : portIndices) {
        auto module = std::make_unique<BatchModule>(ComPort::fromIndex(index), settings_);
        if (module->session.OpenPort(module->port)) {
            module->device = QString::fromStdString(module->com->LastOpening().device);
            modules.push_back(std::move(module));
        } else {
            unopened.append(NotOpenedSeen(module->com->LastOpening()));
        }
    }
    QThread::msleep(PauseAfterOpenMs);
}

void ModuleBatch::readTogether(const std::vector<BatchModule*>& reading,
                               const LineSettings& settings)
{
    for (BatchModule* module : reading)
        module->session.ReplyDecoded = false;
    const auto allDecoded = [&] {
        return std::all_of(reading.begin(), reading.end(),
                           [](const BatchModule* module) { return module->session.ReplyDecoded; });
    };
    for (int send = 0; send < ReadCommandSends && !allDecoded(); ++send) {
        for (BatchModule* module : reading) {
            if (!module->session.ReplyDecoded)
                module->session.SendReadCommand(settings.generation);
        }
        std::vector<TModuleSession*> sessions;
        for (BatchModule* module : reading)
            sessions.push_back(&module->session);
        AwaitReplies(sessions, !settings.fixedWaits, [&] {
            return std::all_of(sessions.begin(), sessions.end(),
                               [](const TModuleSession* session) { return session->ReplyEnded(); });
        });
    }
}

std::vector<BatchModule*>
ModuleBatch::readUntilSettled(const std::vector<BatchModule*>& modules,
                              const std::function<bool(const BatchModule&)>& settled) const
{
    std::vector<BatchModule*> stopped;
    std::vector<BatchModule*> reading;
    for (BatchModule* module : modules) {
        if (!settled(*module) && module->readings.wantsMore())
            reading.push_back(module);
    }
    while (!reading.empty()) {
        readTogether(reading, settings_);
        std::vector<BatchModule*> again;
        for (BatchModule* module : reading) {
            if (!module->session.ReplyDecoded) {
                stopped.push_back(module);
                continue;
            }
            module->readings.add(*module->session.LastReading);
            if (!settled(*module) && module->readings.wantsMore())
                again.push_back(module);
        }
        reading = std::move(again);
    }
    return stopped;
}

void ModuleBatch::probe()
{
    std::vector<BatchModule*> all;
    for (const auto& module : modules)
        all.push_back(module.get());
    readTogether(all, settings_);
    std::vector<std::unique_ptr<BatchModule>> answered;
    for (auto& module : modules) {
        if (module->session.ReplyDecoded) {
            module->foundAddress = module->view.address;
            module->foundChannel = module->view.channel;
            module->readings.add(*module->session.LastReading);
            progress_->found(*module);
            answered.push_back(std::move(module));
        } else {
            PortSeen seen = ProbedPortSeen(module->port.index(), module->view, false);
            seen.diagnosis.device = module->device;
            seen.opening = module->com->LastOpening();
            silent.append(seen);
        }
    }
    modules = std::move(answered);
    markSameAddresses({});
}

void ModuleBatch::markSameAddresses(const std::vector<BatchModule*>& beside)
{
    const auto note = [](BatchModule& module, int portIndex) {
        if (!module.sameAddressAt.contains(portIndex)) {
            module.sameAddressAt.append(portIndex);
            std::sort(module.sameAddressAt.begin(), module.sameAddressAt.end());
        }
    };
    for (const auto& module : modules)
        module->sameAddressAt.clear();
    for (const auto& module : modules) {
        for (const auto& other : modules) {
            if (other != module && other->foundAddress == module->foundAddress)
                note(*module, other->port.index());
        }
        for (BatchModule* other : beside) {
            if (other->foundAddress == module->foundAddress) {
                note(*module, other->port.index());
                note(*other, module->port.index());
            }
        }
    }
}

void ModuleBatch::confirmAddresses(std::vector<BatchModule*>& writable) const
{
    const std::vector<BatchModule*> stopped = readUntilSettled(
        writable, [](const BatchModule& module) { return module.readings.confirmed(); });
    std::erase_if(writable, [&](BatchModule* module) {
        if (std::find(stopped.begin(), stopped.end(), module) != stopped.end()) {
            module->result = BatchModule::Result::StoppedAnswering;
            progress_->finished(*module);
            return true;
        }
        if (!module->readings.confirmed()) {
            module->result = BatchModule::Result::Unconfirmed;
            progress_->finished(*module);
            return true;
        }
        module->foundAddress = module->readings.last().address;
        module->foundChannel = module->readings.last().channel;
        return false;
    });
}

void ModuleBatch::judgeReadBack(BatchModule& module) const
{
    using Result = BatchModule::Result;
    const ReadingConfirmation& readings = module.readings;
    if (readings.readings().isEmpty()) {
        if (!DeviceGone(module.port.index(), module.device))
            module.result = Result::NoReadBack;
        else
            module.result = module.sent ? Result::Gone : Result::NotSent;
    } else if (readings.last() == sentReading(module)) {
        module.result = Result::Verified;
    } else if (readings.confirmed()) {
        module.result = readings.last().address != module.foundAddress ? Result::AddressChanged
                                                                       : Result::ReadBackDiffers;
    } else {
        module.result = Result::ReadBackUnclear;
    }
}

RadioReading ModuleBatch::sentReading(const BatchModule& module) const
{
    return {module.foundAddress, static_cast<std::int8_t>(*settings_.channel)};
}

void ModuleBatch::writeAll(const std::vector<BatchModule*>& beside)
{
    std::vector<BatchModule*> written;
    for (const auto& module : modules)
        written.push_back(module.get());
    confirmAddresses(written);
    // Again with the confirmed addresses, and with the modules beside.
    markSameAddresses(beside);
    std::erase_if(written, [this](BatchModule* module) {
        if (module->sameAddressAt.isEmpty())
            return false;
        module->result = BatchModule::Result::SameAddress;
        progress_->finished(*module);
        return true;
    });
    // A read stops the address at its first zero byte, and a write command
    // would send zero bytes in place of what followed it.
    std::erase_if(written, [this](BatchModule* module) {
        if (module->foundAddress.size() == 4)
            return false;
        module->result = BatchModule::Result::NotWritten;
        progress_->finished(*module);
        return true;
    });
    std::erase_if(written, [this](BatchModule* module) {
        if (progress_->mayWrite(*module)) {
            module->sent =
                module->session.TransmitWriteCommand(module->foundAddress, *settings_.channel);
            return false;
        }
        progress_->finished(*module);
        return true;
    });
    if (written.empty())
        return;
    awaitStoring(written);
    QCoreApplication::processEvents();
    for (BatchModule* module : written) {
        module->view.ShowRadioData(QString(), 0);
        module->readings = {};
    }
    // One answer that the line spoilt must not call a good write failed: a
    // read-back that does not show what was sent is read again, until one
    // does or two consecutive ones agree.
    readUntilSettled(written, [this](const BatchModule& module) {
        return !module.readings.readings().isEmpty() &&
               (module.readings.last() == sentReading(module) || module.readings.confirmed());
    });
    for (BatchModule* module : written) {
        judgeReadBack(*module);
        progress_->finished(*module);
    }
}

void ModuleBatch::awaitStoring(const std::vector<BatchModule*>& written) const
{
    // Once for all; in steps, so that a table can count the time down.
    constexpr qint64 StepMs = 100;
    const QDeadlineTimer stored(WriteToReadBackPauseMs, Qt::PreciseTimer);
    for (qint64 left = stored.remainingTime(); left > 0; left = stored.remainingTime()) {
        progress_->storing(written, left);
        QThread::msleep(static_cast<unsigned long>(std::min(left, StepMs)));
    }
}

void ModuleBatch::takeLateModules(PortWatcher& watcher)
{
    for (;;) {
        const QDeadlineTimer settled(SettleMs);
        bool changed = false;
        while (!settled.hasExpired()) {
            const PortWatcher::Wake wake = watcher.wait(settled);
            if (wake == PortWatcher::Wake::Interrupted)
                return;
            changed = changed || wake == PortWatcher::Wake::Changed;
        }
        if (!changed)
            return;
        QList<int> others;
        for (const int index : allowedPorts(settings_)) {
            if (std::none_of(modules.begin(), modules.end(),
                             [index](const auto& module) { return module->port.index() == index; }))
                others.append(index);
        }
        ModuleBatch late(settings_, progress_);
        late.open(others);
        late.probe();
        unopened = late.unopened;
        silent = late.silent;
        if (late.modules.empty())
            return;
        for (auto& module : late.modules)
            modules.push_back(std::move(module));
        std::sort(modules.begin(), modules.end(),
                  [](const auto& a, const auto& b) { return a->port < b->port; });
        markSameAddresses({});
    }
}
