#include "ModuleCommands.h"

#include "BatchReport.h"
#include "CommandView.h"
#include "DeferredSignals.h"
#include "LineMode.h"
#include "LiveTable.h"
#include "ModuleBatch.h"
#include "ModuleSession.h"
#include "ModuleView.h"
#include "Output.h"
#include "ParallelScan.h"
#include "PortDiagnosis.h"
#include "PortMapCommand.h"
#include "PortNumbers.h"
#include "PortReport.h"
#include "PortSeen.h"
#include "PortWait.h"
#include "PortWatcher.h"
#include "ProductionLog.h"
#include "ProductionRecording.h"
#include "ProgressFanOut.h"
#include "RadioText.h"
#include "SerialSettings.h"
#include "Terminal.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <memory>

namespace cli {

namespace {

class Runner
{
public:
    explicit Runner(const Settings& settings) : settings_(settings), view_(settings, progress_)
    {
        adopt(std::make_unique<TRadioCom>());
        ApplySerialSettings(*com_);
    }

    int run()
    {
        clock_.start();
        if (settings_.logPath) {
            Result<ProductionLog> opened = ProductionLog::open(
                QFile::decodeName(QByteArray::fromStdString(*settings_.logPath)),
                QStringLiteral(MELVIX_VERSION),
                // Only a write asks whether a module was programmed already.
                settings_.command == Command::Write && !settings_.again);
            if (!opened) {
                PrintLine(stderr, QStringLiteral("melvix-module: ") + opened.failure().text +
                                      QStringLiteral(": the production record cannot be kept"));
                return OutputFault;
            }
            log_.emplace(std::move(opened.value()));
            recording_ = std::make_unique<ProductionRecording>(*log_, settings_);
        }
        const int status = runCommand();
        // A record that could not be written stopped the line.
        return recording_ && recording_->failed() ? OutputFault : status;
    }

private:
    int runCommand()
    {
        if (settings_.each)
            return line();
        if (settings_.wait) {
            // Made before the first try, so that no change after it is missed.
            watcher_ = std::make_unique<PortWatcher>();
            if (watcher_->failure())
                return failure(*watcher_->failure(), ModuleNotFound);
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
        case Command::Map:
            return runPortMap(settings_);
        }
        return UsageFault;
    }

    // Runs the session over `com` from now on.
    void adopt(std::unique_ptr<TRadioCom> com)
    {
        session_.reset();
        com_ = std::move(com);
        session_ = std::make_unique<TModuleSession>(*com_, view_);
        session_->CollectReplies = true;
        session_->FullReplyWaits = settings_.fixedWaits;
        if (settings_.onlyPorts)
            session_->ScannedPorts = *settings_.onlyPorts;
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
        QList<int> numbers;
        if (settings_.onlyPorts) {
            for (const int index : *settings_.onlyPorts)
                numbers.append(index + 1);
        } else {
            numbers = ListedPortNumbers();
        }
        for (const int number : numbers) {
            const PortDiagnosis diagnosis = DiagnoseListedPort(number);
            if (settings_.json) {
                list.append(PortJson(diagnosis));
                continue;
            }
            PrintLine(stdout, DescribePort(diagnosis));
            for (const QString& line : DescribeIdentity(diagnosis.identity))
                PrintLine(stdout, line);
        }
        QJsonArray misnamed;
        for (const MisnamedEntry& entry : MisnamedMapEntries()) {
            if (settings_.json)
                misnamed.append(MisnamedJson(entry));
            else
                PrintLine(stdout, DescribeMisnamed(entry));
        }
        if (settings_.json) {
            emitJson({{QStringLiteral("ports"), list}, {QStringLiteral("misnamed"), misnamed}},
                     false, Done);
        }
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
            ParallelScanResult scan = ScanPortsInParallel(
                [this](int round) {
                    progress_.show(QStringLiteral("Probing %1 together, round %2 of 3 ...")
                                       .arg(portsText(HighestDetectedPort))
                                       .arg(round));
                },
                !settings_.fixedWaits, session_->ScannedPorts);
            progress_.show({});
            view_.seen = scan.seen;
            found_ = scan.portIndex.has_value();
            if (found_) {
                view_.address = scan.address;
                view_.channel = scan.channel;
                adopt(std::move(scan.port));
                session_->PortIndex = *scan.portIndex;
                // The scan's answer counts as the first reading of the module.
                session_->LastReading = RadioReading{scan.address, scan.channel};
            }
        }
        if (found_) {
            for (const PortSeen& port : skippedPorts())
                PrintLine(stderr,
                          QStringLiteral("melvix-module: note: skipped ") + DescribeSeen(port));
        }
        return found_;
    }

