// inotify on the port map directory, or on /dev for the default map, and on
// the devices that refused an open; a pipe that a signal handler can write
// to ends a wait.
#include "PortWatcher.h"

#include "port_map.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t EntryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// Written by Interrupt, read by Wait. Made before the first watcher, and
// never closed, so that a signal handler can always write to it.
int interruptPipe[2] = {-1, -1};

void MakeInterruptPipe()
{
    static const bool made = pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) == 0;
    (void)made;
}

void DrainPipe()
{
    char bytes[64];
    while (read(interruptPipe[0], bytes, sizeof bytes) > 0) {
    }
}

// Under the default map only the devices COM ports stand for concern us;
// /dev changes for many other reasons.
bool ConcernsPorts(std::string_view name, bool defaultMap)
{
    if (!defaultMap)
        return name.starts_with("com");
    return name.starts_with("ttyS") || name.starts_with("ttyUSB") || name.starts_with("ttyACM");
}

} // namespace

struct PortWatcher::Watch
{
    int fd = -1;
    bool defaultMap = false;
    std::string directory;
    QString error;
    // The device watches, which concern ports whatever their name.
    std::set<int> devices;
};

PortWatcher::PortWatcher() : watch_(std::make_unique<Watch>())
{
    MakeInterruptPipe();
    const char* map = std::getenv("MELVIX_PORT_DIR");
    watch_->defaultMap = map == nullptr;
    watch_->directory = map ? map : "/dev";
    watch_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_->fd < 0 || interruptPipe[0] < 0) {
        watch_->error = QStringLiteral("cannot watch for ports: %1").arg(strerror(errno));
        return;
    }
    if (inotify_add_watch(watch_->fd, watch_->directory.c_str(), EntryEvents | IN_ONLYDIR) < 0) {
        watch_->error = QStringLiteral("cannot watch the port map directory %1: %2")
                            .arg(QString::fromStdString(watch_->directory), strerror(errno));
    }
}

PortWatcher::~PortWatcher()
{
    if (watch_->fd >= 0)
        close(watch_->fd);
}

QString PortWatcher::error() const
{
    return watch_->error;
}

PortWatcher::Wake PortWatcher::Wait(QDeadlineTimer deadline)
{
    // Aligned for struct inotify_event, as its manual page asks.
    alignas(inotify_event) std::array<char, 4096> events;
    for (;;) {
        std::array<pollfd, 2> entries{{{interruptPipe[0], POLLIN, 0}, {watch_->fd, POLLIN, 0}}};
        const qint64 left = deadline.remainingTime();
        const int ready = poll(entries.data(), watch_->fd >= 0 ? 2 : 1,
                               left < 0 ? -1 : static_cast<int>(std::min<qint64>(left, 1 << 30)));
        if (ready < 0 && errno != EINTR)
            return Wake::TimedOut;
        if (entries[0].revents != 0) {
            DrainPipe();
            return Wake::Interrupted;
        }
        if (ready == 0 || (ready < 0 && deadline.hasExpired()))
            return Wake::TimedOut;
        if (entries[1].revents == 0)
            continue;
        bool concerned = false;
        ssize_t length = 0;
        while ((length = read(watch_->fd, events.data(), events.size())) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                // The directory itself went away or changed, or one of its
                // entries, or a watched device.
                concerned = concerned || event->len == 0 || watch_->devices.contains(event->wd) ||
                            ConcernsPorts(event->name, watch_->defaultMap);
            }
        }
        if (concerned)
            return Wake::Changed;
    }
}

void PortWatcher::WatchDevice(int portNumber)
{
    const auto entry = platform::resolvePortName("COM" + std::to_string(portNumber));
    if (!entry || watch_->fd < 0)
        return;
    // Follows a map link to its device.
    const int wd = inotify_add_watch(watch_->fd, entry->c_str(), IN_ATTRIB);
    if (wd >= 0)
        watch_->devices.insert(wd);
}

void PortWatcher::Interrupt()
{
    const int saved = errno;
    if (interruptPipe[1] >= 0) {
        const char byte = 1;
        (void)!write(interruptPipe[1], &byte, 1);
    }
    errno = saved;
}

std::optional<std::chrono::milliseconds> PortWatcher::EntryAge(int portNumber)
{
    const auto entry = platform::resolvePortName("COM" + std::to_string(portNumber));
    struct stat info
    {
    };
    if (!entry || lstat(entry->c_str(), &info) != 0)
        return std::nullopt;
    // A map link keeps the time it was made; a device node the time it was
    // made or last given to its group, which is as new.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - info.st_ctim.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - info.st_ctim.tv_nsec);
    return std::chrono::duration_cast<std::chrono::milliseconds>(age);
}
