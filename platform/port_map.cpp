#include "port_map.h"

#include "kernel_object.h"
#include "serial_device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr int HighestPortNumber = 9999;

// The n of "COMn" or "\\.\COMn", or 0 when the name is not a COM port name.
int comPortNumber(std::string_view name)
{
    constexpr std::string_view devicePrefix = R"(\\.\)";
    if (name.starts_with(devicePrefix))
        name.remove_prefix(devicePrefix.size());
    if (name.size() < 4 || name.size() > 7)
        return 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return 0;
    }
    const std::string_view digits = name.substr(3);
    if (digits.front() == '0')
        return 0;
    int number = 0;
    for (const char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return 0;
        number = number * 10 + (c - '0');
    }
    return number <= HighestPortNumber ? number : 0;
}

// The n of a port map entry named exactly "comn", or 0.
int mapEntryNumber(std::string_view name)
{
    if (!name.starts_with("com"))
        return 0;
    const int number = comPortNumber(name);
    return number != 0 && "com" + std::to_string(number) == name ? number : 0;
}

// Whether `name` is "com" in any case followed by digits, as a port map
// entry meant for a COM port would be named.
bool portLikeName(std::string_view name)
{
    if (name.size() <= 3)
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != "com"[i])
            return false;
    }
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// Calls `use` with the name of each entry of the port map directory; none
// under the default map or when the directory cannot be read.
template <class Use> void forEachMapEntry(Use use)
{
    const auto mapDirectory = portMapDirectory();
    if (!mapDirectory)
        return;
    DIR* map = opendir(mapDirectory->c_str());
    if (!map)
        return;
    while (const dirent* entry = readdir(map))
        use(std::string_view(entry->d_name));
    closedir(map);
}

// The /dev entries "<stem><digits>" in numeric order.
std::vector<std::string> numberedDevices(DIR* dev, std::string_view stem)
{
    std::vector<std::pair<long, std::string>> found;
    rewinddir(dev);
    while (const dirent* entry = readdir(dev)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(stem) || name.size() == stem.size() || name.size() > stem.size() + 6)
            continue;
        const std::string_view digits = name.substr(stem.size());
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            continue;
        found.emplace_back(std::strtol(std::string(digits).c_str(), nullptr, 10),
                           "/dev/" + std::string(name));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : found)
        paths.push_back(std::move(path));
    return paths;
}

constexpr int SerialPortsBeforeUsb = 4;

// The USB serial devices present, in the order COM5 upward takes them.
std::vector<std::string> usbSerialDevices()
{
    DIR* dev = opendir("/dev");
    if (!dev)
        return {};
    auto usb = numberedDevices(dev, "ttyUSB");
    const auto acm = numberedDevices(dev, "ttyACM");
    closedir(dev);
    usb.insert(usb.end(), acm.begin(), acm.end());
    return usb;
}

std::optional<std::string> defaultMapEntry(int number)
{
    if (number <= SerialPortsBeforeUsb)
        return "/dev/ttyS" + std::to_string(number - 1);
    const auto usb = usbSerialDevices();
    const auto index = static_cast<std::size_t>(number - SerialPortsBeforeUsb - 1);
    if (index >= usb.size())
        return std::nullopt;
    return usb[index];
}

// What the last open of a port name on this thread met.
thread_local OpenAttempt lastAttempt;

} // namespace

std::optional<std::string> portMapDirectory()
{
    const char* value = std::getenv("MELVIX_PORT_DIR");
    if (!value)
        return std::nullopt;
    return value;
}

std::optional<std::string> resolvePortName(const std::string& name)
{
    const int number = comPortNumber(name);
    if (number == 0)
        return name;
    const auto mapDirectory = portMapDirectory();
    if (!mapDirectory)
        return defaultMapEntry(number);
    // Not "/comn": an empty value is no directory, least of all the root.
    if (mapDirectory->empty())
        return std::nullopt;
    std::string entry = *mapDirectory + "/com" + std::to_string(number);
    struct stat info
    {
    };
    if (lstat(entry.c_str(), &info) != 0)
        return std::nullopt;
    return entry;
}

std::vector<int> mappedPortNumbers()
{
    std::vector<int> numbers;
    if (!portMapDirectory()) {
        const int count = SerialPortsBeforeUsb + static_cast<int>(usbSerialDevices().size());
        for (int number = 1; number <= count; ++number)
            numbers.push_back(number);
        return numbers;
    }
    // Only entries that name a COM port exactly as "comn" count.
    forEachMapEntry([&numbers](std::string_view name) {
        if (const int number = mapEntryNumber(name); number != 0)
            numbers.push_back(number);
    });
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::vector<std::string> misnamedPortEntries()
{
    std::vector<std::string> names;
    forEachMapEntry([&names](std::string_view name) {
        if (portLikeName(name) && mapEntryNumber(name) == 0)
            names.emplace_back(name);
    });
    std::sort(names.begin(), names.end());
    return names;
}

int openLocked(const std::string& path, OpenAttempt& attempt, struct stat& info)
{
    attempt.path = path;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        attempt.error = errno;
        return -1;
    }
    // TIOCEXCL alone lets root and a racing opener through; the lock does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &info) != 0) {
        attempt.error = errno;
        attempt.lockRefused = errno == EWOULDBLOCK;
        ::close(fd);
        return -1;
    }
    char device[PATH_MAX];
    if (realpath(path.c_str(), device))
        attempt.device = device;
    return fd;
}

const OpenAttempt& lastOpenAttempt()
{
    return lastAttempt;
}

OpenAttempt probePortName(const std::string& name)
{
    OpenAttempt attempt;
    const auto path = resolvePortName(name);
    if (!path) {
        attempt.error = ENOENT;
        return attempt;
    }
    struct stat info
    {
    };
    const int fd = openLocked(*path, attempt, info);
    if (fd < 0)
        return attempt;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        attempt.terminalError = errno;
    ::close(fd);
    return attempt;
}

} // namespace platform

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE)
{
    platform::OpenAttempt& attempt = platform::lastAttempt;
    attempt = {};
    // Only what a serial port is opened with: both directions, exclusively,
    // on a device that must exist.
    if (!fileName || creationDisposition != OPEN_EXISTING || shareMode != 0 ||
        desiredAccess != (GENERIC_READ | GENERIC_WRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const auto path = platform::resolvePortName(fileName);
    if (!path) {
        attempt.error = ENOENT;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info
    {
    };
    const int fd = platform::openLocked(*path, attempt, info);
    if (fd < 0) {
        SetLastError(platform::errorFromErrno(attempt.error));
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    auto device = platform::SerialDevice::open(
        fd, info, (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, attempt, error);
    if (!device) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return platform::registerObject(std::move(device));
}
