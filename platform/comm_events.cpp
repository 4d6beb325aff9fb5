// Serial events: which ones a handle reports, and waiting for them.
#include "overlapped_completion.h"
#include "serial_device.h"

BOOL SetCommMask(HANDLE file, DWORD eventMask)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    device->events().setMask(eventMask);
    return TRUE;
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask)
{
    const auto device = platform::terminalFor(file, eventMask);
    if (!device)
        return FALSE;
    *eventMask = device->events().mask();
    return TRUE;
}

// On a handle opened with FILE_FLAG_OVERLAPPED and given a block, the wait
// completes at once only when an event is already there; otherwise it
// returns ERROR_IO_PENDING and the block's event is set when one comes, with
// the events written to *eventMask then. Without either, the call blocks.
// A mask of 0 means that SetCommMask ended the wait. Either way the count
// that GetOverlappedResult reports is the size of the mask, as on Windows.
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped)
{
    const auto device = platform::terminalFor(file);
    if (!device)
        return FALSE;
    DWORD error = ERROR_SUCCESS;
    if (overlapped && device->overlapped()) {
        switch (device->events().startWait(eventMask, overlapped, error)) {
        case platform::CommEventMonitor::Start::Completed:
            return TRUE;
        case platform::CommEventMonitor::Start::Pending:
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        case platform::CommEventMonitor::Start::Failed:
            SetLastError(error);
            return FALSE;
        }
    }
    DWORD events = 0;
    const bool ok = device->events().wait(events, error);
    if (eventMask)
        *eventMask = events;
    return platform::completeCall(ok, error, ok ? sizeof(DWORD) : 0, nullptr, overlapped);
}
