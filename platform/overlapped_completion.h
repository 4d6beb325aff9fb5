// How every call of this layer that takes an OVERLAPPED block completes it,
// whether it finished before returning or later on the event monitor's thread.
#pragma once

#include <windows.h>

namespace platform {

// Leaves the final status (0 for success, else an error code) in Internal and
// the count in InternalHigh, then sets the block's event, as a driver
// completes an overlapped request. Does nothing without a block.
void completeOverlapped(LPOVERLAPPED overlapped, DWORD status, DWORD transferred);

// The end of a call that completed before returning: the count to the caller
// and the block, then TRUE, or FALSE with `error` kept for GetLastError.
BOOL completeCall(bool ok, DWORD error, DWORD transferred, LPDWORD transferredOut,
                  LPOVERLAPPED overlapped);

} // namespace platform
