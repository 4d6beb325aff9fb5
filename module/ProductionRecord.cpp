#include "ProductionRecord.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <array>
#include <utility>

namespace {

constexpr std::array KindNames{std::pair{ProductionRecord::Kind::Started, "started"},
                               std::pair{ProductionRecord::Kind::Result, "result"},
                               std::pair{ProductionRecord::Kind::Read, "read"}};

QString KindName(ProductionRecord::Kind kind)
{
    for (const auto& [each, name] : KindNames) {
        if (each == kind)
            return QString::fromLatin1(name);
    }
    return {};
}

std::optional<ProductionRecord::Kind> KindNamed(const QString& name)
{
    for (const auto& [kind, each] : KindNames) {
        if (name == QLatin1String(each))
            return kind;
    }
    return std::nullopt;
}

// The CSV columns in order; JSON has the same fields, the device's three in
// an object.
constexpr std::array CsvColumns{
    "record",      "time",        "host",          "user",
    "port",        "device.path", "device.usbId",  "device.serialNumber",
    "generation",  "address",     "channelBefore", "channelAsked",
    "channelRead", "result",      "error",         "version",
    "durationMs"};

QStringList Fields(const ProductionRecord& record)
{
    const auto number = [](const std::optional<int>& value) {
        return value ? QString::number(*value) : QString();
    };
    return {KindName(record.kind),
            record.time,
            record.host,
            record.user,
            record.port,
            record.devicePath,
            record.deviceUsbId,
            record.deviceSerialNumber,
            record.generation,
            record.address,
            number(record.channelBefore),
            number(record.channelAsked),
            number(record.channelRead),
            record.result,
            record.error,
            record.version,
            QString::number(record.durationMs)};
}

std::optional<ProductionRecord> FromFields(const QStringList& fields)
{
    if (fields.size() != static_cast<qsizetype>(CsvColumns.size()))
        return std::nullopt;
    const auto kind = KindNamed(fields[0]);
    if (!kind)
        return std::nullopt;
    const auto number = [](const QString& text) -> std::optional<int> {
        bool ok = false;
        const int value = text.toInt(&ok);
        return ok ? std::optional(value) : std::nullopt;
    };
    ProductionRecord record;
    record.kind = *kind;
    record.time = fields[1];
    record.host = fields[2];
    record.user = fields[3];
    record.port = fields[4];
    record.devicePath = fields[5];
    record.deviceUsbId = fields[6];
    record.deviceSerialNumber = fields[7];
    record.generation = fields[8];
    record.address = fields[9];
    record.channelBefore = number(fields[10]);
    record.channelAsked = number(fields[11]);
    record.channelRead = number(fields[12]);
    record.result = fields[13];
    record.error = fields[14];
    record.version = fields[15];
    record.durationMs = fields[16].toLongLong();
    return record;
}

// RFC 4180: a field with a comma, a quote, a line break or space at either
// end goes in quotes, its quotes doubled.
QString CsvField(const QString& field)
{
    const bool quoted = field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"')) ||
                        field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r')) ||
                        (!field.isEmpty() && (field.front().isSpace() || field.back().isSpace()));
    if (!quoted)
        return field;
    QString inner = field;
    inner.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

// The fields of one CSV line; none when a quoted field does not end.
std::optional<QStringList> CsvFields(const QString& line)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c != QLatin1Char('"'))
                field += c;
            else if (i + 1 < line.size() && line[i + 1] == QLatin1Char('"'))
                field += line[++i];
            else
                quoted = false;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            fields.append(std::exchange(field, {}));
        } else {
            field += c;
        }
    }
    if (quoted)
        return std::nullopt;
    fields.append(field);
    return fields;
}

std::optional<int> NumberOf(const QJsonValue& value)
{
    return value.isDouble() ? std::optional(value.toInt()) : std::nullopt;
}

} // namespace

RecordFormat RecordFormatOf(const QString& path)
{
    return path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive) ? RecordFormat::Csv
                                                                      : RecordFormat::JsonLines;
}

