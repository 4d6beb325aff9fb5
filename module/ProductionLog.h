// The production record of a line: a file of records, one a line, that one
// station or several append to as modules are read and written (see
// ProductionRecord). A write's Started record is on disk before its command
// goes out, so that no module is ever programmed without a trace, whatever
// becomes of the program after; its Result record follows the read-back.
//
// The log remembers the modules its result records call verified, those in
// the file when it was opened and those appended since, so that a module
// already programmed is not written again.
#pragma once

#include "Failure.h"
#include "ProductionRecord.h"
#include "SharedAppendFile.h"

#include <QHash>
#include <QString>

#include <optional>

class ProductionLog
{
public:
    // Opens the file, creating it, and with `readVerified` reads the
    // verified modules of its records (a year of a line's records takes
    // seconds); `version` goes into every record.
    static Result<ProductionLog> open(const QString& path, const QString& version,
                                      bool readVerified);

    // Appends the record, stamped with the time, host, user and version.
    // Once an append has failed the log takes none more: failure() says why.
    Result<void> append(ProductionRecord record);
    const std::optional<Failure>& failure() const { return failure_; }

    // The time of the latest Result record that calls the module with this
    // address (as records write it) verified with this channel; empty when
    // there is none.
    QString programmedAt(const QString& address, int channel) const;

    const QString& path() const { return path_; }

private:
    ProductionLog(QString path, SharedAppendFile file, const QString& version);
    Result<void> readVerified();
    void remember(const ProductionRecord& record);

    QString path_;
    RecordFormat format_;
    SharedAppendFile file_;
    QString host_;
    QString user_;
    QString version_;
    QHash<std::pair<QString, int>, QString> verified_;
    std::optional<Failure> failure_;
};
