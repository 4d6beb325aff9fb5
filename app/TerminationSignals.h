// SIGTERM, SIGINT and SIGHUP (kill, Ctrl+C in the starting terminal, the end
// of the session) must not end the process on the spot: the serial port it
// holds would keep its exclusive mark, and every later open by an ordinary
// user would fail. While an object of this class exists, such a signal is
// carried to the user-interface thread instead, where the program ends the way
// closing its window ends it, and only then ends the process.
//
// On Windows the same requests reach a program through its console's control
// events (Ctrl+C, the console closed, log-off, shut-down); they are carried
// the same way and given the numbers of the signals they stand for.
#pragma once

#include "SignalHandling.h"

#include <QObject>

class TTerminationSignals : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers; a signal that the process was started with
    // ignored (nohup ignores SIGHUP) stays ignored. At most one object may
    // exist at a time. Throws std::system_error when the signals cannot be
    // caught or carried to this object's thread.
    explicit TTerminationSignals(QObject* parent = nullptr);
    // Gives the signals back the handling they had before.
    ~TTerminationSignals() override = default;
    TTerminationSignals(const TTerminationSignals&) = delete;
    TTerminationSignals& operator=(const TTerminationSignals&) = delete;

    // The first signal received so far, 0 when none.
    int Received() const { return received_; }

    // Restores the signal's default action and raises it, so that whoever
    // started the process sees it ended by that signal (a shell then stops a
    // script on Ctrl+C). Returns only when no signal was received.
    void EndProcessAsReceived();

signals:
    // Emitted on the thread that created the object, once per signal.
    void Arrived(int signalNumber);

private:
    // Runs on this object's thread for each signal that was carried to it.
    void Take(int signalNumber);

    int received_ = 0;
    // Last, so that the signals are let go before the rest of the object.
    SignalHandling handling_;
};
