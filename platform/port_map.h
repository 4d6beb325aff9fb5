// Windows numbers serial ports COM1, COM2, ...; Linux names devices. The port
// map joins the two: with MELVIX_PORT_DIR set, COMn is the entry "comn" of that
// directory (a link to any device) and nothing else; without it, COM1-COM4 are
// /dev/ttyS0-/dev/ttyS3 and COM5 upward the USB serial devices present,
// /dev/ttyUSB* then /dev/ttyACM*, each in numeric order. CreateFileA opens a
// port by its Windows name through the map, here, and keeps what the open met.
#pragma once

#include "serial_device.h"

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The path to open for `name`: a COM port name ("COMn" or "\\.\COMn", any
// case) through the port map, anything else unchanged. Empty when the name is
// a COM port that the map does not hold.
std::optional<std::string> resolvePortName(const std::string& name);

// The COM numbers that the map holds an entry for, in rising order.
std::vector<int> mappedPortNumbers();

// The entries of the port map directory that spell a COM port otherwise than
// "comn" ("COM5", "com03", "com0", a number above 9999), which the map does
// not resolve, sorted by name; none under the default map.
std::vector<std::string> misnamedPortEntries();

// The directory that MELVIX_PORT_DIR names, or nothing when the variable is
// unset and the default map holds. An empty value names no directory: the map
// holds nothing then.
std::optional<std::string> portMapDirectory();

// Opens `path` for reading and writing, without making it the controlling
// terminal, and locks it against every other open that locks, root's
// included. The descriptor, or -1 with `attempt` saying why; `info` is the
// device's status once it opened.
int openLocked(const std::string& path, OpenAttempt& attempt, struct stat& info);

// What the last CreateFileA of this thread met.
const OpenAttempt& lastOpenAttempt();

// Opens the device that the port name leads to as CreateFileA would, to see
// whether it can be opened, without changing its settings, and closes it.
OpenAttempt probePortName(const std::string& name);

} // namespace platform
