// What WaitCommEvent waits on for one device: new input (an edge, not a
// level: bytes that sit unread do not end further waits, bytes read before
// anyone looked still count as having come), the output queue draining after
// a write, modem-line changes and line errors where the driver reports them.
// It blocks without using the CPU until one of those happens.
//
// An overlapped wait that finds nothing yet stays pending and is completed by
// the monitor's own thread, as a driver completes it on Windows.
#pragma once

#include "modem_line_waiter.h"

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>

namespace platform {

class CommEventMonitor
{
public:
    // Fails (returns false) when the system gives no epoll or eventfd.
    bool attach(int fd);
    ~CommEventMonitor();

    DWORD mask() const;
    // A wait in progress ends successfully with no events.
    void setMask(DWORD mask);
    // A write has put bytes into the output queue.
    void noteWrite();
    // Reads from the input queue as ::read does. Under the monitor's lock, so
    // that the watcher never sees the queue between a read and its count.
    ssize_t readInput(void* buffer, std::size_t count);
    // Empties the input queue (tcflush's `queue`), counting what it held as
    // taken out, as readInput does.
    int purge(int queue);
    // The handle is closed: a wait in progress ends with a failure.
    void close();
    // Ends every wait and joins the monitor's threads; before the device's
    // descriptor is closed.
    void shutdown();

    // Waits for one of the events in the mask. False with `error` set when
    // the handle was closed or another wait is already in progress.
    bool wait(DWORD& events, DWORD& error);

    // An overlapped wait: completes at once when an event is there, else it
    // is left pending and completed later: the events in *eventMask, the
    // result in the OVERLAPPED block, its event set.
    enum class Start
    {
        Completed,
        Pending,
        Failed
    };
    Start startWait(LPDWORD eventMask, LPOVERLAPPED overlapped, DWORD& error);
    // Whether `overlapped` names a wait still pending; with `block`, first
    // waits until it is not.
    bool isPending(const OVERLAPPED* overlapped, bool block);

private:
    // How modem lines and line errors can be watched on this device.
    enum class LineWatch
    {
        None,
        Counters,
        ModemBits
    };
    struct LineState
    {
        int cts = 0, dsr = 0, rlsd = 0, ring = 0, brk = 0, errors = 0;
    };
    enum class Outcome
    {
        Events,
        Nothing,
        Failed
    };
    struct PendingWait
    {
        LPDWORD eventMask;
        LPOVERLAPPED overlapped;
        unsigned long changesAtStart;
    };

    bool readLines(LineState& state) const;
    DWORD lineEvents(DWORD mask);
    bool outputDrained() const;
    bool newInputArrived();
    void wake() const;
    // Looks for events, waiting up to `timeoutMs` (-1: until one comes), in
    // rounds of the steps below.
    Outcome collect(unsigned long changesAtStart, int timeoutMs, DWORD& events, DWORD& error);
    // What one round of collect() watches: the mask, and whether the output
    // queue's draining is awaited.
    struct Round
    {
        DWORD mask = 0;
        bool drainWatched = false;
    };
    // Under the lock: the round's settings; or the outcome when the wait ends
    // here, the handle closed or the mask changed since the wait began.
    std::optional<Outcome> beginRound(unsigned long changesAtStart, Round& round, DWORD& events,
                                      DWORD& error);
    // EV_TXEMPTY once a watched output queue has drained; until then the wait
    // is shortened to the next look. Takes the lock to mark the write done.
    DWORD drainEvent(bool drainWatched, int& waitMs);
    // The line events of the mask where the device reports them, with the line
    // waiter started the first time; where lines are sampled, the wait is
    // shortened to the next sample.
    DWORD watchedLineEvents(DWORD mask, int& waitMs);
    void startLineWaiter();
    // Waits up to `waitMs` for the device, a wake-up or the line waiter and
    // adds to `found` the events that ended the wait; false with `error` set
    // when the wait itself failed. Takes the lock only to measure the input.
    bool awaitWake(DWORD mask, int waitMs, DWORD& found, DWORD& error);
    void completePendingWaits();
    // Marks a wait begun, with the count of mask changes it starts from;
    // false with `error` set when the handle is closed or a wait is already
    // in progress.
    bool beginWait(unsigned long& changesAtStart, DWORD& error);
    // Marks the wait done on every path out of wait().
    struct WaitingGuard;

    // Set by attach, before any other thread sees the monitor.
    int fd_ = -1;
    int epoll_ = -1;
    int wake_ = -1;
    LineWatch lineWatch_ = LineWatch::None;
    // Waits for modem-line changes where the driver can, so that lines are
    // sampled only where it cannot. Touched by the thread that runs the wait
    // in progress, and by shutdown once no wait runs.
    std::unique_ptr<ModemLineWaiter> lineWaiter_;

    // Guards every member from here to the next blank line: the mask and its
    // changes, the wait in progress or pending, the write that EV_TXEMPTY
    // waits on, the closing and the input counts. Reads and purges of the
    // device hold it too, so that the input is never measured between a read
    // and its count. pendingChanged_ is waited on with it.
    mutable std::mutex mutex_;
    DWORD mask_ = 0;
    bool waiting_ = false;
    unsigned long maskChanges_ = 0;
    bool outputPending_ = false;
    bool closed_ = false;
    bool stopping_ = false;
    // The input queue's length when arrivals were last looked for, and what
    // has been read or purged since. Arrivals are what the queue grew by
    // beyond that; the driver may wake a waiter more than once for one.
    int inputSeen_ = 0;
    int inputTaken_ = 0;
    std::optional<PendingWait> pending_;
    std::condition_variable pendingChanged_;
    std::thread completer_;

    // Touched only by the one thread that runs the wait in progress.
    bool deviceGone_ = false;
    LineState lines_;
};

} // namespace platform
