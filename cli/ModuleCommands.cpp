#include "ModuleCommands.h"

#include "CliSettings.h"
#include "LineMode.h"
#include "ModuleBatch.h"
#include "ModuleSession.h"
#include "ModuleView.h"
#include "NameTables.h"
#include "ParallelScan.h"
#include "PortDiagnosis.h"
#include "PortWait.h"
#include "PortWatcher.h"
#include "Terminal.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <memory>

namespace cli {

namespace {

void PrintLine(std::FILE* stream, const QString& line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
}

void PrintJsonDocument(const QJsonDocument& document)
{
    std::fputs(document.toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
}

void PrintJson(const QJsonObject& object)
{
    PrintJsonDocument(QJsonDocument(object));
}

QString PortName(int portIndex)
{
    return QStringLiteral("COM%1").arg(portIndex + 1);
}

QJsonObject PortJson(const PortDiagnosis& diagnosis)
{
    QJsonObject port{{QStringLiteral("port"), QStringLiteral("COM%1").arg(diagnosis.portNumber)},
                     {QStringLiteral("device"), diagnosis.device},
                     {QStringLiteral("state"), StateName(diagnosis.state)},
                     {QStringLiteral("description"), DescribePort(diagnosis)}};
    if (diagnosis.holderPid != 0) {
        port.insert(QStringLiteral("pid"), diagnosis.holderPid);
        port.insert(QStringLiteral("process"), diagnosis.holderName);
    }
    return port;
}

// Shows on stderr, while it lasts, which port a scan is trying; only on a
// terminal, so that scripts and logs get none of it.
class Progress
{
public:
    Progress() : shown_(StandardErrorIsTerminal()) {}
    ~Progress()
    {
        if (shown_)
            std::fputs("\r\033[K", stderr);
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void show(const QString& text) const
    {
        if (!shown_)
            return;
        std::fprintf(stderr, "\r\033[K%s", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }

private:
    const bool shown_;
};

// What the sequences report, kept for the command's output: the last radio
// data decoded and the last error. Status texts and log lines are the
// window's and are not printed.
class CommandView final : public TModuleView
{
public:
    CommandView(const Settings& settings, const Progress& progress)
        : settings_(settings), progress_(progress)
    {}

    void SetStatus(const QString&, const QString&, const QString&) override {}
    void AppendLog(const QString&) override {}
    void ShowRadioData(const QString& address, int channel) override
    {
        this->address = address;
        this->channel = channel;
    }
    void ShowError(const QString& message) override { error = message; }
    int Generation() const override { return settings_.generation; }
    QString Address() const override { return address; }
    int Channel() override { return settings_.channel.value_or(0); }
    void TryingPort(int portIndex) override
    {
        progress_.show(QStringLiteral("Trying %1 ...").arg(PortName(portIndex)));
    }
    void NothingFound(const QList<int>& unopenedPorts) override { unopened = unopenedPorts; }

    QString address;
    int channel = 0;
    QString error;
    QList<int> unopened;

private:
    const Settings& settings_;
    const Progress& progress_;
};

class Runner
{
public:
    explicit Runner(const Settings& settings)
        : settings_(settings), view_(settings, progress_), session_(com_, view_)
    {
        ConfigureLikeTheWindow(com_);
        com_.SetOnReceive([this](std::int32_t count) { session_.HandleReceived(count); });
        session_.EndWaitOnReply = !settings_.fixedWaits;
    }

    int run()
    {
        if (settings_.each)
            return line();
        if (settings_.wait) {
            // Made before the first try, so that no change after it is missed.
            watcher_ = std::make_unique<PortWatcher>();
            if (!watcher_->error().isEmpty())
                return failure(watcher_->error(), ModuleNotFound);
            if (settings_.waitLimitMs)
                waitLimit_ = QDeadlineTimer(*settings_.waitLimitMs);
        }
        if (settings_.all)
            return all();
        switch (settings_.command) {
        case Command::Ports:
            return ports();
        case Command::Detect:
            return detect();
        case Command::Read:
            return read();
        case Command::Write:
            return write();
        }
        return UsageFault;
    }

private:
    int ports()
    {
        QJsonArray list;
        for (const int number : ListedPortNumbers()) {
            const PortDiagnosis diagnosis = DiagnosePort(number);
            if (settings_.json)
                list.append(PortJson(diagnosis));
            else
                PrintLine(stdout, DescribePort(diagnosis));
        }
        if (settings_.json)
            PrintJson({{QStringLiteral("ports"), list}});
        return Done;
    }

    // Finds the module and leaves the session's port open on it.
    bool findModule()
    {
        if (!settings_.parallel) {
            const bool found = session_.DetectModule();
            progress_.show({});
            return found;
        }
        const ParallelScanResult scan = ScanPortsInParallel(
            [this](int round) {
                progress_.show(
                    QStringLiteral("Probing COM1 to COM21 together, round %1 of 3 ...").arg(round));
            },
            !settings_.fixedWaits);
        progress_.show({});
        if (!scan.portIndex) {
            view_.unopened = scan.unopened;
            return false;
        }
        view_.address = scan.address;
        view_.channel = scan.channel;
        session_.PortIndex = *scan.portIndex;
        if (!session_.OpenPort(*scan.portIndex))
            return false;
        QThread::msleep(ModuleTiming::PauseAfterOpenMs);
        return true;
    }

    int notFound()
    {
        const QStringList diagnosis = UnopenedPortsDiagnosis(view_.unopened);
        if (settings_.json) {
            PrintJson({{QStringLiteral("found"), false},
                       {QStringLiteral("diagnosis"), QJsonArray::fromStringList(diagnosis)}});
        }
        PrintLine(stderr, QStringLiteral("melvix-module: no module found on COM1 to COM21"));
        for (const QString& line : diagnosis)
            PrintLine(stderr, line);
        return ModuleNotFound;
    }

    int failure(const QString& message, int status)
    {
        if (settings_.json) {
            PrintJson({{QStringLiteral("error"), message}, {QStringLiteral("exit"), status}});
        }
        PrintLine(stderr, QStringLiteral("melvix-module: ") + message);
        return status;
    }

    void printModule(QJsonObject extra = {})
    {
        const QString port = PortName(session_.PortIndex);
        if (settings_.json) {
            extra.insert(QStringLiteral("found"), true);
            extra.insert(QStringLiteral("port"), port);
            extra.insert(QStringLiteral("channel"), view_.channel);
            extra.insert(QStringLiteral("address"), view_.address);
            PrintJson(extra);
        } else {
            PrintLine(stdout, QStringLiteral("%1: channel %2, address %3")
                                  .arg(port)
                                  .arg(view_.channel)
                                  .arg(view_.address));
        }
    }

    // With --wait: whether to try again after a try found nothing.
    bool waitForAnotherTry(const QList<int>& unopened)
    {
        if (!watcher_)
            return false;
        progress_.show(QStringLiteral("Waiting for a module ..."));
        const WaitEnd end = WaitToTryAgain(*watcher_, unopened, waitLimit_);
        progress_.show({});
        return end == WaitEnd::TryAgain;
    }

    int detect()
    {
        while (!findModule()) {
            if (!waitForAnotherTry(view_.unopened))
                return notFound();
        }
        printModule();
        return Done;
    }

    enum class Attempt
    {
        Read,
        PortUnopened,
        NotFound,
        NoAnswer
    };

    // Opens the port given, or finds the module; then reads it.
    Attempt tryOpenAndRead()
    {
        if (settings_.portIndex) {
            const int index = *settings_.portIndex;
            if (!session_.OpenPort(index))
                return Attempt::PortUnopened;
            QThread::msleep(ModuleTiming::PauseAfterOpenMs);
            session_.PortIndex = index;
        } else if (!findModule()) {
            return Attempt::NotFound;
        }
        session_.ReadRadioData();
        return session_.ReplyDecoded ? Attempt::Read : Attempt::NoAnswer;
    }

    int openAndRead()
    {
        for (;;) {
            const Attempt attempt = tryOpenAndRead();
            if (attempt == Attempt::Read)
                return Done;
            const QList<int> unopened = attempt == Attempt::PortUnopened
                                            ? QList<int>{*settings_.portIndex}
                                        : attempt == Attempt::NotFound ? view_.unopened
                                                                       : QList<int>{};
            com_.SetComStatus(false);
            if (waitForAnotherTry(unopened))
                continue;
            switch (attempt) {
            case Attempt::PortUnopened:
                return failure(DescribePort(DiagnosePort(*settings_.portIndex + 1)),
                               ModuleNotFound);
            case Attempt::NotFound:
                return notFound();
            case Attempt::NoAnswer:
            case Attempt::Read:
                break;
            }
            return failure(QStringLiteral("the module on %1 does not answer")
                               .arg(PortName(session_.PortIndex)),
                           ModuleNotFound);
        }
    }

    int read()
    {
        if (const int status = openAndRead(); status != Done)
            return status;
        printModule();
        return Done;
    }

    int write()
    {
        if (const int status = openAndRead(); status != Done)
            return status;
        session_.WriteAndReadBack();
        if (!view_.error.isEmpty()) {
            return failure(QStringLiteral("the module's address '%1' cannot be written back: %2")
                               .arg(view_.address, view_.error),
                           ModuleNotFound);
        }
        const int wanted = *settings_.channel;
        if (!session_.ReplyDecoded) {
            return failure(QStringLiteral("the module on %1 does not answer the read-back")
                               .arg(PortName(session_.PortIndex)),
                           ModuleNotFound);
        }
        if (view_.channel != wanted) {
            return failure(QStringLiteral("the read-back shows channel %1, not %2")
                               .arg(view_.channel)
                               .arg(wanted),
                           ReadBackDiffers);
        }
        printModule({{QStringLiteral("written"), true}});
        return Done;
    }

    QString ResultText(const BatchModule& module) const
    {
        switch (module.result) {
        case BatchModule::Result::Found:
        case BatchModule::Result::Verified:
            break;
        case BatchModule::Result::ReadBackDiffers:
            return QStringLiteral("the read-back shows channel %1, not %2")
                .arg(module.view.channel)
                .arg(*settings_.channel);
        case BatchModule::Result::NotWritten:
            return QStringLiteral("the module's address '%1' cannot be written back: %2")
                .arg(module.foundAddress, module.view.error);
        case BatchModule::Result::NoReadBack:
            return QStringLiteral("does not answer the read-back");
        case BatchModule::Result::Gone:
            return QStringLiteral("the device went away after the write command was sent");
        }
        return {};
    }

    // One module of --all: its line, or its object of the JSON array.
    void printBatchModule(const BatchModule& module, QJsonArray& list) const
    {
        const QString port = PortName(module.portIndex);
        const int status = ExitStatusOf(module.result);
        const bool wrote = module.result != BatchModule::Result::Found &&
                           module.result != BatchModule::Result::NotWritten;
        const int channel =
            wrote && module.session.ReplyDecoded ? module.view.channel : module.foundChannel;
        const QString why = ResultText(module);
        if (settings_.json) {
            QJsonObject object{{QStringLiteral("found"), true},
                               {QStringLiteral("exit"), status},
                               {QStringLiteral("port"), port},
                               {QStringLiteral("channel"), channel},
                               {QStringLiteral("address"), module.foundAddress}};
            if (module.result != BatchModule::Result::Found)
                object.insert(QStringLiteral("written"), wrote);
            if (!why.isEmpty())
                object.insert(QStringLiteral("error"), why);
            list.append(object);
            return;
        }
        PrintLine(stdout,
                  why.isEmpty()
                      ? QStringLiteral("%1: channel %2, address %3")
                            .arg(port)
                            .arg(channel)
                            .arg(module.foundAddress)
                      : QStringLiteral("%1: address %2, %3").arg(port, module.foundAddress, why));
    }

    // detect, read and write --all.
    int all()
    {
        std::unique_ptr<ModuleBatch> batch;
        for (;;) {
            batch = std::make_unique<ModuleBatch>(settings_);
            QList<int> ports;
            for (int index = ModuleTiming::FirstPortTried; index <= ModuleTiming::LastPortTried;
                 ++index)
                ports.append(index);
            progress_.show(QStringLiteral("Probing COM1 to COM21 together ..."));
            batch->Open(ports);
            batch->Probe();
            progress_.show({});
            if (!batch->modules.empty())
                break;
            if (!waitForAnotherTry(batch->unopened)) {
                view_.unopened = batch->unopened;
                if (settings_.json)
                    PrintJsonDocument(QJsonDocument(QJsonArray{}));
                return notFound();
            }
        }
        if (settings_.command == Command::Write)
            batch->WriteAll();
        QJsonArray list;
        int status = Done;
        int failed = 0;
        for (const auto& module : batch->modules) {
            printBatchModule(*module, list);
            const int own = ExitStatusOf(module->result);
            failed += own != Done;
            // A module that stopped answering outweighs a read-back that differs.
            if (own == ModuleNotFound || status == Done)
                status = own == Done ? status : own;
        }
        if (settings_.json)
            PrintJsonDocument(QJsonDocument(list));
        const int found = static_cast<int>(batch->modules.size());
        QString summary = settings_.command == Command::Write
                              ? QStringLiteral("%1 of %2 modules written and verified")
                                    .arg(found - failed)
                                    .arg(found)
                              : QStringLiteral("%1 modules found").arg(found);
        if (!batch->silent.isEmpty()) {
            QStringList names;
            for (const int index : batch->silent)
                names.append(PortName(index));
            summary += QStringLiteral("; no answer on %1").arg(names.join(QStringLiteral(", ")));
        }
        PrintLine(stderr, QStringLiteral("melvix-module: ") + summary);
        return status;
    }

    // write --each.
    int line()
    {
        LineTally tally;
        const QString error = RunLine(
            settings_,
            [this](int number, const BatchModule& module) {
                // With the local offset, so that logs of different places agree.
                const QDateTime now = QDateTime::currentDateTime();
                const QString time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
                const QString port = PortName(module.portIndex);
                const bool verified = module.result == BatchModule::Result::Verified;
                const QString result =
                    verified ? QStringLiteral("written and verified") : ResultText(module);
                const int channel =
                    module.session.ReplyDecoded ? module.view.channel : *settings_.channel;
                if (settings_.json) {
                    QJsonObject object{{QStringLiteral("number"), number},
                                       {QStringLiteral("time"), time},
                                       {QStringLiteral("found"), true},
                                       {QStringLiteral("exit"), ExitStatusOf(module.result)},
                                       {QStringLiteral("port"), port},
                                       {QStringLiteral("address"), module.foundAddress},
                                       {QStringLiteral("oldChannel"), module.foundChannel},
                                       {QStringLiteral("channel"), channel},
                                       {QStringLiteral("written"), verified}};
                    if (!verified)
                        object.insert(QStringLiteral("error"), result);
                    PrintJson(object);
                } else {
                    PrintLine(stdout, QStringLiteral("%1 %2 %3 %4 channel %5 -> %6: %7")
                                          .arg(number)
                                          .arg(time, port, module.foundAddress)
                                          .arg(module.foundChannel)
                                          .arg(channel)
                                          .arg(result));
                }
                std::fflush(stdout);
            },
            tally);
        if (!error.isEmpty())
            return failure(error, ModuleNotFound);
        PrintLine(stderr, QStringLiteral("melvix-module: %1 programmed, %2 failed")
                              .arg(tally.programmed)
                              .arg(tally.failed));
        return tally.failed == 0 ? Done : ModuleNotFound;
    }

    const Settings& settings_;
    std::unique_ptr<PortWatcher> watcher_;
    QDeadlineTimer waitLimit_{QDeadlineTimer::Forever};
    Progress progress_;
    CommandView view_;
    TRadioCom com_;
    TModuleSession session_;
};

} // namespace

int runCommand(const Settings& settings)
{
    return Runner(settings).run();
}

} // namespace cli
