// What melvix-module writes to the production record with --log: a Started
// record before each write command goes out and a Result record after its
// read-back, a Read record for each module only read, or left unwritten;
// and the guard that leaves unwritten a module that the record calls
// programmed with the channel asked already, unless --again is given.
#pragma once

#include "BatchProgress.h"
#include "CommandLine.h"
#include "ModuleBatch.h"
#include "ProductionLog.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <optional>

namespace cli {

class ProductionRecording : public BatchProgress
{
public:
    // The result words of the records, beside "verified".
    static constexpr char ReadResult[] = "read";
    static constexpr char AlreadyProgrammedResult[] = "already-programmed";

    ProductionRecording(ProductionLog& log, const Settings& settings);

    void found(const BatchModule& module) override;
    bool mayWrite(BatchModule& module) override;
    void finished(const BatchModule& module) override;

    // A module of detect or read --all.
    void recordRead(const BatchModule& module);

    // A module on a port of its own, outside a batch: what is known of it.
    ProductionRecord moduleRecord(ProductionRecord::Kind kind, int portIndex, const QString& device,
                                  const QString& address, int channelValue) const;
    // Appends the record, its duration measured since `since`; false, said
    // once on stderr, when it could not be written.
    bool append(ProductionRecord record, const QElapsedTimer& since);

    // When the module with this (confirmed) address was programmed with the
    // channel asked, as the record says; empty when it was not, or with
    // --again.
    QString programmedAt(const QString& address) const;

    // A record could not be written: the line stops, and the program ends
    // with the output error status.
    bool failed() const { return log_.failure().has_value(); }

private:
    ProductionRecord batchRecord(ProductionRecord::Kind kind, const BatchModule& module) const;
    bool append(ProductionRecord record, const BatchModule& module);

    ProductionLog& log_;
    const Settings& settings_;
    // Since each module of a batch was found.
    QHash<const BatchModule*, QElapsedTimer> clocks_;
    // The Started records written, of the modules not finished yet.
    QHash<const BatchModule*, ProductionRecord> started_;
    bool failureSaid_ = false;
};

} // namespace cli
