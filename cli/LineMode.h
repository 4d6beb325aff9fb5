// The production line: module after module as each is plugged in, each
// written and verified once, until a stop signal.
#pragma once

#include "CommandLine.h"
#include "ModuleBatch.h"

#include <QString>

#include <functional>

namespace cli {

struct LineTally
{
    int programmed = 0;
    int failed = 0;
};

// Waits for modules on COM1 to COM21 (or on the port of the settings) and
// writes the settings' channel to each as it is found, then holds its port
// until the module has gone: its port went away, or it stopped answering or
// answers with another address. A module is thus written once however long
// it stays, and a failed one is tried again only once it has been plugged
// in anew. `report` is told each module once, with its running number, and
// returns false when the line is to stop, as when its output can no longer
// be written. Returns then, or when a stop signal came, or at once with the
// reason when the ports cannot be watched.
QString RunLine(const Settings& settings,
                const std::function<bool(int number, const BatchModule& module)>& report,
                LineTally& tally);

} // namespace cli
