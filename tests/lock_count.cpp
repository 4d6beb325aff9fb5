#include "lock_count.h"

int lockCount(const TRadioCom& com)
{
    int count = 0;
    while (WaitForSingleObject(com.GetPortLock(), 0) == WAIT_OBJECT_0)
        ++count;
    if (count > 0)
        ReleaseSemaphore(com.GetPortLock(), count, nullptr);
    return count;
}
