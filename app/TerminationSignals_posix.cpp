#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
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

// A pipe from the handler to the object's thread, and the handling that each
// signal had before.
struct TTerminationSignals::Catcher
{
    int readEnd = -1;
    int writeEnd = -1;
    std::array<struct sigaction, terminationSignals.size()> previous{};
    std::array<bool, terminationSignals.size()> installed{};
    std::unique_ptr<QSocketNotifier> notifier;
};

TTerminationSignals::TTerminationSignals(QObject* parent)
    : QObject(parent), catcher_(std::make_unique<Catcher>())
{
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    catcher_->readEnd = ends[0];
    catcher_->writeEnd = ends[1];
    signalPipe.store(catcher_->writeEnd);
    catcher_->notifier =
        std::make_unique<QSocketNotifier>(catcher_->readEnd, QSocketNotifier::Read);
    connect(catcher_->notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(catcher_->readEnd, &byte, 1) == 1)
            Take(byte);
    });

    for (std::size_t i = 0; i < terminationSignals.size(); ++i) {
        sigaction(terminationSignals[i], nullptr, &catcher_->previous[i]);
        if (catcher_->previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action
        {
        };
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        // Calls interrupted by the signal resume, so that no code of the
        // program has to expect EINTR because of it.
        action.sa_flags = SA_RESTART;
        catcher_->installed[i] = sigaction(terminationSignals[i], &action, nullptr) == 0;
    }
}

TTerminationSignals::~TTerminationSignals()
{
    for (std::size_t i = 0; i < terminationSignals.size(); ++i) {
        if (catcher_->installed[i])
            sigaction(terminationSignals[i], &catcher_->previous[i], nullptr);
    }
    signalPipe.store(-1);
    catcher_->notifier.reset();
    ::close(catcher_->readEnd);
    ::close(catcher_->writeEnd);
}

void TTerminationSignals::EndProcessAsReceived()
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
