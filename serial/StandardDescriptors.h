// A program started with its standard input, output or error closed would
// get a serial port as descriptor 0, 1 or 2 when it opens one, and then send
// its own messages to the module. Each program calls this first thing, before
// it opens anything.
#pragma once

// Opens the null device on each of the three standard descriptors that is
// closed.
void OpenMissingStandardDescriptors();
