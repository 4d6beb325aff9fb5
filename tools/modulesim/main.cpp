// modulesim: a radio module on a pseudo-terminal or a socket, for trying,
// showing and testing the programmer without hardware.
#include "command_line.h"
#include "simulator.h"

#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <iostream>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

modulesim::UniqueFd connectTo(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("the socket path is too long: " + path);
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    modulesim::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid() ||
        connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot connect to " + path);
    return socket;
}

// Serves the socket until a stop signal comes or its far end closes it.
int serveSocket(const modulesim::ProgramSettings& settings, const sigset_t& stopSignals)
{
    modulesim::Simulator simulator(settings.options, connectTo(settings.socketPath),
                                   settings.socketPath);
    std::cout << "serving " << settings.socketPath << std::endl;
    std::thread signalWaiter([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        simulator.vanish();
    });
    simulator.waitUntilVanished();
    // Ends the signal waiter when the far end went first; a signal that
    // reaches it after it has finished stays blocked and is dropped.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    return 0;
}

// Started with a standard descriptor closed, the pseudo-terminal would take
// its number and the simulator's own messages would go to the program as
// bytes from the module: the null device takes each closed one first.
void openMissingStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return;
    }
}

} // namespace

int main(int argc, char** argv)
{
    openMissingStandardDescriptors();
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
        if (!settings.socketPath.empty())
            return serveSocket(settings, stopSignals);
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
