#include "TerminationSignals.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> terminationSignals{SIGTERM, SIGINT, SIGHUP};

// The pipe's write end for the handler; -1 while no object exists.
std::atomic<int> signalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

// Only async-signal-safe calls: one byte into a non-blocking pipe. A full
// pipe already holds enough to wake the reader, so a failed write loses
// nothing.
extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int fd = signalPipe.load();
    if (fd >= 0) [[maybe_unused]]
        const ssize_t written = ::write(fd, &byte, 1);
    errno = savedErrno;
}

} // namespace

TTerminationSignals::TTerminationSignals(QObject* parent) : QObject(parent)
{
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    signalPipe.store(writeEnd_);
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TTerminationSignals::takeArrivals);

    for (std::size_t i = 0; i < terminationSignals.size(); ++i) {
        sigaction(terminationSignals[i], nullptr, &previous_[i]);
        if (previous_[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action
        {
        };
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        // Calls interrupted by the signal resume, so that no code of the
        // program has to expect EINTR because of it.
        action.sa_flags = SA_RESTART;
        installed_[i] = sigaction(terminationSignals[i], &action, nullptr) == 0;
    }
}

TTerminationSignals::~TTerminationSignals()
{
    for (std::size_t i = 0; i < terminationSignals.size(); ++i) {
        if (installed_[i])
            sigaction(terminationSignals[i], &previous_[i], nullptr);
    }
    signalPipe.store(-1);
    notifier_.reset();
    ::close(readEnd_);
    ::close(writeEnd_);
}

void TTerminationSignals::endProcessAsReceived()
{
    if (received_ == 0)
        return;
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(received_, &action, nullptr);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, received_);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(received_);
}

void TTerminationSignals::takeArrivals()
{
    unsigned char byte = 0;
    while (::read(readEnd_, &byte, 1) == 1) {
        if (received_ == 0)
            received_ = byte;
        emit arrived(byte);
    }
}
