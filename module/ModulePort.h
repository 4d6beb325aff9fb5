// One port and what talks to a module there: its own serial component, set
// up as the window's, a view that keeps what the sequences report, and the
// session over both, which collects replies as they come. Detection on every
// port at once, the batch and the production line hold each port so.
#pragma once

#include "ComPort.h"
#include "ModuleSession.h"
#include "Radiocom.h"
#include "RecordingView.h"

#include <memory>

struct ModulePort
{
    // A write command carries `channelToWrite`. With `fullReplyWaits` every
    // wait lasts the full reply wait, as the window's do.
    ModulePort(ComPort port, int generation, int channelToWrite, bool fullReplyWaits);
    // The session goes before the component, which must not call it then.
    ~ModulePort();
    ModulePort(const ModulePort&) = delete;
    ModulePort& operator=(const ModulePort&) = delete;

    const ComPort port;
    // Owned apart, so that a scan can hand the port it found over still open.
    std::unique_ptr<TRadioCom> com;
    RecordingView view;
    TModuleSession session;
};
