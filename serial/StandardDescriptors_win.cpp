#include "StandardDescriptors.h"

// A serial port is a handle of its own on Windows, never one of the standard
// streams, whatever the program was started with.
void OpenMissingStandardDescriptors() {}
