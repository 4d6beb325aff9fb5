// The command line of melvix-module: a subcommand and its options, checked
// completely before anything touches a port.
#pragma once

#include "ComPort.h"
#include "Failure.h"
#include "LineSettings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum class Command
{
    Ports,
    Detect,
    Read,
    Write,
    Map
};

struct Settings : LineSettings
{
    Command command = Command::Ports;
    bool json = false;
    bool parallel = false;
    // Every module on COM1 to COM21 at once.
    bool all = false;
    // When no module is found, wait for a port to appear or change and try
    // again, for at most waitLimitMs when that is given.
    bool wait = false;
    std::optional<int> waitLimitMs;
    // write: program module after module as they are plugged in.
    bool each = false;
    // --log: the production record's file.
    std::optional<std::string> logPath;
    // write: writes a module that the record calls programmed already.
    bool again = false;
    // The port that --port names.
    std::optional<ComPort> port;
    // map: the port map directory to make, and whether its COM numbers
    // follow the adapters' serial numbers rather than their sockets.
    std::string mapDirectory;
    bool mapById = false;
    bool helpWanted = false;
    bool versionWanted = false;
};

// `arguments` leaves out the program name. A command line the program will
// not run is a failure whose text says why in one line.
Result<Settings> parseCommandLine(const std::vector<std::string>& arguments);

// The port "COMn" (any case) names, n from 1 to 31; nullopt otherwise.
std::optional<ComPort> parsePortName(std::string_view name);
// The port indices, rising and each once, that a list such as
// "COM5-COM12,com14" names: port names and ranges of them, separated by
// commas; nullopt for a list that is malformed or names a port out of
// reach. `reversed` is set for a range that runs backwards.
std::optional<QList<int>> parsePortList(std::string_view list, bool* reversed = nullptr);
// The ports of a list as a user reads them: "COM5-COM12, COM14".
QString portListText(const QList<int>& portIndices);
// A channel from 1 to 83, written in decimal digits only; nullopt otherwise.
std::optional<int> parseChannel(std::string_view text);

std::string_view helpText();

} // namespace cli
