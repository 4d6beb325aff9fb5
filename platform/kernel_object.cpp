#include "kernel_object.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

struct HandleTable
{
    // Guards `objects` and `nextHandle`.
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    // Handles count up in steps of four as on Windows and are never reused,
    // so a handle kept after its close cannot reach a newer object.
    std::uintptr_t nextHandle = 4;
};

HandleTable& table()
{
    static HandleTable instance;
    return instance;
}

} // namespace

bool KernelObject::waitUntil(const Deadline*, bool& waitable)
{
    waitable = false;
    return false;
}

HANDLE registerObject(std::shared_ptr<KernelObject> object)
{
    auto& t = table();
    const std::lock_guard guard(t.mutex);
    const std::uintptr_t value = t.nextHandle;
    t.nextHandle += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookupObject(HANDLE handle)
{
    auto& t = table();
    const std::lock_guard guard(t.mutex);
    const auto found = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == t.objects.end() ? nullptr : found->second;
}

std::shared_ptr<KernelObject> unregisterObject(HANDLE handle)
{
    auto& t = table();
    const std::lock_guard guard(t.mutex);
    const auto found = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == t.objects.end())
        return nullptr;
    auto object = std::move(found->second);
    t.objects.erase(found);
    return object;
}

} // namespace platform

BOOL CloseHandle(HANDLE object)
{
    const auto closed = platform::unregisterObject(object);
    if (!closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    closed->close();
    return TRUE;
}
