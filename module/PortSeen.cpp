#include "PortSeen.h"

#include "PortNumbers.h"
#include "RadioText.h"

#include <QMap>

#include <algorithm>

namespace {

bool Opened(const PortSeen& seen)
{
    return seen.outcome > PortSeen::Outcome::NotOpened;
}

} // namespace

QString OutcomeName(PortSeen::Outcome outcome)
{
    using Outcome = PortSeen::Outcome;
    switch (outcome) {
    case Outcome::NotTried:
        return QStringLiteral("not-tried");
    case Outcome::NotOpened:
        return QStringLiteral("not-opened");
    case Outcome::NoAnswer:
        return QStringLiteral("no-answer");
    case Outcome::UnreadableAnswer:
        return QStringLiteral("unreadable-answer");
    case Outcome::AddressRefused:
        return QStringLiteral("invalid-address");
    case Outcome::V4Answer:
        return QStringLiteral("v4-answer");
    case Outcome::Answered:
        return QStringLiteral("answered");
    }
    return {};
}

bool HasRadioData(const PortSeen& seen)
{
    return seen.outcome >= PortSeen::Outcome::AddressRefused;
}

PortDiagnosis DiagnoseListedPort(int portNumber)
{
    PortDiagnosis diagnosis = DiagnosePort(portNumber);
    if (portNumber > HighestOpenedPort && diagnosis.state != PortDiagnosis::State::NoDevice) {
        diagnosis.state = PortDiagnosis::State::Unusable;
        diagnosis.detail = QStringLiteral("above COM%1, the highest port this program opens")
                               .arg(HighestOpenedPort);
        diagnosis.holderPid = 0;
        diagnosis.holderName.clear();
    }
    return diagnosis;
}

PortSeen NotOpenedSeen(const PortOpening& opening)
{
    return {opening.port.number,
            PortSeen::Outcome::NotOpened,
            DiagnoseOpening(opening),
            {},
            0,
            opening};
}

QString UnusedPortNote(const PortSeen& seen)
{
    if (seen.outcome == PortSeen::Outcome::NotOpened)
        return SkippedAsBusyOrRefused(seen) ? QStringLiteral("skipped ") + DescribeSeen(seen)
                                            : QString();
    return seen.outcome == PortSeen::Outcome::NoAnswer ? QString() : DescribeSeen(seen);
}

bool SkippedAsBusyOrRefused(const PortSeen& seen)
{
    using State = PortDiagnosis::State;
    return seen.outcome == PortSeen::Outcome::NotOpened &&
           (seen.diagnosis.state == State::Busy || seen.diagnosis.state == State::PermissionDenied);
}

void CompleteReport(QList<PortSeen>& seen, bool withUntried)
{
    for (PortSeen& port : seen) {
        if (!Opened(port))
            continue;
        // The scan opened it: only where it led is wanted.
        port.diagnosis = DiagnoseOpening(port.opening);
    }
    if (!withUntried)
        return;
    for (const int number : ListedPortNumbers()) {
        const bool known = std::any_of(seen.begin(), seen.end(), [number](const PortSeen& port) {
            return port.portNumber == number;
        });
        if (!known)
            seen.append(
                {number, PortSeen::Outcome::NotTried, DiagnoseListedPort(number), {}, 0, {}});
    }
}

QString DescribeSeen(const PortSeen& seen)
{
    using Outcome = PortSeen::Outcome;
    const QString label = PortLabel(seen.diagnosis);
    const QString port = ComPort{seen.portNumber}.name();
    const QString data = RadioDataText(seen.address, seen.channelValue);
    switch (seen.outcome) {
    case Outcome::NotTried:
        if (seen.diagnosis.state != PortDiagnosis::State::Available)
            return DescribePort(seen.diagnosis);
        return QStringLiteral("%1: not tried, detection tries COM1 to COM%2: use --port %3")
            .arg(label)
            .arg(HighestDetectedPort)
            .arg(port);
    case Outcome::NotOpened:
        return DescribePort(seen.diagnosis);
    case Outcome::NoAnswer:
        return label + QStringLiteral(": opened, but no answer to the read command");
    case Outcome::UnreadableAnswer:
        return label + QStringLiteral(": answered, but with bytes that match no reply layout");
    case Outcome::AddressRefused:
        return QStringLiteral("%1: answered with %2, which is not valid: an address starts with W")
            .arg(label, data);
    case Outcome::V4Answer:
        return QStringLiteral("%1: answered like a V4 module (%2): try --generation v4 --port %3")
            .arg(label, data, port);
    case Outcome::Answered:
        return QStringLiteral("%1: %2").arg(label, data);
    }
    return {};
}

QStringList ReportLines(const QList<PortSeen>& seen)
{
    QStringList lines;
    // Ports with nothing behind their names, by why (an unusable port map, or
    // nothing more to say), each kind on one line at the end.
    QMap<QString, QStringList> empty;
    for (const PortSeen& port : seen) {
        if (port.diagnosis.state == PortDiagnosis::State::NoDevice && !Opened(port))
            empty[port.diagnosis.detail].append(ComPort{port.portNumber}.name());
        else
            lines.append(DescribeSeen(port));
    }
    for (auto group = empty.cbegin(); group != empty.cend(); ++group)
        lines.append(NoDeviceLine(group.value(), group.key()));
    return lines;
}
