// The table that --all and write --each keep on a terminal: a row for each
// port with what its module is going through, under a line with the counts
// of modules programmed and failed and the rate per hour. It is redrawn in
// place as the batch tells its progress; lines printed meanwhile scroll
// above it.
#pragma once

#include "CommandLine.h"
#include "LineMode.h"
#include "Output.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <vector>

namespace cli {

class LiveTable final : public LineProgress, public ScreenFooter
{
public:
    // Shows the ports of --ports from the start, waiting; other ports get
    // their row when a module is found there.
    explicit LiveTable(const Settings& settings);
    // Ends the table if end() has not.
    ~LiveTable() override;
    LiveTable(const LiveTable&) = delete;
    LiveTable& operator=(const LiveTable&) = delete;

    void found(const BatchModule& module) override;
    bool mayWrite(BatchModule& module) override;
    void storing(const std::vector<BatchModule*>& modules, qint64 remainingMs) override;
    void finished(const BatchModule& module) override;
    void looking(const QList<int>& portIndices) override;
    void sameAddressFound(const BatchModule& held) override;

    // Draws the table a last time, with a port still waiting shown as
    // without a module, and leaves it on the screen under the lines printed
    // so far: what follows goes below it.
    void end();

    void erase() override;
    void draw() override;

private:
    enum class State
    {
        Waiting,
        Found,
        Reading,
        Writing,
        Programmed,
        Failed,
        NoModule
    };
    struct Row
    {
        // A port without a module.
        explicit Row(int port) : portIndex(port) {}

        int portIndex;
        State state = State::Waiting;
        QString address;
        int channel = 0;
        qint64 storingMs = 0;
        // Why it failed, in a few words.
        QString reason;
        // "address WUSB is also on COM6", when another module has its address.
        QString sameAddress;
    };

    Row& row(int portIndex);
    Row& row(const BatchModule& module);
    QString countsLine() const;
    QString rowLine(const Row& row) const;
    void redraw();

    const Settings& settings_;
    std::vector<Row> rows_;
    int programmed_ = 0;
    int failed_ = 0;
    QElapsedTimer running_;
    // The lines the table takes on the screen now.
    int linesDrawn_ = 0;
    bool ended_ = false;
};

} // namespace cli
