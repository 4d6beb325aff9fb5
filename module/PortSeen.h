// What a scan saw at one port, for the report of a scan that found no module
// and for the notes about ports it passed over: why a port could not be
// opened, found at the moment the open failed, or what it answered.
#pragma once

#include "PortDiagnosis.h"

#include <QList>
#include <QString>

struct PortSeen
{
    // In rising order of what was learnt: a later observation at the same
    // port replaces an earlier one only when it tells more.
    enum class Outcome
    {
        NotTried,
        NotOpened,
        NoAnswer,
        UnreadableAnswer,
        AddressRefused,
        V4Answer,
        Answered
    };

    int portNumber = 0;
    Outcome outcome = Outcome::NotTried;
    // For NotOpened, why; for the others the device, with the state found
    // when the report was made.
    PortDiagnosis diagnosis;
    // For AddressRefused, V4Answer and Answered: what the port answered.
    QString address;
    int channelValue = 0;
    // What the scan's open of the port met.
    PortOpening opening;

    void raise(Outcome to)
    {
        if (to > outcome)
            outcome = to;
    }
};

// The port COM<portNumber> as `ports` shows it: the diagnosis, and for a
// number above COM31 that the port map holds, unusable.
PortDiagnosis DiagnoseListedPort(int portNumber);

// What a scan saw at a port that it could not open: why, from what the open
// met.
PortSeen NotOpenedSeen(const PortOpening& opening);

// Whether the port was passed over because another program held it or the
// user may not open it.
bool SkippedAsBusyOrRefused(const PortSeen& seen);

// The note on a port that a batch of modules could not use, empty when there
// is nothing to say: one passed over as SkippedAsBusyOrRefused tells, or one
// that answered, but not as a module of the generation.
QString UnusedPortNote(const PortSeen& seen);

// Completes what a scan that found nothing saw: the device behind each port
// that opened, as its open reached it, and, unless `withUntried` is false
// because the user named the ports to use, the ports of the map that
// detection does not try.
void CompleteReport(QList<PortSeen>& seen, bool withUntried = true);

// One line for the report.
QString DescribeSeen(const PortSeen& seen);
// A short stable name of the outcome, for machine-readable output.
QString OutcomeName(PortSeen::Outcome outcome);
// Whether the port answered with radio data: address and channel are set.
bool HasRadioData(const PortSeen& seen);
// The report's lines: one per port with something to say, then one for all
// the ports with no device.
QStringList ReportLines(const QList<PortSeen>& seen);
