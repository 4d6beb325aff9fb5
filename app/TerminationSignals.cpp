#include "TerminationSignals.h"

// On Windows a closed console, log-off or shut-down is held in the handler as
// well, so that the window closes and releases the port before the process
// ends.
TTerminationSignals::TTerminationSignals(QObject* parent)
    : QObject(parent), handling_(SignalHandling::SessionEnd::AwaitEnd,
                                 [this](int signalNumber) { Take(signalNumber); })
{}

void TTerminationSignals::Take(int signalNumber)
{
    if (received_ == 0)
        received_ = signalNumber;
    emit Arrived(signalNumber);
}

void TTerminationSignals::EndProcessAsReceived()
{
    if (received_ != 0)
        SignalHandling::endProcessBy(received_);
}
