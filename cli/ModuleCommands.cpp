#include "ModuleCommands.h"

#include "CliSettings.h"
#include "ModuleSession.h"
#include "ModuleView.h"
#include "NameTables.h"
#include "ParallelScan.h"
#include "PortDiagnosis.h"
#include "Terminal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>

namespace cli {

namespace {

void PrintLine(std::FILE* stream, const QString& line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
}

void PrintJson(const QJsonObject& object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
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
        port.insert(QStringLiteral("holds"),
                    diagnosis.holderHasLock ? QStringLiteral("lock") : QStringLiteral("open"));
    }
    if (diagnosis.state == PortDiagnosis::State::PermissionDenied) {
        port.insert(QStringLiteral("owner"), diagnosis.owner);
        port.insert(QStringLiteral("group"), diagnosis.group);
        port.insert(QStringLiteral("mode"),
                    QStringLiteral("%1").arg(diagnosis.permissions, 4, 8, QLatin1Char('0')));
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
    }

    int run()
    {
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
        const ParallelScanResult scan = ScanPortsInParallel([this](int round) {
            progress_.show(
                QStringLiteral("Probing COM1 to COM21 together, round %1 of 3 ...").arg(round));
        });
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

    int detect()
    {
        if (!findModule())
            return notFound();
        printModule();
        return Done;
    }

    // Opens the port given, or finds the module; then reads it.
    int openAndRead()
    {
        if (settings_.portIndex) {
            const int index = *settings_.portIndex;
            if (!session_.OpenPort(index)) {
                return failure(DescribePort(DiagnosePort(index + 1)), ModuleNotFound);
            }
            QThread::msleep(ModuleTiming::PauseAfterOpenMs);
            session_.PortIndex = index;
        } else if (!findModule()) {
            return notFound();
        }
        session_.ReadRadioData();
        if (!session_.ReplyDecoded) {
            return failure(QStringLiteral("the module on %1 does not answer")
                               .arg(PortName(session_.PortIndex)),
                           ModuleNotFound);
        }
        return Done;
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

    const Settings& settings_;
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
