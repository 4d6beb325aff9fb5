#include "DeferredSignals.h"

#include <array>
#include <atomic>
#include <csignal>
#include <pthread.h>

namespace {

constexpr std::array<int, 3> deferredSignals{SIGINT, SIGTERM, SIGHUP};

std::atomic<int> firstReceived{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

std::array<struct sigaction, deferredSignals.size()> previous{};
std::array<bool, deferredSignals.size()> installed{};

extern "C" void keepSignal(int signalNumber)
{
    int none = 0;
    firstReceived.compare_exchange_strong(none, signalNumber);
}

} // namespace

DeferredSignals::DeferredSignals()
{
    firstReceived.store(0);
    for (std::size_t i = 0; i < deferredSignals.size(); ++i) {
        sigaction(deferredSignals[i], nullptr, &previous[i]);
        installed[i] = false;
        if (previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action
        {
        };
        action.sa_handler = keepSignal;
        sigemptyset(&action.sa_mask);
        // The serial layer and Qt's sleeps resume after an interruption.
        action.sa_flags = SA_RESTART;
        installed[i] = sigaction(deferredSignals[i], &action, nullptr) == 0;
    }
}

DeferredSignals::~DeferredSignals()
{
    for (std::size_t i = 0; i < deferredSignals.size(); ++i) {
        if (installed[i])
            sigaction(deferredSignals[i], &previous[i], nullptr);
    }
}

int DeferredSignals::received() const
{
    return firstReceived.load();
}

void DeferredSignals::endProcessAsReceived() const
{
    const int signalNumber = received();
    if (signalNumber == 0)
        return;
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
