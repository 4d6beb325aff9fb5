#include "TerminationSignals.h"

void TTerminationSignals::take(int signalNumber)
{
    if (received_ == 0)
        received_ = signalNumber;
    emit arrived(signalNumber);
}
