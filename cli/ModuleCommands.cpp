#include "ModuleCommands.h"

#include "CliSettings.h"
#include "DeferredSignals.h"
#include "ModuleSession.h"
#include "ModuleView.h"
#include "Output.h"
#include "ParallelScan.h"
#include "PortDiagnosis.h"
#include "PortNumbers.h"
#include "PortSeen.h"
#include "Terminal.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <memory>

namespace cli {

namespace {

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

// Whether the device `opened` behind the port is gone, as when an adapter is
// pulled out: the port map no longer leads to a device, or, on the default
// map, to another adapter that took the pulled one's number.
bool DeviceGone(int portIndex, const QString& opened)
{
    using State = PortDiagnosis::State;
    const State state = DiagnosePort(portIndex + 1).state;
    return state == State::NoDevice || state == State::DanglingLink ||
           PortDevice(portIndex + 1) != opened;
}

// The port's object as `ports --json` prints it, its description the
// report's line, with "scan" naming what the scan saw and, where the port
// answered, the radio data.
QJsonObject SeenJson(const PortSeen& seen)
{
    QJsonObject port = PortJson(seen.diagnosis);
    port.insert(QStringLiteral("description"), DescribeSeen(seen));
    port.insert(QStringLiteral("scan"), OutcomeName(seen.outcome));
    if (HasRadioData(seen))
        InsertRadioData(port, seen.address, seen.channelValue);
    return port;
}

// What the sequences report, kept for the command's output: the last radio
// data decoded, the last reply refused, the last error, and during a scan
// what each port did. Status texts and log lines are the window's and are
// not printed.
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
        if (scanning && !address.isEmpty() && !seen.isEmpty())
            seen.last().raise(PortSeen::Outcome::Answered);
    }
    void ShowError(const QString& message) override { error = message; }
    int Generation() const override { return settings_.generation; }
    QString Address() const override { return address; }
    int Channel() override { return settings_.channel.value_or(0); }
    void TryingPort(int portIndex) override
    {
        progress_.show(QStringLiteral("Trying %1 ...").arg(PortName(portIndex)));
        if (!scanning)
            return;
        PortSeen port{portIndex + 1, PortSeen::Outcome::NoAnswer, {}, {}, 0};
        port.diagnosis.portNumber = port.portNumber;
        seen.append(port);
    }
    void PortNotOpened(int portIndex) override
    {
        if (!scanning || seen.isEmpty())
            return;
        seen.last().outcome = PortSeen::Outcome::NotOpened;
        seen.last().diagnosis = DiagnosePort(portIndex + 1);
    }
    void ReplyRefused(const QString& address, int channel) override
    {
        refusedAddress = address;
        refusedChannel = channel;
        refused = true;
        if (!scanning || seen.isEmpty() || seen.last().outcome >= PortSeen::Outcome::AddressRefused)
            return;
        seen.last().outcome = PortSeen::Outcome::AddressRefused;
        seen.last().address = address;
        seen.last().channelValue = ChannelValue(channel);
    }
    // Bytes arrived, whatever became of them.
    void bytesArrived()
    {
        answered = true;
        if (scanning && !seen.isEmpty())
            seen.last().raise(PortSeen::Outcome::UnreadableAnswer);
    }
    void forgetReplies()
    {
        answered = false;
        refused = false;
    }

    QString address;
    int channel = 0;
    QString error;
    bool answered = false;
    bool refused = false;
    QString refusedAddress;
    int refusedChannel = 0;
    // Set while a sequential scan runs.
    bool scanning = false;
    QList<PortSeen> seen;

private:
    const Settings& settings_;
    const Progress& progress_;
};

