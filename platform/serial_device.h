// An open serial device (a terminal: a serial port, a USB adapter, a
// pseudo-terminal) behind a HANDLE, with what Windows keeps for it that
// termios cannot hold.
#pragma once

#include "comm_event_monitor.h"
#include "kernel_object.h"

#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

namespace platform {

// What an open of a port name met, kept so that a refusal can be explained
// from the open that met it rather than from another one.
struct OpenAttempt
{
    // What the name led to: the port map's entry, or the name itself; empty
    // when the map holds no such port.
    std::string path;
    // The device file opened, links followed; empty until it opened.
    std::string device;
    // errno of the step that failed; 0 once the device opened, and when a
    // check of ours refused it.
    int error = 0;
    // The step that failed was the lock: another open holds the device.
    bool lockRefused = false;
    // Once opened: the errno of asking the device for its terminal settings
    // when it is no terminal, else 0.
    int terminalError = 0;
};

class SerialDevice final : public KernelObject
{
public:
    // Takes over the locked descriptor of a device opened by the port map
    // (its status `info`), makes it exclusive and puts a terminal into raw
    // mode. Returns an empty pointer with `error` set to the Windows error
    // code on failure, the device then closed and left as it was found;
    // `attempt` tells what was met. `overlapped`: opened with
    // FILE_FLAG_OVERLAPPED.
    static std::shared_ptr<SerialDevice> open(int fd, const struct stat& info, bool overlapped,
                                              OpenAttempt& attempt, DWORD& error);
    ~SerialDevice() override;

    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    int fd() const { return fd_; }
    DWORD fileType() const { return fileType_; }
    bool isTerminal() const { return original_.has_value(); }
    bool overlapped() const { return overlapped_; }
    // Reads from the device as ::read does, through the event monitor on a
    // terminal so that it keeps count of what leaves the input queue.
    ssize_t read(void* buffer, std::size_t count);

    COMMTIMEOUTS timeouts() const;
    void setTimeouts(const COMMTIMEOUTS& timeouts);

    // The line settings last given to SetCommState, for the DCB fields that
    // termios has no place for.
    std::optional<DCB> lastState() const;
    void setLastState(const DCB& state);

    // Waits on the device end when its handle is closed.
    void close() override { events_.close(); }

    CommEventMonitor& events() { return events_; }

    // The CE_ flags of line errors counted by the driver since the last call;
    // 0 where the driver counts none.
    DWORD takeLineErrors();

private:
    SerialDevice(int fd, bool overlapped, DWORD fileType, dev_t device,
                 std::optional<termios> original, bool countsErrors);

    const int fd_;
    const bool overlapped_;
    const DWORD fileType_;
    const dev_t device_;
    // The terminal settings found at open, given back at close.
    const std::optional<termios> original_;
    // Whether the driver counts line errors (a pseudo-terminal does not), so
    // that ClearCommError asks only drivers that can answer.
    const bool countsErrors_;

    CommEventMonitor events_;

    mutable std::mutex mutex_; // guards timeouts_, lastState_, errorCounts_
    COMMTIMEOUTS timeouts_;
    std::optional<DCB> lastState_;
    struct ErrorCounts
    {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufferOverrun = 0;
    };
    std::optional<ErrorCounts> errorCounts_;
};

// Maps an errno value to the Windows error code that callers test for.
DWORD errorFromErrno(int error);

// The device behind a handle, or empty with ERROR_INVALID_HANDLE set.
std::shared_ptr<SerialDevice> deviceFor(HANDLE file);
// The same for the communications calls, which need a terminal: any other
// file fails with ERROR_INVALID_FUNCTION, as on Windows, where a driver that
// is not a serial port has no such request.
std::shared_ptr<SerialDevice> terminalFor(HANDLE file);
// The same for a call that reads or writes through `given`: none, with
// ERROR_INVALID_PARAMETER set, when `given` is null.
template <class T> std::shared_ptr<SerialDevice> terminalFor(HANDLE file, const T* given)
{
    auto device = terminalFor(file);
    if (device && !given) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return device;
}

} // namespace platform
