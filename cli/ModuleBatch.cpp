#include "ModuleBatch.h"

#include "CliSettings.h"
#include "ModuleCommands.h"
#include "Output.h"
#include "ParallelScan.h"
#include "PortDiagnosis.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

using namespace ModuleTiming;

namespace cli {

namespace {

// Modules plugged in together, by hand or on a hub, appear a moment apart:
// the kernel makes one adapter's device after another's.
constexpr qint64 SettleMs = 500;

} // namespace

BatchModule::BatchModule(int portIndex, const Settings& settings)
    : portIndex(portIndex), view(settings.generation, settings.channel.value_or(0)),
      session(com, view)
{
    ConfigureLikeTheWindow(com);
    com.SetOnReceive([this](std::int32_t count) { session.HandleReceived(count); });
    session.EndWaitOnReply = !settings.fixedWaits;
    session.PortIndex = portIndex;
}

int ExitStatusOf(BatchModule::Result result)
{
    switch (result) {
    case BatchModule::Result::Found:
    case BatchModule::Result::Verified:
        return Done;
    case BatchModule::Result::ReadBackDiffers:
        return ReadBackDiffers;
    case BatchModule::Result::NotWritten:
        return NotWritten;
    case BatchModule::Result::NotSent:
    case BatchModule::Result::NoReadBack:
    case BatchModule::Result::Gone:
        break;
    }
    return ModuleNotFound;
}

bool DeviceGone(int portIndex, const QString& opened)
{
    using State = PortDiagnosis::State;
    const State state = DiagnosePort(portIndex + 1).state;
    return state == State::NoDevice || state == State::DanglingLink ||
           PortDevice(portIndex + 1) != opened;
}

void ModuleBatch::Open(const QList<int>& portIndices)
{
    for (const int index : portIndices) {
        auto module = std::make_unique<BatchModule>(index, settings_);
        if (module->session.OpenPort(index)) {
            module->device = PortDevice(index + 1);
            modules.push_back(std::move(module));
        } else
            unopened.append(index);
    }
    QThread::msleep(PauseAfterOpenMs);
}

void ModuleBatch::ReadTogether(const std::vector<BatchModule*>& reading, const Settings& settings)
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

void ModuleBatch::Probe()
{
    std::vector<BatchModule*> all;
    for (const auto& module : modules)
        all.push_back(module.get());
    ReadTogether(all, settings_);
    std::vector<std::unique_ptr<BatchModule>> answered;
    for (auto& module : modules) {
        if (module->session.ReplyDecoded) {
            module->foundAddress = module->view.address;
            module->foundChannel = module->view.channel;
            answered.push_back(std::move(module));
        } else {
            silent.append(module->portIndex);
        }
    }
    modules = std::move(answered);
}

void ModuleBatch::WriteAll()
{
    std::vector<BatchModule*> written;
    for (const auto& module : modules) {
        // A read stops the address at its first zero byte, and a write
        // command would send zero bytes in place of what followed it.
        if (module->foundAddress.size() != 4) {
            module->result = BatchModule::Result::NotWritten;
            continue;
        }
        module->sent = module->session.SendWriteCommand();
        written.push_back(module.get());
    }
    if (written.empty())
        return;
    // The module's time to store the channel, once for all.
    QThread::msleep(WriteToReadBackPauseMs);
    QCoreApplication::processEvents();
    for (BatchModule* module : written)
        module->view.ShowRadioData(QString(), 0);
    ReadTogether(written, settings_);
    for (BatchModule* module : written) {
        if (module->session.ReplyDecoded) {
            module->result = ChannelValue(module->view.channel) == *settings_.channel
                                 ? BatchModule::Result::Verified
                                 : BatchModule::Result::ReadBackDiffers;
        } else if (!DeviceGone(module->portIndex, module->device)) {
            module->result = BatchModule::Result::NoReadBack;
        } else {
            module->result =
                module->sent ? BatchModule::Result::Gone : BatchModule::Result::NotSent;
        }
    }
}

void ModuleBatch::TakeLateModules(PortWatcher& watcher)
{
    for (;;) {
        const QDeadlineTimer settled(SettleMs);
        bool changed = false;
        while (!settled.hasExpired()) {
            const PortWatcher::Wake wake = watcher.Wait(settled);
            if (wake == PortWatcher::Wake::Interrupted)
                return;
            changed = changed || wake == PortWatcher::Wake::Changed;
        }
        if (!changed)
            return;
        QList<int> others;
        for (int index = FirstPortTried; index <= LastPortTried; ++index) {
            if (std::none_of(modules.begin(), modules.end(),
                             [index](const auto& module) { return module->portIndex == index; }))
                others.append(index);
        }
        ModuleBatch late(settings_);
        late.Open(others);
        late.Probe();
        unopened = late.unopened;
        silent = late.silent;
        if (late.modules.empty())
            return;
        for (auto& module : late.modules)
            modules.push_back(std::move(module));
        std::sort(modules.begin(), modules.end(),
                  [](const auto& a, const auto& b) { return a->portIndex < b->portIndex; });
    }
}

} // namespace cli
