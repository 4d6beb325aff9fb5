// melvix-module: the radio module from the command line, with the window's
// own sequences, for scripts, benches and users whose module is not found.
#include "CommandLine.h"
#include "ModuleCommands.h"
#include "Output.h"
#include "StandardDescriptors.h"
#include "Terminal.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int run(int argc, char** argv)
{
    const Result<cli::Settings> parsed =
        cli::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed) {
        std::fprintf(stderr, "melvix-module: %s (see melvix-module --help)\n",
                     parsed.failure().text.toLocal8Bit().constData());
        return cli::UsageFault;
    }
    const cli::Settings& settings = parsed.value();
    if (settings.helpWanted) {
        // Longer than the stream's buffer, the text meets a full disk or a
        // closed pipe here already, and the last flush would no longer know
        // why.
        if (std::fputs(cli::helpText().data(), stdout) == EOF) {
            ReportOutputError(errno);
            std::clearerr(stdout);
            return cli::OutputFault;
        }
        return cli::Done;
    }
    if (settings.versionWanted) {
        std::puts("melvix-module " MELVIX_VERSION);
        return cli::Done;
    }
    // The serial watchers hand their events to this thread's event loop.
    QCoreApplication application(argc, argv);
    return cli::runCommand(settings);
}

} // namespace

int main(int argc, char** argv)
{
    OpenMissingStandardDescriptors();
    ReportBrokenPipesAsErrors();
    const int status = run(argc, argv);
    // Output that was lost is a failure, whatever the command did.
    return StandardOutputWritten() ? status : cli::OutputFault;
}
