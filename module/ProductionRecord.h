// One line of the production record, and its two encodings: a JSON object on
// a line (JSON Lines), or a row of comma-separated values (RFC 4180) under a
// header. The field names are the record's interface to whatever reads the
// logs later, and stay as they are.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

struct ProductionRecord
{
    enum class Kind
    {
        // The write command is about to go out.
        Started,
        // The write's outcome, after its read-back: it follows the module's
        // Started record.
        Result,
        // The module was read and nothing was written: by read or detect, or
        // by a write that held back, the result says why.
        Read
    };

    Kind kind = Kind::Read;
    // ISO 8601 local time with milliseconds and the offset from UTC.
    QString time;
    QString host;
    QString user;
    // COMn.
    QString port;
    // The device the port led to; for a USB adapter "vendor:product" as four
    // hex digits each, and its serial number.
    QString devicePath;
    QString deviceUsbId;
    QString deviceSerialNumber;
    // "v4" or "v5".
    QString generation;
    // The module's address, its control characters written as \xHH.
    QString address;
    std::optional<int> channelBefore;
    std::optional<int> channelAsked;
    std::optional<int> channelRead;
    // A word: "verified", "read-back-differs", ...; "" in a Started record.
    QString result;
    // Why the module failed or was not written; "" when it did not.
    QString error;
    QString version;
    qint64 durationMs = 0;
};

// The result of a write whose read-back shows what was written.
inline constexpr char VerifiedResult[] = "verified";

enum class RecordFormat
{
    JsonLines,
    Csv
};

// CSV for a name ending in .csv, in any case; JSON Lines otherwise.
RecordFormat RecordFormatOf(const QString& path);

// The time as a record gives it: "2026-12-09T01:30:12.345+01:00".
QString RecordTime(const QDateTime& time);

// The first line of a CSV file, with its line end.
QByteArray CsvHeader();
// The record's line, with its line end.
QByteArray EncodeRecord(const ProductionRecord& record, RecordFormat format);
// The record a line holds, with or without its line end; none for a line cut
// short, a CSV header or anything else that is no record.
std::optional<ProductionRecord> DecodeRecord(const QByteArray& line, RecordFormat format);
