// What the module sequences need from whoever shows them: where status texts,
// log lines, decoded radio data and errors go, and where the module
// generation and the values to write come from. The window implements it with
// its controls, the command line with its output and arguments.
#pragma once

#include "PortOpening.h"

#include <QList>
#include <QString>

class TModuleView
{
public:
    virtual ~TModuleView() = default;

    // The three status texts: module presence, serial port and speed.
    virtual void SetStatus(const QString& status, const QString& port, const QString& speed) = 0;
    virtual void AppendLog(const QString& line) = 0;
    // A decoded reply's address and channel; a V5 Read clears them first with
    // an empty address and channel 0.
    virtual void ShowRadioData(const QString& address, int channel) = 0;
    // A value the user has to correct before a write can go out.
    virtual void ShowError(const QString& message) = 0;

    // 0 is V4, any other value V5.
    virtual int Generation() const = 0;
    // The address and the channel a write command carries.
    virtual QString Address() const = 0;
    virtual int Channel() = 0;

    // The scan is about to try the port of this index.
    virtual void TryingPort(int /*portIndex*/) {}
    // The scan tried to open the port it is trying: whether it opened, and
    // what the open met.
    virtual void PortTried(const PortOpening& /*opening*/) {}
    // A reply matched a layout but was refused: its address does not start
    // with the address initial.
    virtual void ReplyRefused(const QString& /*address*/, int /*channel*/) {}
    // A write was about to send back the address shown, but the module's
    // answers did not confirm it: nothing was written.
    virtual void AnswersDisagree() {}
    // A scan has tried every port and found no module; these opens failed.
    virtual void NothingFound(const QList<PortOpening>& /*unopened*/) {}
};