    // The ports a scan tries, for the user: those of --ports, or COM1 to
    // the highest a scan reaches.
    QString portsText(int highestPort) const
    {
        if (settings_.onlyPorts)
            return portListText(*settings_.onlyPorts);
        return QStringLiteral("COM1 to COM%1").arg(highestPort);
    }

    int notFound()
    {
        // The sequential scan leaves its last port open.
        com_->SetComStatus(false);
        AskInV4(view_.seen, !settings_.fixedWaits);
        CompleteReport(view_.seen, !settings_.onlyPorts);
        const QString message = QStringLiteral("no module found on ") +
                                portsText(settings_.all ? HighestOpenedPort : HighestDetectedPort);
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

    // Reports what failed and returns the exit status it calls for.
    int failure(const Failure& failed, int status, QJsonObject extra = {})
    {
        lastError_ = failed.text;
        if (settings_.json) {
            extra.insert(QStringLiteral("port"), PortName(session_->PortIndex));
            emitJson(extra, found_, status, failed.text);
        }
        PrintLine(stderr, QStringLiteral("melvix-module: ") + failed.text);
        return status;
    }

    // A failure of the module on the session's port, which no system call
    // reports.
    int failure(const QString& text, int status, QJsonObject extra = {})
    {
        return failure(Failure{PortName(session_->PortIndex), 0, text}, status, std::move(extra));
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

    // The ports that a scan found nothing at could not be opened.
    QList<PortSeen> unopenedPorts() const
    {
        QList<PortSeen> unopened;
        for (const PortSeen& port : view_.seen) {
            if (port.outcome == PortSeen::Outcome::NotOpened)
                unopened.append(port);
        }
        return unopened;
    }

    // With --wait: whether to try again after a try found nothing. The port
    // the try left open is closed while it waits.
    bool waitForAnotherTry(const QList<PortSeen>& unopened)
    {
        if (!watcher_)
            return false;
        com_->SetComStatus(false);
        progress_.show(QStringLiteral("Waiting for a module ..."));
        const WaitEnd end = WaitToTryAgain(*watcher_, unopened, waitLimit_);
        progress_.show({});
        if (end != WaitEnd::TryAgain)
            return false;
        view_.seen.clear();
        return true;
    }

    int detect()
    {
        while (!findModule()) {
            if (!waitForAnotherTry(unopenedPorts()))
                return notFound();
        }
        printModule();
        recordRead();
        return Done;
    }

    // With --log: the module read, as the session holds it.
    void recordRead()
    {
        if (recording_)
            recording_->append(moduleRecord(ProductionRecord::Kind::Read), clock_);
    }

    ProductionRecord moduleRecord(ProductionRecord::Kind kind) const
    {
        return recording_->moduleRecord(kind, session_->PortIndex,
                                        QString::fromStdString(com_->LastOpening().device),
                                        view_.address, ChannelValue(view_.channel));
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
    // With --wait, until a module answers or the limit has passed.
    int openAndRead()
    {
        for (;;) {
            if (settings_.port) {
                session_->PortIndex = settings_.port->index();
                if (const auto opened = session_->OpenPort(*settings_.port); !opened) {
                    const PortSeen port = NotOpenedSeen(com_->LastOpening());
                    if (waitForAnotherTry({port}))
                        continue;
                    Failure refused = opened.failure();
                    refused.text = DescribeSeen(port);
                    return failure(refused, ModuleNotFound,
                                   {{QStringLiteral("diagnosis"), QJsonArray{SeenJson(port)}}});
                }
                QThread::msleep(ModuleTiming::PauseAfterOpenMs);
            } else if (!findModule()) {
                if (waitForAnotherTry(unopenedPorts()))
                    continue;
                return notFound();
            }
            openedDevice_ = QString::fromStdString(com_->LastOpening().device);
            if (!settings_.port && settings_.generation != ModuleProtocol::V4)
                return Done;
            view_.forgetReplies();
            session_->ReadRadioData();
            found_ = session_->ReplyDecoded;
            if (found_)
                return Done;
            if (!waitForAnotherTry({}))
                return failure(unanswered(QStringLiteral("the read command")), ModuleNotFound);
        }
    }

    int read()
    {
        if (const int status = openAndRead(); status != Done)
            return status;
        printModule();
        recordRead();
        return Done;
    }

    int write()
    {
        if (const int status = openAndRead(); status != Done)
            return status;
        const int wanted = *settings_.channel;
        view_.forgetReplies();
        // The address goes back to the module: it is taken from two
        // consecutive readings that agree, never from one answer alone.
        const auto confirmed = session_->ConfirmReading();
        if (!confirmed) {
            if (session_->Confirmation().wantsMore()) {
                return leftUnwritten(
                    "stopped-answering",
                    failure(unanswered(QStringLiteral("the reads that confirm its address")) +
                                QStringLiteral(": nothing was written"),
                            ModuleNotFound));
            }
            return leftUnwritten(
                "unconfirmed",
                failure(QStringLiteral("the module's answers disagree: %1: nothing was written")
                            .arg(ReadingsText(session_->Confirmation().readings())),
                        NotWritten, moduleJson()));
        }
        view_.address = confirmed->address;
        view_.channel = confirmed->channel;
        // A read stops the address at its first zero byte, and a write
        // command would send zero bytes in place of what followed it.
        if (view_.address.size() != 4) {
            return leftUnwritten(
                "not-written",
                failure(QStringLiteral("the module's address holds a zero byte after '%1', "
                                       "and a write command must carry all four address "
                                       "bytes back unchanged: nothing was written")
                            .arg(Printable(view_.address)),
                        NotWritten, moduleJson()));
        }
        std::optional<ProductionRecord> started;
        if (recording_) {
            if (const QString at = recording_->programmedAt(view_.address); !at.isEmpty())
                return alreadyProgrammed(at);
            started = moduleRecord(ProductionRecord::Kind::Started);
            // On disk before the command goes out, or the command stays.
            session_->WriteCommandDue = [this, record = *started] {
                return recording_->append(record, clock_);
            };
        }
        const DeferredSignals deferred;
        if (deferred.received() != 0)
            deferred.endProcessAsReceived();
        const QString address = view_.address;
        const auto outcome = session_->WriteAndReadBack();
        written_ = outcome == TModuleSession::WriteOutcome::Sent;
        int status = NotWritten;
        if (outcome == TModuleSession::WriteOutcome::Withheld) {
            status = failure(QStringLiteral("the production record could not be written: nothing "
                                            "was written"),
                             OutputFault);
        } else if (written_ || outcome == TModuleSession::WriteOutcome::NotSent) {
            status = readBackStatus({address, static_cast<std::int8_t>(wanted)});
            if (started)
                recordResult(*started, status);
        } else {
            status = notWritten();
        }
        if (deferred.received() != 0) {
            StandardOutputWritten();
            deferred.endProcessAsReceived();
        }
        return status;
    }

    // With --log: a module that the write left alone, why in `result`, the
    // reason reported already.
    int leftUnwritten(const char* result, int status)
    {
        if (recording_) {
            ProductionRecord record = moduleRecord(ProductionRecord::Kind::Read);
            record.result = QString::fromLatin1(result);
            record.error = ControlsEscaped(lastError_);
            recording_->append(std::move(record), clock_);
        }
        return status;
    }

    // The write's Result record, after its Started one.
    void recordResult(ProductionRecord record, int status)
    {
        record.kind = ProductionRecord::Kind::Result;
        record.channelRead = readBackChannel_;
        record.result = readBackResult_;
        record.error = status == Done ? QString() : ControlsEscaped(lastError_);
        recording_->append(std::move(record), clock_);
    }

    // The production record says that the module holds the channel asked
    // already: it was read and is left alone, which counts as done.
    int alreadyProgrammed(const QString& at)
    {
        const QString port = PortName(session_->PortIndex);
        const QString text =
            QStringLiteral("already programmed at %1: checked, not written again").arg(at);
        ProductionRecord record = moduleRecord(ProductionRecord::Kind::Read);
        record.result = QString::fromLatin1(ProductionRecording::AlreadyProgrammedResult);
        record.error = text;
        recording_->append(std::move(record), clock_);
        if (settings_.json) {
            QJsonObject object = moduleJson();
            object.insert(QStringLiteral("alreadyProgrammed"), at);
            emitJson(object, true, Done);
        } else {
            printModule();
        }
        PrintLine(stderr, QStringLiteral("melvix-module: %1: address %2 %3 (--again writes it)")
                              .arg(port, AddressText(view_.address), text));
        return Done;
    }

    // Reports a write command that the session refused: the address and
    // channel were checked and the address confirmed before.
    int notWritten()
    {
        return failure(QStringLiteral("nothing was written: ") + view_.error, NotWritten);
    }

    // Reads the module again while the read-back shows something else than
    // what was sent, so that one answer the line spoilt does not call a good
    // write failed: until a reading shows it, two consecutive readings agree,
    // or three were taken. The readings taken.
    ReadingConfirmation readBack(const RadioReading& sent)
    {
        ReadingConfirmation readings;
        while (session_->ReplyDecoded) {
            readings.add(*session_->LastReading);
            if (readings.last() == sent || !readings.wantsMore())
                break;
            view_.forgetReplies();
            session_->ReadRadioData();
        }
        return readings;
    }

    // Reports the write's read-back.
    int readBackStatus(const RadioReading& sent)
    {
        const QString port = PortName(session_->PortIndex);
        const ReadingConfirmation readings = readBack(sent);
        if (!readings.readings().isEmpty())
            readBackChannel_ = ChannelValue(readings.last().channel);
        if (readings.readings().isEmpty()) {
            readBackResult_ =
                written_ ? QStringLiteral("no-read-back") : QStringLiteral("not-sent");
            if (!DeviceGone(session_->PortIndex, openedDevice_)) {
                return failure(unanswered(QStringLiteral("the read-back")) +
                                   (written_ ? QString()
                                             : QStringLiteral(", and the write command could "
                                                              "not be sent")),
                               ModuleNotFound);
            }
            readBackResult_ = written_ ? QStringLiteral("gone") : QStringLiteral("not-sent");
            return failure(written_
                               ? QStringLiteral("the device behind %1 went away after the write "
                                                "command was sent: the module may hold channel %2 "
                                                "now; read it once it is back")
                                     .arg(port)
                                     .arg(sent.channel)
                               : QStringLiteral("the device behind %1 went away before the write "
                                                "command was sent: nothing was written")
                                     .arg(port),
                           ModuleNotFound);
        }
        const RadioReading& shown = readings.last();
        if (shown == sent) {
            readBackResult_ = QString::fromLatin1(VerifiedResult);
            printModule();
            return Done;
        }
        if (!readings.confirmed()) {
            readBackResult_ = QStringLiteral("read-back-unclear");
            return failure(QStringLiteral("the answers to the read-back disagree: %1")
                               .arg(ReadingsText(readings.readings())),
                           ReadBackDiffers, moduleJson());
        }
        if (shown.address != sent.address) {
            readBackResult_ = QStringLiteral("address-changed");
            return failure(QStringLiteral("the read-back shows address %1, not %2: address "
                                          "changed")
                               .arg(Printable(shown.address), Printable(sent.address)),
                           ReadBackDiffers, moduleJson());
        }
        readBackResult_ = QStringLiteral("read-back-differs");
        return failure(QStringLiteral("the read-back shows channel %1, not %2")
                           .arg(ChannelValue(shown.channel))
                           .arg(sent.channel),
                       ReadBackDiffers, moduleJson());
    }

    // Says which ports the batch could not use and why: those it could not
    // open for another reason than that nothing is there, those that
    // answered but not as a module of the generation, and those of the port
    // map out of its reach.
    void noteUnusedPorts(ModuleBatch& batch, const QList<PortDiagnosis>& outOfReach) const
    {
        QList<PortSeen> unused;
        unused.append(batch.unopened);
        AskInV4(batch.silent, !settings_.fixedWaits);
        unused.append(batch.silent);
        for (const PortSeen& port : unused) {
            if (const QString note = UnusedPortNote(port); !note.isEmpty())
                PrintLine(stderr, QStringLiteral("melvix-module: note: ") + note);
        }
        for (const PortDiagnosis& port : outOfReach)
            PrintLine(stderr,
                      QStringLiteral("melvix-module: note: not tried: ") + DescribePort(port));
    }

    // The live table of --all and --each: on a terminal only, and not with
    // --json, so that pipes and scripts get the lines alone.
    std::unique_ptr<LiveTable> liveTable() const
    {
        if (settings_.json || !StandardOutputTakesEscapes())
            return nullptr;
        return std::make_unique<LiveTable>(settings_);
    }

    // detect, read and write --all.
    int all()
    {
        const std::unique_ptr<LiveTable> table = liveTable();
        ProgressFanOut progress(recording_.get(), table.get());
        const auto endTable = [&] {
            if (table)
                table->end();
        };
        std::unique_ptr<ModuleBatch> batch;
        bool waited = false;
        for (;;) {
            batch = std::make_unique<ModuleBatch>(settings_, &progress);
            progress_.show(
                QStringLiteral("Probing %1 together ...").arg(portsText(HighestOpenedPort)));
            batch->open(ModuleBatch::allowedPorts(settings_));
            batch->probe();
            progress_.show({});
            if (!batch->modules.empty()) {
                if (waited)
                    batch->takeLateModules(*watcher_);
                break;
            }
            if (!watcher_ ||
                WaitToTryAgain(*watcher_, batch->unopened, waitLimit_) != WaitEnd::TryAgain) {
                view_.seen.append(batch->unopened);
                view_.seen.append(batch->silent);
                std::sort(view_.seen.begin(), view_.seen.end(),
                          [](const PortSeen& a, const PortSeen& b) {
                              return a.portNumber < b.portNumber;
                          });
                endTable();
                return notFound();
            }
            waited = true;
        }
        // Ports the user left out are none of the batch's business.
        const QList<PortDiagnosis> outOfReach =
            settings_.onlyPorts ? QList<PortDiagnosis>{} : ModuleBatch::portsOutOfReach();
        noteUnusedPorts(*batch, outOfReach);
        if (settings_.command == Command::Write) {
            const DeferredSignals deferred;
            if (deferred.received() != 0)
                deferred.endProcessAsReceived();
            batch->writeAll();
            endTable();
            const int status = printBatch(*batch, outOfReach, settings_);
            if (deferred.received() != 0) {
                StandardOutputWritten();
                deferred.endProcessAsReceived();
            }
            return status;
        }
        endTable();
        if (recording_) {
            for (const auto& module : batch->modules)
                recording_->recordRead(*module);
        }
        return printBatch(*batch, outOfReach, settings_);
    }

    // write --each.
    int line()
    {
        LineTally tally;
        const std::unique_ptr<LiveTable> table = liveTable();
        ProgressFanOut progress(recording_.get(), table.get());
        const Result<void> ran = RunLine(
            settings_,
            [this](int number, const BatchModule& module) {
                // A record that could not be written stops the line too.
                return printLineModule(number, module, settings_) &&
                       !(recording_ && recording_->failed());
            },
            tally, &progress);
        if (table)
            table->end();
        if (!ran)
            return failure(ran.failure(), ModuleNotFound);
        QString summary = QStringLiteral("melvix-module: %1 programmed, %2 failed")
                              .arg(tally.programmed)
                              .arg(tally.failed);
        if (tally.alreadyProgrammed > 0)
            summary += QStringLiteral(", %1 already programmed").arg(tally.alreadyProgrammed);
        PrintLine(stderr, summary);
        if (std::ferror(stdout) != 0) {
            // Told as the line stopped; not again as the program ends.
            std::clearerr(stdout);
            return OutputFault;
        }
        return tally.failed == 0 ? Done : ModuleNotFound;
    }

    const Settings& settings_;
    std::unique_ptr<PortWatcher> watcher_;
    QDeadlineTimer waitLimit_{QDeadlineTimer::Forever};
    Progress progress_;
    CommandView view_;
    // The session goes after the component, whose OnReceive calls it.
    std::unique_ptr<TModuleSession> session_;
    std::unique_ptr<TRadioCom> com_;
    bool found_ = false;
    bool written_ = false;
    // The device the port led to when it was opened.
    QString openedDevice_;
    // Since the command began: the records' durations.
    QElapsedTimer clock_;
    // With --log.
    std::optional<ProductionLog> log_;
    std::unique_ptr<ProductionRecording> recording_;
    // What the last failure reported said.
    QString lastError_;
    // What a write's read-back showed, for its Result record.
    QString readBackResult_;
    std::optional<int> readBackChannel_;
};

} // namespace

int runCommand(const Settings& settings)
{
    return Runner(settings).run();
}

} // namespace cli
