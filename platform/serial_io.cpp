// Reads and writes with the Windows time-out rules, kept with poll()
// deadlines. Every transfer completes before it returns, as an overlapped
// call is allowed to; its result is also left in the OVERLAPPED block, whose
// event is set, so GetOverlappedResult answers the same either way.
#include "overlapped_completion.h"
#include "serial_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

Deadline after(std::uint64_t milliseconds)
{
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

Deadline earlier(const Deadline& a, const Deadline& b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

// Waits until the device is ready for `events` or the deadline passes.
// Returns false with `error` set when the device failed or went away.
bool waitReady(int fd, short events, const Deadline& deadline, bool& ready, DWORD& error)
{
    ready = false;
    for (;;) {
        int waitMs = -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0)
                return true;
            waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
        }
        pollfd entry{fd, events, 0};
        const int result = poll(&entry, 1, waitMs);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            error = errorFromErrno(errno);
            return false;
        }
        if (result == 0)
            return true;
        if (entry.revents & events) {
            ready = true;
            return true;
        }
        // Hung up or failed with nothing to transfer: an adapter pulled out.
        error = ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
}

// Reads what is waiting, up to `count`. Returns false with `error` set when
// the device failed.
bool readWaiting(SerialDevice& device, std::uint8_t* buffer, DWORD count, DWORD& got, DWORD& error)
{
    while (got < count) {
        const ssize_t n = device.read(buffer + got, count - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        // 0 from a terminal in raw mode with VMIN 0 means nothing waits.
        if (n == 0)
            return true;
        error = errorFromErrno(errno);
        return false;
    }
    return true;
}

// How a read ends under a set of time-outs, as Windows' serial driver has it.
struct ReadRule
{
    // Bytes already waiting end the read at once.
    bool waitingEndsRead = false;
    // With none waiting, nothing is waited for either.
    bool neverWaits = false;
    // With none waiting, the first byte to come ends the read.
    bool firstByteEndsRead = false;
    Deadline total;
    // Between two bytes, once the first has come; 0 for none.
    DWORD interval = 0;
};

ReadRule ruleFor(const COMMTIMEOUTS& t, DWORD count)
{
    ReadRule rule;
    const bool intervalMax = t.ReadIntervalTimeout == MAXDWORD;
    if (intervalMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        rule.waitingEndsRead = rule.neverWaits = true;
        return rule;
    }
    if (intervalMax && t.ReadTotalTimeoutConstant != MAXDWORD &&
        t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != 0) {
        // MAXDWORD, MAXDWORD, N: what is there, else the first byte to come,
        // else nothing after N ms.
        rule.waitingEndsRead = rule.firstByteEndsRead = true;
        rule.total = after(t.ReadTotalTimeoutConstant);
        return rule;
    }
    if (intervalMax && t.ReadTotalTimeoutConstant != MAXDWORD &&
        t.ReadTotalTimeoutMultiplier != MAXDWORD) {
        // MAXDWORD, m, N: what is there, else up to the count within the
        // total time.
        rule.waitingEndsRead = true;
        rule.total =
            after(std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant);
        return rule;
    }
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
        rule.total =
            after(std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant);
    if (!intervalMax)
        rule.interval = t.ReadIntervalTimeout;
    return rule;
}

bool readWithTimeouts(SerialDevice& device, std::uint8_t* buffer, DWORD count,
                      const COMMTIMEOUTS& t, DWORD& got, DWORD& error)
{
    got = 0;
    if (count == 0)
        return true;
    const ReadRule rule = ruleFor(t, count);
    if (!readWaiting(device, buffer, count, got, error))
        return false;
    if (got == count || (rule.waitingEndsRead && got > 0) || rule.neverWaits)
        return true;

    Deadline interval;
    while (got < count) {
        if (rule.interval != 0 && got > 0)
            interval = after(rule.interval);
        bool ready = false;
        if (!waitReady(device.fd(), POLLIN, earlier(rule.total, interval), ready, error))
            return got > 0;
        if (!ready)
            return true;
        const DWORD before = got;
        if (!readWaiting(device, buffer, count, got, error))
            return got > 0;
        if (got == before)
            return true; // readable yet empty: the end of the input
        if (rule.firstByteEndsRead)
            return true;
    }
    return true;
}

bool writeWithTimeouts(int fd, const std::uint8_t* buffer, DWORD count, const COMMTIMEOUTS& t,
                       DWORD& sent, DWORD& error)
{
    sent = 0;
    Deadline total;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
        total = after(std::uint64_t{t.WriteTotalTimeoutMultiplier} * count +
                      t.WriteTotalTimeoutConstant);
    while (sent < count) {
        const ssize_t n = ::write(fd, buffer + sent, count - sent);
        if (n > 0) {
            sent += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            error = errorFromErrno(errno);
            return sent > 0;
        }
        bool ready = false;
        if (!waitReady(fd, POLLOUT, total, ready, error))
            return sent > 0;
        if (!ready)
            return true; // timed out: a short count is success
    }
    return true;
}

// What ReadFile and WriteFile share: the checks before the transfer, then
// `move(device, transferred, error)`, false when the transfer failed, then
// the call's completion. Windows sets the count to 0 before it checks
// anything, so a caller that reads it after a failure sees nothing
// transferred. A handle opened with FILE_FLAG_OVERLAPPED has no file
// position of its own to transfer at, so Windows refuses a transfer on it
// without a block.
template <typename Move>
BOOL transfer(HANDLE file, const void* buffer, DWORD count, LPDWORD transferredOut,
              LPOVERLAPPED overlapped, Move move)
{
    if (transferredOut)
        *transferredOut = 0;
    const auto device = deviceFor(file);
    if (!device)
        return FALSE;
    if ((!buffer && count != 0) || (device->overlapped() && !overlapped)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD transferred = 0;
    DWORD error = ERROR_SUCCESS;
    const bool ok = move(*device, transferred, error);
    return completeCall(ok, error, transferred, transferredOut, overlapped);
}

} // namespace
} // namespace platform

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped)
{
    const auto read = [&](platform::SerialDevice& device, DWORD& got, DWORD& error) {
        return platform::readWithTimeouts(device, static_cast<std::uint8_t*>(buffer), bytesToRead,
                                          device.timeouts(), got, error);
    };
    return platform::transfer(file, buffer, bytesToRead, bytesRead, overlapped, read);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped)
{
    const auto write = [&](platform::SerialDevice& device, DWORD& sent, DWORD& error) {
        const bool ok =
            platform::writeWithTimeouts(device.fd(), static_cast<const std::uint8_t*>(buffer),
                                        bytesToWrite, device.timeouts(), sent, error);
        if (sent > 0 && device.isTerminal())
            device.events().noteWrite();
        return ok;
    };
    return platform::transfer(file, buffer, bytesToWrite, bytesWritten, overlapped, write);
}
