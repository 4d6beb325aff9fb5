// Every HANDLE this layer gives out names a KernelObject in one process-wide
// table. A call looks its handle up and holds a reference for as long as it
// runs, so CloseHandle on one thread never frees an object that a call on
// another thread is still using, and a stale or made-up handle fails with
// ERROR_INVALID_HANDLE instead of touching freed memory.
#pragma once

#include <windows.h>

#include <chrono>
#include <memory>

namespace platform {

class KernelObject
{
public:
    virtual ~KernelObject() = default;

    // Waits until the object is signalled, taking the signal where waiting
    // consumes it (an auto-reset event, a semaphore's count). An object that
    // cannot be waited on answers false at once with `waitable` false.
    using Deadline = std::chrono::steady_clock::time_point;
    virtual bool waitUntil(const Deadline* deadline, bool& waitable);

    // Called by CloseHandle once the handle is out of the table: calls still
    // blocked on the object end now. What the object holds of the system goes
    // with its last reference, when the last such call has returned.
    virtual void close() {}
};

HANDLE registerObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> lookupObject(HANDLE handle);
std::shared_ptr<KernelObject> unregisterObject(HANDLE handle);

// The object behind handle as the kind the caller expects; empty, with
// ERROR_INVALID_HANDLE set, when the handle names nothing or something else.
template <class Kind> std::shared_ptr<Kind> objectAs(HANDLE handle)
{
    auto kind = std::dynamic_pointer_cast<Kind>(lookupObject(handle));
    if (!kind)
        SetLastError(ERROR_INVALID_HANDLE);
    return kind;
}

} // namespace platform
