// Many modules at once: each port that opens gets its own serial component
// and session, all on this thread's one event loop. They are probed, written
// and read back together, with one wait for all where the window waits for
// each, so a batch takes about as long as one module.
#pragma once

#include "BatchProgress.h"
#include "LineSettings.h"
#include "ModulePort.h"
#include "ModuleSession.h"
#include "PortSeen.h"
#include "PortWatcher.h"
#include "Radiocom.h"
#include "RecordingView.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

struct BatchModule : ModulePort
{
    enum class Result
    {
        // Answered the probe; nothing written.
        Found,
        Verified,
        ReadBackDiffers,
        // Nothing was sent: the address holds a zero byte, which a write
        // command cannot carry back unchanged.
        NotWritten,
        // Nothing was sent: no two consecutive answers agreed, so the
        // address to send back was not known for sure.
        Unconfirmed,
        // Nothing was sent: the module stopped answering before its address
        // was confirmed.
        StoppedAnswering,
        // The read-back shows another address than the one sent.
        AddressChanged,
        // The answers to the read-back disagree with what was sent and with
        // each other.
        ReadBackUnclear,
        NoReadBack,
        // The device went away before the write command had gone out whole.
        NotSent,
        // The device went away after the write command was sent.
        Gone,
        // Nothing was sent: another module held at the same time has this
        // address. Two modules of one address disturb each other wherever
        // they are used together, so neither leaves the line as programmed.
        SameAddress,
        // Nothing was sent: the production record says that the module was
        // programmed with this channel already (at programmedAt).
        AlreadyProgrammed,
        // Nothing was sent: the record that must precede the write could not
        // be written.
        NotLogged
    };

    BatchModule(ComPort port, const LineSettings& settings);

    // The device the port led to when it was opened.
    QString device;
    // What the module answered when it was found, and once confirmed
    // before a write, the reading confirmed.
    QString foundAddress;
    // As the reply carries it, a signed byte.
    int foundChannel = 0;
    // Before a write, the readings that confirm the address; after it,
    // those of the read-back.
    ReadingConfirmation readings;
    // The whole write command went out.
    bool sent = false;
    Result result = Result::Found;
    // The port indices of the other modules, held at the same time, that
    // answered with this module's address, rising.
    QList<int> sameAddressAt;
    // With AlreadyProgrammed: the time of the record that says so.
    QString programmedAt;
};

// Whether the device `opened` behind the port is gone, as when an adapter is
// pulled out: the port map no longer leads to a device, or, on the default
// map, to another adapter that took the pulled one's number. Looks without
// opening anything.
bool DeviceGone(int portIndex, const QString& opened);

class ModuleBatch
{
public:
    // `progress`, when given, is told of each module as the batch goes, and
    // must outlive the batch.
    explicit ModuleBatch(const LineSettings& settings, BatchProgress* progress = nullptr)
        : settings_(settings), progress_(progress ? progress : &noProgress_)
    {}

    // Opens these port indices as the scan does, pausing once after all.
    // Those that do not open are kept in unopened, with what their open met.
    void open(const QList<int>& portIndices);
    // Up to three read commands to every open port, together, until each has
    // answered. Ports that gave no usable answer are closed and kept in
    // silent with what they answered; the others stay open, in modules, by
    // rising port index.
    void probe();
    // Confirms each module's address with more reads together, then sends
    // the channel of the settings to every module whose address was
    // confirmed and is not that of another module here or `beside` (the
    // modules held on the line with these), pauses once for all and reads
    // them back together. A module beside that shares an address with one
    // here has that one's port added to its sameAddressAt.
    void writeAll(const std::vector<BatchModule*>& beside = {});
    // For modules that came while `watcher` waited: adds those plugged in a
    // moment after them. Waits SettleMs, and while ports changed meanwhile,
    // opens and probes the ports without a module and waits again, until a
    // look finds no more.
    void takeLateModules(PortWatcher& watcher);

    // The ports a batch tries: every port the serial component opens.
    static QList<int> reachablePorts();
    // Those of them that the settings allow.
    static QList<int> allowedPorts(const LineSettings& settings);
    // The ports of the port map above those, with a device behind them: a
    // batch cannot reach them.
    static QList<PortDiagnosis> portsOutOfReach();

    // Read commands in rounds to the modules given until each has decoded a
    // reply or three rounds have passed.
    static void readTogether(const std::vector<BatchModule*>& modules,
                             const LineSettings& settings);

    std::vector<std::unique_ptr<BatchModule>> modules;
    QList<PortSeen> unopened;
    QList<PortSeen> silent;

private:
    // Reads the modules together in rounds, adding each answer to the
    // module's readings, until `settled` holds for a module or its readings
    // want no more. Returns those that stopped answering.
    std::vector<BatchModule*>
    readUntilSettled(const std::vector<BatchModule*>& modules,
                     const std::function<bool(const BatchModule&)>& settled) const;
    // Leaves in `writable` the modules whose address two consecutive
    // readings confirm; the others get their result.
    void confirmAddresses(std::vector<BatchModule*>& writable) const;
    // The result of a module written, from its read-back's readings.
    void judgeReadBack(BatchModule& module) const;
    // What a module written should read back.
    RadioReading sentReading(const BatchModule& module) const;
    // Fills in each module's sameAddressAt from the others here and those
    // beside, and adds this batch's ports to those beside that share their
    // address.
    void markSameAddresses(const std::vector<BatchModule*>& beside);
    // Waits the module's time to store the channel, telling the progress.
    void awaitStoring(const std::vector<BatchModule*>& written) const;

    const LineSettings& settings_;
    BatchProgress noProgress_;
    BatchProgress* progress_;
};
