// The command line of the modulesim program.
#pragma once

#include "options.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace modulesim {

struct ProgramSettings
{
    Options options;
    std::string portDir;
    int comNumber = 0;
    // Serve the Unix socket at this path instead of a pseudo-terminal of its
    // own; no port map link is made then.
    std::string socketPath;
    bool helpWanted = false;
};

// A command line the program cannot run with; what() says why.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// `arguments` leaves out the program name. Throws UsageError.
ProgramSettings parseCommandLine(const std::vector<std::string>& arguments);

std::string_view helpText();

// The programmer looks for a module on COM1 to COM21 only.
constexpr int highestScannedCom = 21;

// What to tell the user about a COM number the programmer never looks at.
std::optional<std::string> comNumberWarning(int comNumber);

} // namespace modulesim
