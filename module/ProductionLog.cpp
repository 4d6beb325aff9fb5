#include "ProductionLog.h"

#include "SystemUser.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

ProductionLog::ProductionLog(QString path, SharedAppendFile file, const QString& version)
    : path_(std::move(path)), format_(RecordFormatOf(path_)), file_(std::move(file)),
      host_(QSysInfo::machineHostName()), user_(SystemUserName()), version_(version)
{}

Result<ProductionLog> ProductionLog::open(const QString& path, const QString& version,
                                          bool readVerified)
{
    Result<SharedAppendFile> file = SharedAppendFile::open(path);
    if (!file)
        return file.failure();
    ProductionLog log(path, std::move(file.value()), version);
    if (!readVerified)
        return log;
    if (const Result<void> read = log.readVerified(); !read)
        return read.failure();
    return log;
}

Result<void> ProductionLog::readVerified()
{
    // A device or a pipe holds no records to read, and /dev/full would give
    // zeros without end.
    if (!QFileInfo(path_).isFile())
        return {};
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        return Failure{QStringLiteral("read"), 0,
                       QStringLiteral("cannot read %1: %2").arg(path_, file.errorString())};
    }
    // Most lines are no verified result; only those are decoded. A line cut
    // short by a writer that was killed decodes as none.
    const QByteArray verified = QByteArray(VerifiedResult);
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.contains(verified))
            continue;
        if (const auto record = DecodeRecord(line, format_))
            remember(*record);
    }
    return {};
}

void ProductionLog::remember(const ProductionRecord& record)
{
    if (record.kind == ProductionRecord::Kind::Result && record.result == VerifiedResult &&
        record.channelAsked)
        verified_.insert({record.address, *record.channelAsked}, record.time);
}

Result<void> ProductionLog::append(ProductionRecord record)
{
    if (failure_)
        return *failure_;
    record.time = RecordTime(QDateTime::currentDateTime());
    record.host = host_;
    record.user = user_;
    record.version = version_;
    const QByteArray line = EncodeRecord(record, format_);
    const Result<void> appended = file_.append([&](SharedAppendFile::End end) {
        if (end.empty && format_ == RecordFormat::Csv)
            return CsvHeader() + line;
        // After the half line of a writer that was killed, on a line of its
        // own.
        return end.endsLine ? line : '\n' + line;
    });
    if (!appended) {
        failure_ = appended.failure();
        return appended;
    }
    remember(record);
    return {};
}

QString ProductionLog::programmedAt(const QString& address, int channel) const
{
    return verified_.value({address, channel});
}
