// melvix-module map: makes a port map directory whose COM numbers follow the
// adapters' sockets or serial numbers, and prints the table it made.
#pragma once

#include "CommandLine.h"

namespace cli {

int runPortMap(const Settings& settings);

} // namespace cli
