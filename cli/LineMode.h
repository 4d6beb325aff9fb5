// The production line: module after module as each is plugged in, each
// written and verified once, until a stop signal.
#pragma once

#include "CommandLine.h"
#include "Failure.h"
#include "ModuleBatch.h"

#include <QString>

#include <functional>

namespace cli {

// What the line tells as it goes, beside what its batches tell: which ports
// it looks at for a new module, and a module held since before that turned
// out to share its address with one found now.
class LineProgress : public BatchProgress
{
public:
    // No module is held at these ports, rising; they are probed now.
    virtual void looking(const QList<int>& /*portIndices*/) {}
    // `held`'s sameAddressAt has grown.
    virtual void sameAddressFound(const BatchModule& /*held*/) {}
};

struct LineTally
{
    int programmed = 0;
    int failed = 0;
    // Left alone: the production record calls them programmed already.
    int alreadyProgrammed = 0;
};

// Waits for modules on COM1 to COM31 (or on the port of the settings) and
// writes the settings' channel to each as it is found, then holds its port
// until the module has gone: its device went away, or it left about a
// second's read commands in a row without an answer as itself. A module is
// thus written once however long it stays and however many answers its
// line drops, and the next module on the same port is new, whatever its
// address. A failed one is tried again only once it has gone and come back.
// Ports where no module answered, and ports held by another program or
// closed to this user, are probed again every second; what keeps a port from use is noted on stderr
// once. `report` is told each module once, with its running number, and
// returns false when the line is to stop, as when its output can no longer
// be written. A module with the address of another one held at the same
// time is not written; the one held before is noted on stderr. `progress`,
// when given, is told as the line goes. Returns when `report` said stop, or
// when a stop signal came, or at once with the reason when the ports cannot
// be watched.
Result<void> RunLine(const Settings& settings,
                     const std::function<bool(int number, const BatchModule& module)>& report,
                     LineTally& tally, LineProgress* progress = nullptr);

} // namespace cli
