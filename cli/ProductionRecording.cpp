#include "ProductionRecording.h"

#include "BatchReport.h"
#include "DeviceIdentity.h"
#include "ModuleProtocol.h"
#include "Output.h"
#include "PortReport.h"
#include "RadioText.h"

#include <cstdio>

namespace cli {

namespace {

// The word a record gives a batch module's result.
QString ResultWord(BatchModule::Result result)
{
    using Result = BatchModule::Result;
    switch (result) {
    case Result::Found:
        return QString::fromLatin1(ProductionRecording::ReadResult);
    case Result::Verified:
        return QString::fromLatin1(VerifiedResult);
    case Result::ReadBackDiffers:
        return QStringLiteral("read-back-differs");
    case Result::NotWritten:
        return QStringLiteral("not-written");
    case Result::Unconfirmed:
        return QStringLiteral("unconfirmed");
    case Result::StoppedAnswering:
        return QStringLiteral("stopped-answering");
    case Result::AddressChanged:
        return QStringLiteral("address-changed");
    case Result::ReadBackUnclear:
        return QStringLiteral("read-back-unclear");
    case Result::NoReadBack:
        return QStringLiteral("no-read-back");
    case Result::NotSent:
        return QStringLiteral("not-sent");
    case Result::Gone:
        return QStringLiteral("gone");
    case Result::AlreadyProgrammed:
        return QString::fromLatin1(ProductionRecording::AlreadyProgrammedResult);
    case Result::NotLogged:
        return QStringLiteral("not-logged");
    case Result::SameAddress:
        return QStringLiteral("same-address");
    }
    return {};
}

// The channel a written module read back; none when no read-back was
// decoded.
std::optional<int> ReadBackChannel(const BatchModule& module)
{
    using Result = BatchModule::Result;
    switch (module.result) {
    case Result::Verified:
    case Result::ReadBackDiffers:
    case Result::AddressChanged:
    case Result::ReadBackUnclear:
        return ChannelValue(module.view.channel);
    default:
        return std::nullopt;
    }
}

} // namespace

ProductionRecording::ProductionRecording(ProductionLog& log, const Settings& settings)
    : log_(log), settings_(settings)
{}

ProductionRecord ProductionRecording::moduleRecord(ProductionRecord::Kind kind, int portIndex,
                                                   const QString& device, const QString& address,
                                                   int channelValue) const
{
    ProductionRecord record;
    record.kind = kind;
    record.port = PortName(portIndex);
    record.devicePath = device;
    if (const DeviceIdentity identity = IdentifyDevice(device); identity.isUsb()) {
        record.deviceUsbId = identity.vendorId + QLatin1Char(':') + identity.productId;
        record.deviceSerialNumber = identity.serialNumber;
    }
    record.generation =
        settings_.generation == ModuleProtocol::V4 ? QStringLiteral("v4") : QStringLiteral("v5");
    record.address = Printable(address);
    if (settings_.command == Command::Write) {
        record.channelBefore = channelValue;
        record.channelAsked = settings_.channel;
    } else {
        record.result = QString::fromLatin1(ReadResult);
    }
    // What a module read and not written holds.
    if (kind == ProductionRecord::Kind::Read)
        record.channelRead = channelValue;
    return record;
}

bool ProductionRecording::append(ProductionRecord record, const QElapsedTimer& since)
{
    record.durationMs = since.isValid() ? since.elapsed() : 0;
    const Result<void> appended = log_.append(std::move(record));
    if (!appended && !failureSaid_) {
        failureSaid_ = true;
        PrintLine(stderr, QStringLiteral("melvix-module: ") + appended.failure().text +
                              QStringLiteral(": the production record cannot be kept"));
    }
    return static_cast<bool>(appended);
}

QString ProductionRecording::programmedAt(const QString& address) const
{
    if (settings_.again || !settings_.channel)
        return {};
    return log_.programmedAt(Printable(address), *settings_.channel);
}

ProductionRecord ProductionRecording::batchRecord(ProductionRecord::Kind kind,
                                                  const BatchModule& module) const
{
    return moduleRecord(kind, module.port.index(), module.device, module.foundAddress,
                        ChannelValue(module.foundChannel));
}

bool ProductionRecording::append(ProductionRecord record, const BatchModule& module)
{
    return append(std::move(record), clocks_.value(&module));
}

void ProductionRecording::found(const BatchModule& module)
{
    clocks_[&module].start();
}

bool ProductionRecording::mayWrite(BatchModule& module)
{
    if (const QString at = programmedAt(module.foundAddress); !at.isEmpty()) {
        module.result = BatchModule::Result::AlreadyProgrammed;
        module.programmedAt = at;
        return false;
    }
    ProductionRecord record = batchRecord(ProductionRecord::Kind::Started, module);
    if (!append(record, module)) {
        module.result = BatchModule::Result::NotLogged;
        return false;
    }
    started_.insert(&module, record);
    return true;
}

void ProductionRecording::finished(const BatchModule& module)
{
    // A written module's result tells what its Started record told, also
    // of a device that has gone since.
    const auto started = started_.constFind(&module);
    ProductionRecord record =
        started != started_.cend() ? *started : batchRecord(ProductionRecord::Kind::Read, module);
    if (started != started_.cend()) {
        record.kind = ProductionRecord::Kind::Result;
        record.channelRead = ReadBackChannel(module);
    }
    record.result = ResultWord(module.result);
    record.error = ControlsEscaped(ModuleResultText(module, settings_));
    // A record that could not be written has stopped the line already.
    if (module.result != BatchModule::Result::NotLogged)
        append(std::move(record), module);
    started_.remove(&module);
    clocks_.remove(&module);
}

void ProductionRecording::recordRead(const BatchModule& module)
{
    append(batchRecord(ProductionRecord::Kind::Read, module), module);
    clocks_.remove(&module);
}

} // namespace cli
