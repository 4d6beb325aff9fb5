#include "SignalHandling.h"

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> TerminationSignals{SIGINT, SIGTERM, SIGHUP};

// What the handler reaches, set while an object exists. A handler may run on
// any thread at any moment, so these are lock-free atomics and nothing else.
std::atomic<int> firstReceived{0};
std::atomic<void (*)()> interruptHook{nullptr};
// The write end of the pipe to the object's thread; -1 when nobody listens.
std::atomic<int> arrivalPipe{-1};
// Handlers under way on any thread: the pipe is closed only once none of
// them can still be about to write to it.
std::atomic<int> handlersRunning{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
static_assert(std::atomic<void (*)()>::is_always_lock_free, "used from a signal handler");

// Only async-signal-safe calls. A full pipe already holds enough to wake its
// reader, so a failed write loses nothing.
extern "C" void catchSignal(int signalNumber)
{
    const int savedErrno = errno;
    handlersRunning.fetch_add(1);
    int none = 0;
    firstReceived.compare_exchange_strong(none, signalNumber);
    if (const auto interrupt = interruptHook.load())
        interrupt();
    if (const int fd = arrivalPipe.load(); fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    handlersRunning.fetch_sub(1);
    errno = savedErrno;
}

} // namespace

// The handling each signal had before, and the pipe that carries the signals
// to `arrived` when someone listens.
struct SignalHandling::Catcher
{
    // Copies are ruled out by the notifier.
    ~Catcher()
    {
        notifier.reset();
        if (readEnd >= 0) {
            ::close(readEnd);
            ::close(writeEnd);
        }
    }

    std::array<struct sigaction, TerminationSignals.size()> previous{};
    std::array<bool, TerminationSignals.size()> installed{};
    int readEnd = -1;
    int writeEnd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
};

SignalHandling::SignalHandling(SessionEnd, void (*interrupt)(),
                               std::function<void(int signalNumber)> arrived)
    : catcher_(std::make_unique<Catcher>())
{
    firstReceived.store(0);
    if (arrived) {
        std::array<int, 2> ends{};
        if (pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        catcher_->readEnd = ends[0];
        catcher_->writeEnd = ends[1];
        catcher_->notifier =
            std::make_unique<QSocketNotifier>(catcher_->readEnd, QSocketNotifier::Read);
        QObject::connect(catcher_->notifier.get(), &QSocketNotifier::activated,
                         catcher_->notifier.get(),
                         [fd = catcher_->readEnd, arrived = std::move(arrived)] {
                             unsigned char byte = 0;
                             while (::read(fd, &byte, 1) == 1)
                                 arrived(byte);
                         });
        arrivalPipe.store(catcher_->writeEnd);
    }
    interruptHook.store(interrupt);

    for (std::size_t i = 0; i < TerminationSignals.size(); ++i) {
        sigaction(TerminationSignals[i], nullptr, &catcher_->previous[i]);
        // As a shell asks of a program it starts in the background or under
        // nohup.
        if (catcher_->previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action
        {
        };
        action.sa_handler = catchSignal;
        sigemptyset(&action.sa_mask);
        // Calls interrupted by the signal resume, so that no code of the
        // program has to expect EINTR because of it; a wait that must end
        // is ended by `interrupt`.
        action.sa_flags = SA_RESTART;
        catcher_->installed[i] = sigaction(TerminationSignals[i], &action, nullptr) == 0;
    }
}

SignalHandling::~SignalHandling()
{
    for (std::size_t i = 0; i < TerminationSignals.size(); ++i) {
        if (catcher_->installed[i])
            sigaction(TerminationSignals[i], &catcher_->previous[i], nullptr);
    }
    interruptHook.store(nullptr);
    arrivalPipe.store(-1);
    // A handler that starts from now on finds no pipe; the catcher closes it
    // once none that may have found it still runs.
    while (handlersRunning.load() != 0)
        std::this_thread::yield();
}

int SignalHandling::received() const
{
    return firstReceived.load();
}

void SignalHandling::endProcessBy(int signalNumber)
{
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signalNumber);
}
