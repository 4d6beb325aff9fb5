#include "BatchReport.h"

#include "ModuleCommands.h"
#include "Output.h"
#include "PortNumbers.h"
#include "PortReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

namespace cli {

namespace {

// The exit status a module's result calls for.
int ExitStatusOf(BatchModule::Result result)
{
    switch (result) {
    case BatchModule::Result::Found:
    case BatchModule::Result::Verified:
    case BatchModule::Result::AlreadyProgrammed:
        return Done;
    case BatchModule::Result::NotLogged:
        return OutputFault;
    case BatchModule::Result::ReadBackDiffers:
    case BatchModule::Result::AddressChanged:
    case BatchModule::Result::ReadBackUnclear:
        return ReadBackDiffers;
    case BatchModule::Result::NotWritten:
    case BatchModule::Result::Unconfirmed:
    case BatchModule::Result::SameAddress:
        return NotWritten;
    case BatchModule::Result::StoppedAnswering:
    case BatchModule::Result::NotSent:
    case BatchModule::Result::NoReadBack:
    case BatchModule::Result::Gone:
        break;
    }
    return ModuleNotFound;
}

// Why a module of --all or --each failed; empty when it did not.
QString resultText(const BatchModule& module, const Settings& settings)
{
    switch (module.result) {
    case BatchModule::Result::Found:
    case BatchModule::Result::Verified:
        break;
    case BatchModule::Result::ReadBackDiffers:
        return QStringLiteral("the read-back shows channel %1, not %2")
            .arg(ChannelValue(module.view.channel))
            .arg(*settings.channel);
    case BatchModule::Result::AddressChanged:
        return QStringLiteral("the read-back shows address %1, not %2: address changed")
            .arg(Printable(module.view.address), Printable(module.foundAddress));
    case BatchModule::Result::ReadBackUnclear:
        return QStringLiteral("the answers to the read-back disagree: %1")
            .arg(ReadingsText(module.readings.readings()));
    case BatchModule::Result::NotWritten:
        return QStringLiteral("the module's address holds a zero byte after '%1': nothing "
                              "was written")
            .arg(Printable(module.foundAddress));
    case BatchModule::Result::Unconfirmed:
        return QStringLiteral("the module's answers disagree: %1: nothing was written")
            .arg(ReadingsText(module.readings.readings()));
    case BatchModule::Result::StoppedAnswering:
        return QStringLiteral("stopped answering before its address was confirmed: nothing "
                              "was written");
    case BatchModule::Result::NoReadBack:
        return QStringLiteral("does not answer the read-back");
    case BatchModule::Result::NotSent:
        return QStringLiteral("the device went away before the write command was sent: "
                              "nothing was written");
    case BatchModule::Result::Gone:
        return QStringLiteral("the device went away after the write command was sent");
    case BatchModule::Result::SameAddress:
        return sameAddressText(module) + QStringLiteral(": nothing was written");
    case BatchModule::Result::AlreadyProgrammed:
        return QStringLiteral("already programmed at %1: checked, not written again")
            .arg(module.programmedAt);
    case BatchModule::Result::NotLogged:
        return QStringLiteral("the production record could not be written: nothing was "
                              "written");
    }
    return {};
}

// The ports of the other modules with the module's address, for JSON.
QJsonArray sameAddressJson(const BatchModule& module)
{
    QJsonArray ports;
    for (const int index : module.sameAddressAt)
        ports.append(PortName(index));
    return ports;
}

// The channel a module of --all or --each holds as far as is known: the
// read-back's, or what it held when it was found.
int knownChannel(const BatchModule& module)
{
    using Result = BatchModule::Result;
    const bool readBack =
        module.result == Result::Verified || module.result == Result::ReadBackDiffers ||
        module.result == Result::AddressChanged || module.result == Result::ReadBackUnclear;
    return ChannelValue(readBack ? module.view.channel : module.foundChannel);
}

// One module of --all: its line, or its object of the JSON array.
void printBatchModule(const BatchModule& module, QJsonArray& list, const Settings& settings)
{
    const QString port = PortName(module.port.index());
    const QString why = resultText(module, settings);
    if (settings.json) {
        QJsonObject object{{QStringLiteral("found"), true},
                           {QStringLiteral("exit"), ExitStatusOf(module.result)},
                           {QStringLiteral("port"), port}};
        InsertRadioData(object, module.foundAddress, knownChannel(module));
        if (settings.command == Command::Write)
            object.insert(QStringLiteral("written"), module.sent);
        if (module.result == BatchModule::Result::AlreadyProgrammed)
            object.insert(QStringLiteral("alreadyProgrammed"), module.programmedAt);
        else if (!why.isEmpty())
            object.insert(QStringLiteral("error"), why);
        if (!module.sameAddressAt.isEmpty())
            object.insert(QStringLiteral("sameAddressAs"), sameAddressJson(module));
        list.append(object);
        return;
    }
    if (!why.isEmpty()) {
        PrintLine(
            stdout,
            QStringLiteral("%1: address %2, %3").arg(port, AddressText(module.foundAddress), why));
        return;
    }
    QString line = QStringLiteral("%1: %2").arg(
        port, RadioDataText(module.foundAddress, knownChannel(module)));
    if (!module.sameAddressAt.isEmpty())
        line += QStringLiteral("; ") + sameAddressText(module);
    PrintLine(stdout, line);
}

// The status of --all: a module that stopped answering outweighs a
// read-back that differs, which outweighs a module not written.
int batchStatus(const ModuleBatch& batch)
{
    int status = Done;
    for (const int worse : {NotWritten, ReadBackDiffers, ModuleNotFound}) {
        for (const auto& module : batch.modules) {
            if (ExitStatusOf(module->result) == worse)
                status = worse;
        }
    }
    return status;
}

} // namespace

QString sameAddressText(const BatchModule& module)
{
    if (module.sameAddressAt.isEmpty())
        return {};
    QStringList ports;
    for (const int index : module.sameAddressAt)
        ports.append(PortName(index));
    return QStringLiteral("address %1 is also on %2")
        .arg(AddressText(module.foundAddress), ports.join(QStringLiteral(", ")));
}

QString ModuleResultText(const BatchModule& module, const Settings& settings)
{
    return resultText(module, settings);
}

int printBatch(const ModuleBatch& batch, const QList<PortDiagnosis>& outOfReach,
               const Settings& settings)
{
    QJsonArray list;
    int failed = 0;
    int alreadyProgrammed = 0;
    for (const auto& module : batch.modules) {
        printBatchModule(*module, list, settings);
        failed += ExitStatusOf(module->result) != Done;
        alreadyProgrammed += module->result == BatchModule::Result::AlreadyProgrammed;
    }
    if (settings.json)
        PrintJsonArray(list);
    const int found = static_cast<int>(batch.modules.size());
    QString summary =
        settings.command == Command::Write
            ? QStringLiteral("%1 of %2 %3 written and verified")
                  .arg(found - failed - alreadyProgrammed)
                  .arg(found)
                  .arg(found == 1 ? QStringLiteral("module") : QStringLiteral("modules"))
            : QStringLiteral("%1 %2 found")
                  .arg(found)
                  .arg(found == 1 ? QStringLiteral("module") : QStringLiteral("modules"));
    if (alreadyProgrammed > 0)
        summary += QStringLiteral(", %1 already programmed").arg(alreadyProgrammed);
    QStringList silent;
    QStringList unusable;
    for (const PortSeen& port : batch.silent)
        (port.outcome == PortSeen::Outcome::NoAnswer ? silent : unusable)
            .append(PortName(port.portNumber - 1));
    if (!silent.isEmpty())
        summary += QStringLiteral("; no answer on %1").arg(silent.join(QStringLiteral(", ")));
    if (!unusable.isEmpty()) {
        summary += QStringLiteral("; answers that are no module's of this generation on %1")
                       .arg(unusable.join(QStringLiteral(", ")));
    }
    if (!outOfReach.isEmpty()) {
        QStringList names;
        for (const PortDiagnosis& port : outOfReach)
            names.append(PortName(port.portNumber - 1));
        summary += QStringLiteral("; not tried, above COM%1: %2")
                       .arg(HighestOpenedPort)
                       .arg(names.join(QStringLiteral(", ")));
    }
    PrintLine(stderr, QStringLiteral("melvix-module: ") + summary);
    // Modules may sit on the ports out of reach: this is no whole success.
    return outOfReach.isEmpty() ? batchStatus(batch) : ModuleNotFound;
}

// One module of --each: its line, or its JSON line, at once, for a log
// kept as the line runs. False when it could not be written.
bool printLineModule(int number, const BatchModule& module, const Settings& settings)
{
    // With the local offset, so that logs of different places agree.
    const QDateTime now = QDateTime::currentDateTime();
    const QString time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    const QString port = PortName(module.port.index());
    const bool verified = module.result == BatchModule::Result::Verified;
    const QString result =
        verified ? QStringLiteral("written and verified") : resultText(module, settings);
    const int oldChannel = ChannelValue(module.foundChannel);
    if (settings.json) {
        QJsonObject object{{QStringLiteral("number"), number},
                           {QStringLiteral("time"), time},
                           {QStringLiteral("found"), true},
                           {QStringLiteral("exit"), ExitStatusOf(module.result)},
                           {QStringLiteral("port"), port},
                           {QStringLiteral("oldChannel"), oldChannel},
                           {QStringLiteral("written"), module.sent}};
        InsertRadioData(object, module.foundAddress, knownChannel(module));
        if (module.result == BatchModule::Result::AlreadyProgrammed)
            object.insert(QStringLiteral("alreadyProgrammed"), module.programmedAt);
        else if (!verified)
            object.insert(QStringLiteral("error"), result);
        if (!module.sameAddressAt.isEmpty())
            object.insert(QStringLiteral("sameAddressAs"), sameAddressJson(module));
        PrintJson(object);
    } else {
        PrintLine(stdout, QStringLiteral("%1 %2 %3 %4 channel %5 -> %6: %7")
                              .arg(number)
                              .arg(time, port, AddressText(module.foundAddress))
                              .arg(oldChannel)
                              .arg(knownChannel(module))
                              .arg(result));
    }
    return StandardOutputWritten();
}

} // namespace cli
