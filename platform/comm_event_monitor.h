// What WaitCommEvent waits on for one device: new input (an edge, not a
// level: bytes that sit unread do not end further waits), the output queue
// draining after a write, modem-line changes and line errors where the driver
// reports them. It blocks without using the CPU until one of those happens.
#pragma once

#include <windows.h>

#include <mutex>

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
    // Bytes have left the input queue, read or purged.
    void noteRead(DWORD count);
    void notePurge();
    // The handle is closed: a wait in progress ends with a failure.
    void close();

    // Waits for one of the events in the mask. False with `error` set when
    // the handle was closed or another wait is already in progress.
    bool wait(DWORD& events, DWORD& error);

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

    bool readLines(LineState& state) const;
    DWORD lineEvents(DWORD mask);
    bool outputDrained() const;
    bool newInputArrived();
    void wake() const;
    // Marks the wait done on every path out of wait().
    struct WaitingGuard;

    int fd_ = -1;
    int epoll_ = -1;
    int wake_ = -1;
    LineWatch lineWatch_ = LineWatch::None;

    mutable std::mutex mutex_; // guards every member from here to the next comment
    DWORD mask_ = 0;
    bool waiting_ = false;
    unsigned long maskChanges_ = 0;
    bool outputPending_ = false;
    bool closed_ = false;
    // The input queue's length when arrivals were last reported, less what
    // has been read since. The driver may wake a waiter more than once for
    // one arrival; only a longer queue than this means new bytes.
    int inputReported_ = 0;

    // Touched only by the one thread inside wait().
    bool deviceGone_ = false;
    LineState lines_;
};

} // namespace platform
