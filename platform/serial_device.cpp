// Opening and closing serial devices, and the settings kept per device.
#include "serial_device.h"

#include <cerrno>
#include <linux/serial.h>
#include <map>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// A driver on Windows keeps a port's time-outs from one open to the next; so
// do we, by device number, for the lifetime of the process.
class RememberedTimeouts
{
public:
    COMMTIMEOUTS get(dev_t device)
    {
        const std::lock_guard guard(mutex_);
        const auto found = byDevice_.find(device);
        return found == byDevice_.end() ? COMMTIMEOUTS{} : found->second;
    }

    void set(dev_t device, const COMMTIMEOUTS& timeouts)
    {
        const std::lock_guard guard(mutex_);
        byDevice_[device] = timeouts;
    }

private:
    std::mutex mutex_; // guards byDevice_
    std::map<dev_t, COMMTIMEOUTS> byDevice_;
};

RememberedTimeouts& rememberedTimeouts()
{
    static RememberedTimeouts instance;
    return instance;
}

DWORD fileTypeOf(int fd, const struct stat& info)
{
    if (isatty(fd))
        return FILE_TYPE_CHAR;
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))
        return FILE_TYPE_DISK;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

// No canonical input, echo, signals, output processing or CR/LF mapping; the
// receiver on and modem control lines ignored for opening; reads never block
// in the driver, since time-outs are kept with poll() deadlines instead.
termios rawSettings(termios settings)
{
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~HUPCL;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return settings;
}

bool isRaw(const termios& settings)
{
    return !(settings.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) &&
           !(settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) &&
           !(settings.c_oflag & OPOST) && (settings.c_cflag & CSIZE) == CS8 &&
           settings.c_cc[VMIN] == 0 && settings.c_cc[VTIME] == 0;
}

} // namespace

DWORD errorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EIO:
    case EPIPE:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOTTY:
    case EINVAL:
        return ERROR_NOT_SUPPORTED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::shared_ptr<SerialDevice> SerialDevice::open(int fd, const struct stat& info, bool overlapped,
                                                 OpenAttempt& attempt, DWORD& error)
{
    bool exclusive = false;
    std::optional<termios> original;
    // Gives back what the open took: the settings, the exclusive mark, the
    // descriptor (and with it the lock). `systemError` is the errno of the
    // call that failed, 0 for a check of ours.
    auto fail = [&](int systemError) -> std::shared_ptr<SerialDevice> {
        attempt.error = systemError;
        error = systemError != 0 ? errorFromErrno(systemError) : ERROR_GEN_FAILURE;
        if (original)
            tcsetattr(fd, TCSANOW, &*original);
        if (exclusive)
            ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    };
    if (ioctl(fd, TIOCEXCL) == 0)
        exclusive = true;
    else if (errno != ENOTTY && errno != EINVAL)
        return fail(errno);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        attempt.terminalError = errno;
    } else {
        original = settings;
        const termios raw = rawSettings(settings);
        if (tcsetattr(fd, TCSANOW, &raw) != 0)
            return fail(errno);
        // tcsetattr succeeds when any one change took; a line left with echo
        // or line editing would corrupt every transfer, so check them all.
        termios applied{};
        if (tcgetattr(fd, &applied) != 0)
            return fail(errno);
        if (!isRaw(applied))
            return fail(0);
        // A port starts empty, as a Windows driver has it at every open: no
        // bytes left over from whoever had it before.
        tcflush(fd, TCIOFLUSH);
    }
    serial_icounter_struct counts{};
    const bool countsErrors = ioctl(fd, TIOCGICOUNT, &counts) == 0;
    std::shared_ptr<SerialDevice> device(new SerialDevice(fd, overlapped, fileTypeOf(fd, info),
                                                          info.st_rdev, original, countsErrors));
    if (original && !device->events_.attach(fd)) {
        attempt.error = ENOMEM;
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return device;
}

SerialDevice::SerialDevice(int fd, bool overlapped, DWORD fileType, dev_t device,
                           std::optional<termios> original, bool countsErrors)
    : fd_(fd), overlapped_(overlapped), fileType_(fileType), device_(device), original_(original),
      countsErrors_(countsErrors), timeouts_(rememberedTimeouts().get(device))
{}

SerialDevice::~SerialDevice()
{
    // The monitor's threads use the descriptor: they end first.
    events_.shutdown();
    if (original_) {
        tcsetattr(fd_, TCSANOW, &*original_);
        // The exclusive mark outlives this descriptor on a pseudo-terminal
        // whose other end stays open; leave the device free for the next user.
        ioctl(fd_, TIOCNXCL);
    }
    ::close(fd_);
}

ssize_t SerialDevice::read(void* buffer, std::size_t count)
{
    return isTerminal() ? events_.readInput(buffer, count) : ::read(fd_, buffer, count);
}

COMMTIMEOUTS SerialDevice::timeouts() const
{
    const std::lock_guard guard(mutex_);
    return timeouts_;
}

void SerialDevice::setTimeouts(const COMMTIMEOUTS& timeouts)
{
    const std::lock_guard guard(mutex_);
    timeouts_ = timeouts;
    if (original_)
        rememberedTimeouts().set(device_, timeouts);
}

std::optional<DCB> SerialDevice::lastState() const
{
    const std::lock_guard guard(mutex_);
    return lastState_;
}

void SerialDevice::setLastState(const DCB& state)
{
    const std::lock_guard guard(mutex_);
    lastState_ = state;
}

DWORD SerialDevice::takeLineErrors()
{
    serial_icounter_struct counts{};
    if (!countsErrors_ || ioctl(fd_, TIOCGICOUNT, &counts) != 0)
        return 0;
    const ErrorCounts now{counts.frame, counts.overrun, counts.parity, counts.brk,
                          counts.buf_overrun};
    const std::lock_guard guard(mutex_);
    const ErrorCounts before = errorCounts_.value_or(now);
    errorCounts_ = now;
    DWORD errors = 0;
    if (now.frame != before.frame)
        errors |= CE_FRAME;
    if (now.overrun != before.overrun)
        errors |= CE_OVERRUN;
    if (now.parity != before.parity)
        errors |= CE_RXPARITY;
    if (now.brk != before.brk)
        errors |= CE_BREAK;
    if (now.bufferOverrun != before.bufferOverrun)
        errors |= CE_RXOVER;
    return errors;
}

std::shared_ptr<SerialDevice> deviceFor(HANDLE file)
{
    return objectAs<SerialDevice>(file);
}

std::shared_ptr<SerialDevice> terminalFor(HANDLE file)
{
    auto device = deviceFor(file);
    if (device && !device->isTerminal()) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    return device;
}

} // namespace platform

using platform::deviceFor;
using platform::terminalFor;

DWORD GetFileType(HANDLE file)
{
    const auto device = deviceFor(file);
    if (!device)
        return FILE_TYPE_UNKNOWN;
    SetLastError(ERROR_SUCCESS);
    return device->fileType();
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    const auto device = terminalFor(file, timeouts);
    if (!device)
        return FALSE;
    *timeouts = device->timeouts();
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    const auto device = terminalFor(file, timeouts);
    if (!device)
        return FALSE;
    device->setTimeouts(*timeouts);
    return TRUE;
}
