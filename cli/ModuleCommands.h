// The subcommands of melvix-module: each runs the window's sequences through
// a TModuleSession, prints what it found on stdout (text or JSON) and
// returns the program's exit status.
#pragma once

#include "CommandLine.h"

namespace cli {

enum ExitStatus
{
    Done = 0,
    ModuleNotFound = 1,
    ReadBackDiffers = 2,
    NotWritten = 3,
    UsageFault = 64,
    OutputFault = 74
};

int runCommand(const Settings& settings);

} // namespace cli
