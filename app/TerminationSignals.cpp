#include "TerminationSignals.h"

void TTerminationSignals::Take(int signalNumber)
{
    if (received_ == 0)
        received_ = signalNumber;
    emit Arrived(signalNumber);
}
