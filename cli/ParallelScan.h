// Detection on every port at once: each port that opens gets its own serial
// component, whose watcher hands its events to the one event loop, and all
// of them are probed together in rounds of send, wait and decode.
#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

struct ParallelScanResult
{
    // The lowest port index that answered, with what it answered.
    std::optional<int> portIndex;
    QString address;
    int channel = 0;
    // The port indices that could not be opened.
    QList<int> unopened;
};

// Probes port indices 0 to 20 with the read command, three rounds at most,
// and gives the lowest port that answers within those rounds, as the
// sequential scan would. `round` is told each round's number before it is
// sent. With `endWaitOnReply`, a round ends as soon as no lower port than
// one that answered is left to answer; otherwise it waits the full reply
// wait, as the window does. Closes every port before it returns.
ParallelScanResult ScanPortsInParallel(const std::function<void(int round)>& round,
                                       bool endWaitOnReply = false);