class Runner
{
public:
    explicit Runner(const Settings& settings) : settings_(settings), view_(settings, progress_)
    {
        adopt(std::make_unique<TRadioCom>());
        ConfigureLikeTheWindow(*com_);
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
    // Runs the session over `com` from now on.
    void adopt(std::unique_ptr<TRadioCom> com)
    {
        session_.reset();
        com_ = std::move(com);
        session_ = std::make_unique<TModuleSession>(*com_, view_);
        com_->SetOnReceive([this](std::int32_t count) {
            if (count > 0)
                view_.bytesArrived();
            session_->HandleReceived(count);
        });
    }

    // The result object of a command: `object` with what every one carries.
    void emitJson(QJsonObject object, bool found, int status, const QString& error = {}) const
    {
        object.insert(QStringLiteral("found"), found);
        object.insert(QStringLiteral("exit"), status);
        if (!error.isEmpty())
            object.insert(QStringLiteral("error"), error);
        if (settings_.command != Command::Ports) {
            QJsonArray skipped;
            for (const PortSeen& port : skippedPorts())
                skipped.append(SeenJson(port));
            object.insert(QStringLiteral("skipped"), skipped);
        }
        if (settings_.command == Command::Write)
            object.insert(QStringLiteral("written"), written_);
        PrintJson(object);
    }

    // The ports a scan passed over because they were busy or refused: below
    // the module's port when one was found, all of them otherwise.
    QList<PortSeen> skippedPorts() const
    {
        QList<PortSeen> skipped;
        for (const PortSeen& port : view_.seen) {
            if (SkippedAsBusyOrRefused(port) &&
                (!found_ || port.portNumber < session_->PortIndex + 1))
                skipped.append(port);
        }
        return skipped;
    }

    int ports()
    {
        QJsonArray list;
        for (const int number : ListedPortNumbers()) {
            const PortDiagnosis diagnosis = DiagnoseListedPort(number);
            if (settings_.json)
                list.append(PortJson(diagnosis));
            else
                PrintLine(stdout, DescribePort(diagnosis));
        }
        if (settings_.json)
            emitJson({{QStringLiteral("ports"), list}}, false, Done);
        return Done;
    }

    // Finds the module and leaves the session's port open on it, with the
    // module's answer in the view.
    bool findModule()
    {
        if (!settings_.parallel) {
            view_.scanning = true;
            found_ = session_->DetectModule();
            view_.scanning = false;
            progress_.show({});
        } else {
            ParallelScanResult scan = ScanPortsInParallel([this](int round) {
                progress_.show(QStringLiteral("Probing COM1 to COM%1 together, round %2 of 3 ...")
                                   .arg(HighestDetectedPort)
                                   .arg(round));
            });
            progress_.show({});
            view_.seen = scan.seen;
            found_ = scan.portIndex.has_value();
            if (found_) {
                view_.address = scan.address;
                view_.channel = scan.channel;
                adopt(std::move(scan.port));
                session_->PortIndex = *scan.portIndex;
            }
        }
        if (found_) {
            for (const PortSeen& port : skippedPorts())
                PrintLine(stderr,
                          QStringLiteral("melvix-module: note: skipped ") + DescribeSeen(port));
        }
        return found_;
    }

    int notFound()
    {
        // The sequential scan leaves its last port open.
        com_->SetComStatus(false);
        AskInV4(view_.seen);
        CompleteReport(view_.seen);
        const QString message =
            QStringLiteral("no module found on COM1 to COM%1").arg(HighestDetectedPort);
        if (settings_.json) {
            QJsonArray diagnosis;
            for (const PortSeen& port : view_.seen)
                diagnosis.append(SeenJson(port));
            emitJson({{QStringLiteral("diagnosis"), diagnosis}}, false, ModuleNotFound, message);
        }
        PrintLine(stderr, QStringLiteral("melvix-module: ") + message);
        for (const QString& line : ReportLines(view_.seen))
            PrintLine(stderr, line);
        return ModuleNotFound;
    }

    int failure(const QString& message, int status, QJsonObject extra = {})
    {
        if (settings_.json) {
            extra.insert(QStringLiteral("port"), PortName(session_->PortIndex));
            emitJson(extra, found_, status, message);
        }
        PrintLine(stderr, QStringLiteral("melvix-module: ") + message);
        return status;
    }

    QJsonObject moduleJson() const
    {
        QJsonObject object{{QStringLiteral("port"), PortName(session_->PortIndex)}};
        InsertRadioData(object, view_.address, ChannelValue(view_.channel));
        return object;
    }

    void printModule() const
    {
        if (settings_.json) {
            emitJson(moduleJson(), true, Done);
        } else {
            PrintLine(stdout, QStringLiteral("%1: %2").arg(
                                  PortName(session_->PortIndex),
                                  RadioDataText(view_.address, ChannelValue(view_.channel))));
        }
    }

    int detect()
    {
        if (!findModule())
            return notFound();
        printModule();
        return Done;
    }

    // Why the module on the session's port gave no usable answer to a read.
    QString unanswered(const QString& what) const
    {
        const QString port = PortName(session_->PortIndex);
        if (view_.refused) {
            return QStringLiteral("the module on %1 answered %2 with %3, which is not valid: an "
                                  "address starts with W")
                .arg(port, what,
                     RadioDataText(view_.refusedAddress, ChannelValue(view_.refusedChannel)));
        }
        if (DeviceGone(session_->PortIndex, openedDevice_))
            return QStringLiteral("the device behind %1 went away").arg(port);
        if (view_.answered) {
            return QStringLiteral("the module on %1 answered %2 with bytes that match no reply "
                                  "layout")
                .arg(port, what);
        }
        return QStringLiteral("the module on %1 does not answer %2").arg(port, what);
    }

    // Opens the port given, or finds the module; then reads it. A detection
    // has read the module already: its answer is the read.
    int openAndRead()
    {
        if (settings_.portIndex) {
            const int index = *settings_.portIndex;
            session_->PortIndex = index;
            if (!session_->OpenPort(index)) {
                const PortSeen port{
                    index + 1, PortSeen::Outcome::NotOpened, DiagnosePort(index + 1), {}, 0};
                return failure(DescribeSeen(port), ModuleNotFound,
                               {{QStringLiteral("diagnosis"), QJsonArray{SeenJson(port)}}});
            }
            QThread::msleep(ModuleTiming::PauseAfterOpenMs);
        } else if (!findModule()) {
            return notFound();
        }
        openedDevice_ = PortDevice(session_->PortIndex + 1);
        if (!settings_.portIndex && settings_.generation != ModuleProtocol::V4)
            return Done;
        view_.forgetReplies();
        session_->ReadRadioData();
        found_ = session_->ReplyDecoded;
        if (!found_)
            return failure(unanswered(QStringLiteral("the read command")), ModuleNotFound);
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
        const int wanted = *settings_.channel;
        // A read stops the address at its first zero byte, and a write
        // command would send zero bytes in place of what followed it.
        if (view_.address.size() != 4) {
            return failure(QStringLiteral("the module's address holds a zero byte after '%1', "
                                          "and a write command must carry all four address "
                                          "bytes back unchanged: nothing was written")
                               .arg(Printable(view_.address)),
                           NotWritten, moduleJson());
        }
        const DeferredSignals deferred;
        if (deferred.received() != 0)
            deferred.endProcessAsReceived();
        view_.forgetReplies();
        written_ = session_->WriteAndReadBack();
        const int status = readBackStatus(wanted);
        if (deferred.received() != 0) {
            StandardOutputWritten();
            deferred.endProcessAsReceived();
        }
        return status;
    }

    // Reports the write's read-back.
    int readBackStatus(int wanted)
    {
        const QString port = PortName(session_->PortIndex);
        if (!view_.error.isEmpty())
            return failure(QStringLiteral("nothing was written: ") + view_.error, NotWritten);
        if (!session_->ReplyDecoded) {
            if (!DeviceGone(session_->PortIndex, openedDevice_)) {
                return failure(unanswered(QStringLiteral("the read-back")) +
                                   (written_ ? QString()
                                             : QStringLiteral(", and the write command could "
                                                              "not be sent")),
                               ModuleNotFound);
            }
            return failure(written_
                               ? QStringLiteral("the device behind %1 went away after the write "
                                                "command was sent: the module may hold channel %2 "
                                                "now; read it once it is back")
                                     .arg(port)
                                     .arg(wanted)
                               : QStringLiteral("the device behind %1 went away before the write "
                                                "command was sent: nothing was written")
                                     .arg(port),
                           ModuleNotFound);
        }
        const int channel = ChannelValue(view_.channel);
        if (channel != wanted) {
            return failure(
                QStringLiteral("the read-back shows channel %1, not %2").arg(channel).arg(wanted),
                ReadBackDiffers, moduleJson());
        }
        printModule();
        return Done;
    }

    const Settings& settings_;
    Progress progress_;
    CommandView view_;
    // The session goes after the component, whose OnReceive calls it.
    std::unique_ptr<TModuleSession> session_;
    std::unique_ptr<TRadioCom> com_;
    bool found_ = false;
    bool written_ = false;
    // The device the port led to when it was opened.
    QString openedDevice_;
};

} // namespace

int runCommand(const Settings& settings)
{
    return Runner(settings).run();
}

} // namespace cli
