// modulesim: a radio module on a pseudo-terminal, for trying and showing the
// programmer without hardware.
#include "command_line.h"
#include "simulator.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv)
{
    modulesim::ProgramSettings settings;
    try {
        settings = modulesim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const modulesim::UsageError& error) {
        std::cerr << "modulesim: " << error.what() << "\nTry 'modulesim --help'.\n";
        return 2;
    }
    if (settings.helpWanted) {
        std::cout << modulesim::helpText();
        return 0;
    }

    if (const auto warning = modulesim::comNumberWarning(settings.comNumber))
        std::cerr << "modulesim: " << *warning << '\n';

    // Blocked before the simulator's thread exists, so that it inherits the
    // mask and the signals wait for sigwait below instead of killing the
    // process with the link left behind. SIGHUP comes when the terminal it
    // runs in is closed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        modulesim::Simulator simulator(settings.options);
        const std::string link = simulator.linkInto(settings.portDir, settings.comNumber);
        std::cout << "COM" << settings.comNumber << ": " << link << " -> " << simulator.devicePath()
                  << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
    } catch (const std::exception& error) {
        std::cerr << "modulesim: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
