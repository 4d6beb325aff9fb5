// What a batch of modules tells as it goes. A record kept while the line runs
// must hold each write before the write goes out, and a table on a terminal
// shows what each port is doing, so both are told at the moment it happens
// rather than from the results at the end.
#pragma once

#include <QtGlobal>

#include <vector>

struct BatchModule;

class BatchProgress
{
public:
    virtual ~BatchProgress() = default;

    // The module answered the probe at its port; it is read further.
    virtual void found(const BatchModule&) {}
    // Just before the module's write command goes out. False keeps the
    // command from going out; the call then leaves the module the result
    // that says why.
    virtual bool mayWrite(BatchModule&) { return true; }
    // The modules written wait while they store the channel; told about every
    // tenth of a second with the time left.
    virtual void storing(const std::vector<BatchModule*>&, qint64 /*remainingMs*/) {}
    // The module's result is final: it was written and read back, or it was
    // not written and the result says why.
    virtual void finished(const BatchModule&) {}
};
