// One observer of a batch or line that tells two: the production record,
// which may hold a write back, and the live table, which only shows. Either
// may be missing.
#pragma once

#include "LineMode.h"

namespace cli {

class ProgressFanOut : public LineProgress
{
public:
    ProgressFanOut(BatchProgress* record, LineProgress* table) : record_(record), table_(table) {}

    void found(const BatchModule& module) override
    {
        if (record_)
            record_->found(module);
        if (table_)
            table_->found(module);
    }
    // The record alone decides: a write it could not note must not go out.
    bool mayWrite(BatchModule& module) override
    {
        if (record_ && !record_->mayWrite(module))
            return false;
        return !table_ || table_->mayWrite(module);
    }
    void storing(const std::vector<BatchModule*>& written, qint64 remainingMs) override
    {
        if (record_)
            record_->storing(written, remainingMs);
        if (table_)
            table_->storing(written, remainingMs);
    }
    void finished(const BatchModule& module) override
    {
        if (record_)
            record_->finished(module);
        if (table_)
            table_->finished(module);
    }
    void looking(const QList<int>& portIndices) override
    {
        if (table_)
            table_->looking(portIndices);
    }
    void sameAddressFound(const BatchModule& held) override
    {
        if (table_)
            table_->sameAddressFound(held);
    }

private:
    BatchProgress* record_;
    LineProgress* table_;
};

} // namespace cli
