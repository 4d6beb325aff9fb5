// Many modules at once: each port that opens gets its own serial component
// and session, all on this thread's one event loop. They are probed, written
// and read back together, with one wait for all where the window waits for
// each, so a batch takes about as long as one module.
#pragma once

#include "CommandLine.h"
#include "ModuleSession.h"
#include "PortWatcher.h"
#include "Radiocom.h"
#include "RecordingView.h"

#include <QList>
#include <QString>

#include <memory>
#include <vector>

namespace cli {

struct BatchModule
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
        NoReadBack,
        // The device went away before the write command had gone out whole.
        NotSent,
        // The device went away after the write command was sent.
        Gone
    };

    BatchModule(int portIndex, const Settings& settings);
    // The session goes before the component, which must not call it then.
    ~BatchModule() { com.SetOnReceive({}); }
    BatchModule(const BatchModule&) = delete;
    BatchModule& operator=(const BatchModule&) = delete;

    const int portIndex;
    // The device the port led to when it was opened.
    QString device;
    TRadioCom com;
    RecordingView view;
    TModuleSession session;
    // What the module answered when it was found.
    QString foundAddress;
    // As the reply carries it, a signed byte.
    int foundChannel = 0;
    // The whole write command went out.
    bool sent = false;
    Result result = Result::Found;
};

// The exit status a module's result calls for.
int ExitStatusOf(BatchModule::Result result);

// Whether the device `opened` behind the port is gone, as when an adapter is
// pulled out: the port map no longer leads to a device, or, on the default
// map, to another adapter that took the pulled one's number.
bool DeviceGone(int portIndex, const QString& opened);

class ModuleBatch
{
public:
    explicit ModuleBatch(const Settings& settings) : settings_(settings) {}

    // Opens these port indices as the scan does, pausing once after all.
    // Those that do not open are kept in unopened.
    void Open(const QList<int>& portIndices);
    // Up to three read commands to every open port, together, until each has
    // answered. Ports that gave no answer are closed and kept in silent; the
    // others stay open, in modules, by rising port index.
    void Probe();
    // The channel of the settings to every module, one pause for all, and
    // the read-back of all together.
    void WriteAll();
    // For modules that came while `watcher` waited: adds those plugged in a
    // moment after them. Waits SettleMs, and while ports changed meanwhile,
    // opens and probes the ports without a module and waits again, until a
    // look finds no more.
    void TakeLateModules(PortWatcher& watcher);

    // Read commands in rounds to the modules given until each has decoded a
    // reply or three rounds have passed.
    static void ReadTogether(const std::vector<BatchModule*>& modules, const Settings& settings);

    std::vector<std::unique_ptr<BatchModule>> modules;
    QList<int> unopened;
    QList<int> silent;

private:
    const Settings& settings_;
};

} // namespace cli