QString RecordTime(const QDateTime& time)
{
    // The offset written out also in UTC, where Qt would write Z, so that
    // every line has the same form.
    const int offsetMinutes = time.offsetFromUtc() / 60;
    const int absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           (offsetMinutes < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(absolute / 60, 2, 10, QLatin1Char('0'))
               .arg(absolute % 60, 2, 10, QLatin1Char('0'));
}

QByteArray CsvHeader()
{
    QStringList names;
    for (const char* column : CsvColumns)
        names.append(QString::fromLatin1(column));
    return names.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QByteArray EncodeRecord(const ProductionRecord& record, RecordFormat format)
{
    if (format == RecordFormat::Csv) {
        QStringList fields;
        for (const QString& field : Fields(record))
            fields.append(CsvField(field));
        return fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    // QJsonObject would sort the keys; a reader of the file sees them in the
    // order of the CSV columns, each value escaped as JSON wants it.
    const auto text = [](const QString& value) {
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return array.mid(1, array.size() - 2);
    };
    const auto number = [](const std::optional<int>& value) {
        return value ? QByteArray::number(*value) : QByteArrayLiteral("null");
    };
    QByteArray line = "{\"record\":" + text(KindName(record.kind));
    line += ",\"time\":" + text(record.time);
    line += ",\"host\":" + text(record.host);
    line += ",\"user\":" + text(record.user);
    line += ",\"port\":" + text(record.port);
    line += ",\"device\":{\"path\":" + text(record.devicePath);
    line += ",\"usbId\":" + text(record.deviceUsbId);
    line += ",\"serialNumber\":" + text(record.deviceSerialNumber) + '}';
    line += ",\"generation\":" + text(record.generation);
    line += ",\"address\":" + text(record.address);
    line += ",\"channelBefore\":" + number(record.channelBefore);
    line += ",\"channelAsked\":" + number(record.channelAsked);
    line += ",\"channelRead\":" + number(record.channelRead);
    line += ",\"result\":" + text(record.result);
    line += ",\"error\":" + text(record.error);
    line += ",\"version\":" + text(record.version);
    line += ",\"durationMs\":" + QByteArray::number(record.durationMs) + "}\n";
    return line;
}

std::optional<ProductionRecord> DecodeRecord(const QByteArray& line, RecordFormat format)
{
    const QByteArray content = line.trimmed();
    if (format == RecordFormat::Csv) {
        const auto fields = CsvFields(QString::fromUtf8(content));
        return fields ? FromFields(*fields) : std::nullopt;
    }
    QJsonParseError error{};
    const QJsonObject object = QJsonDocument::fromJson(content, &error).object();
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    const auto kind = KindNamed(object[QStringLiteral("record")].toString());
    if (!kind)
        return std::nullopt;
    const QJsonObject device = object[QStringLiteral("device")].toObject();
    ProductionRecord record;
    record.kind = *kind;
    record.time = object[QStringLiteral("time")].toString();
    record.host = object[QStringLiteral("host")].toString();
    record.user = object[QStringLiteral("user")].toString();
    record.port = object[QStringLiteral("port")].toString();
    record.devicePath = device[QStringLiteral("path")].toString();
    record.deviceUsbId = device[QStringLiteral("usbId")].toString();
    record.deviceSerialNumber = device[QStringLiteral("serialNumber")].toString();
    record.generation = object[QStringLiteral("generation")].toString();
    record.address = object[QStringLiteral("address")].toString();
    record.channelBefore = NumberOf(object[QStringLiteral("channelBefore")]);
    record.channelAsked = NumberOf(object[QStringLiteral("channelAsked")]);
    record.channelRead = NumberOf(object[QStringLiteral("channelRead")]);
    record.result = object[QStringLiteral("result")].toString();
    record.error = object[QStringLiteral("error")].toString();
    record.version = object[QStringLiteral("version")].toString();
    record.durationMs = object[QStringLiteral("durationMs")].toInteger();
    return record;
}
