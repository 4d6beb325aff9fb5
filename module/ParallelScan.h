// Detection on every port at once: each port that opens gets its own serial
// component, whose watcher hands its events to the one event loop, and all
// of them are probed together in rounds of send, wait and decode.
#pragma once

#include "ModuleSession.h"
#include "PortSeen.h"
#include "Radiocom.h"
#include "RecordingView.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct ParallelScanResult
{
    // The lowest port index that answered, with what it answered.
    std::optional<int> portIndex;
    QString address;
    // As the reply carries it, a signed byte.
    int channel = 0;
    // The winning port's component, still open, so that no other program can
    // take the port between the scan and what follows. Its OnReceive is
    // unassigned: the new owner binds it before it lets events run.
    std::unique_ptr<TRadioCom> port;
    // What the scan saw at each port it tried, COM1 first; the ports that
    // could not be opened were diagnosed while the scan held all the others.
    QList<PortSeen> seen;
};

// Probes `portIndices` (COM1 to COM21 unless the user named others) with the
// read command, three rounds at most, and gives the lowest port that answers
// within those rounds, as the sequential scan would. `round` is told each
// round's number before it is sent. With `endWaitOnReply`, a round ends as
// soon as no lower port than one that answered is left to answer; otherwise
// it waits the full reply wait, as the window does. Closes every port but
// the winning one before it returns.
ParallelScanResult ScanPortsInParallel(const std::function<void(int round)>& round,
                                       bool endWaitOnReply = false,
                                       const QList<int>& portIndices = DetectedPortIndices());

// Asks the ports that opened but gave no usable answer once more, all at
// once, with the V4 read command, and marks those that answer it: a V4
// module does not answer the V5 read command that detection sends.
void AskInV4(QList<PortSeen>& seen, bool endWaitOnReply = false);

// What a probed port told, for the report: a decoded reply, an address that
// is not valid, bytes that match no reply layout, or nothing.
PortSeen ProbedPortSeen(int portIndex, const RecordingView& view, bool replyDecoded);
