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

// One field of a record, as text both ways: a missing number is empty.
struct Column
{
    // The CSV column's name and the JSON key; a device field's key within
    // the "device" object is what follows "device.".
    const char* name;
    // A JSON number, null when the text is empty.
    bool numeric;
    QString (*get)(const ProductionRecord&);
    // False when the text is no value of the field.
    bool (*set)(ProductionRecord&, const QString&);
};

template <QString ProductionRecord::*Field> constexpr Column TextColumn(const char* name)
{
    return {name, false, [](const ProductionRecord& record) { return record.*Field; },
            [](ProductionRecord& record, const QString& text) {
                record.*Field = text;
                return true;
            }};
}

template <std::optional<int> ProductionRecord::*Field>
constexpr Column NumberColumn(const char* name)
{
    return {name, true,
            [](const ProductionRecord& record) {
                const std::optional<int>& value = record.*Field;
                return value ? QString::number(*value) : QString();
            },
            [](ProductionRecord& record, const QString& text) {
                bool ok = false;
                const int value = text.toInt(&ok);
                record.*Field = ok ? std::optional(value) : std::nullopt;
                return true;
            }};
}

// The fields in the order of the CSV columns and of the JSON keys.
constexpr std::array Columns{
    Column{"record", false, [](const ProductionRecord& record) { return KindName(record.kind); },
           [](ProductionRecord& record, const QString& text) {
               const auto kind = KindNamed(text);
               record.kind = kind.value_or(record.kind);
               return kind.has_value();
           }},
    TextColumn<&ProductionRecord::time>("time"),
    TextColumn<&ProductionRecord::host>("host"),
    TextColumn<&ProductionRecord::user>("user"),
    TextColumn<&ProductionRecord::port>("port"),
    TextColumn<&ProductionRecord::devicePath>("device.path"),
    TextColumn<&ProductionRecord::deviceUsbId>("device.usbId"),
    TextColumn<&ProductionRecord::deviceSerialNumber>("device.serialNumber"),
    TextColumn<&ProductionRecord::generation>("generation"),
    TextColumn<&ProductionRecord::address>("address"),
    NumberColumn<&ProductionRecord::channelBefore>("channelBefore"),
    NumberColumn<&ProductionRecord::channelAsked>("channelAsked"),
    NumberColumn<&ProductionRecord::channelRead>("channelRead"),
    TextColumn<&ProductionRecord::result>("result"),
    TextColumn<&ProductionRecord::error>("error"),
    TextColumn<&ProductionRecord::version>("version"),
    Column{"durationMs", true,
           [](const ProductionRecord& record) { return QString::number(record.durationMs); },
           [](ProductionRecord& record, const QString& text) {
               record.durationMs = text.toLongLong();
               return true;
           }},
};

constexpr QLatin1StringView DevicePrefix("device.");

// The JSON key of a column, within the device object for a device field.
QLatin1StringView KeyOf(const Column& column, bool& inDevice)
{
    const QLatin1StringView name(column.name);
    inDevice = name.startsWith(DevicePrefix);
    return inDevice ? name.sliced(DevicePrefix.size()) : name;
}

std::optional<ProductionRecord> FromFields(const QStringList& fields)
{
    if (fields.size() != static_cast<qsizetype>(Columns.size()))
        return std::nullopt;
    ProductionRecord record;
    for (std::size_t index = 0; index < Columns.size(); ++index) {
        if (!Columns[index].set(record, fields[static_cast<qsizetype>(index)]))
            return std::nullopt;
    }
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
    for (const Column& column : Columns)
        names.append(QString::fromLatin1(column.name));
    return names.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QByteArray EncodeRecord(const ProductionRecord& record, RecordFormat format)
{
    if (format == RecordFormat::Csv) {
        QStringList fields;
        for (const Column& column : Columns)
            fields.append(CsvField(column.get(record)));
        return fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    // QJsonObject would sort the keys; a reader of the file sees them in the
    // order of the CSV columns, each value escaped as JSON wants it.
    const auto text = [](const QString& value) {
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return array.mid(1, array.size() - 2);
    };
    QByteArray line = "{";
    bool wasInDevice = false;
    for (const Column& column : Columns) {
        bool inDevice = false;
        const QLatin1StringView key = KeyOf(column, inDevice);
        if (wasInDevice && !inDevice)
            line += '}';
        if (line.size() > 1)
            line += ',';
        if (inDevice && !wasInDevice)
            line += "\"device\":{";
        wasInDevice = inDevice;
        const QString value = column.get(record);
        line += '"' + QByteArray(key.data(), key.size()) + "\":";
        if (!column.numeric)
            line += text(value);
        else
            line += value.isEmpty() ? QByteArrayLiteral("null") : value.toLatin1();
    }
    return line + "}\n";
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
    const QJsonObject device = object[QStringLiteral("device")].toObject();
    ProductionRecord record;
    for (const Column& column : Columns) {
        bool inDevice = false;
        const QLatin1StringView key = KeyOf(column, inDevice);
        const QJsonValue value = (inDevice ? device : object)[key];
        const QString text = !column.numeric    ? value.toString()
                             : value.isDouble() ? QString::number(value.toInteger())
                                                : QString();
        if (!column.set(record, text))
            return std::nullopt;
    }
    return record;
}
