// inotify on the port map directory, or on /dev for the default map, on its
// nearest existing ancestor, and on the devices of ports that did not open;
// a pipe that a signal handler can write to ends a wait.
#include "PortWatcher.h"

#include "port_map.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <set>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::uint32_t EntryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// What an ancestor of the map directory tells: an entry on the way to it made,
// removed or renamed, or the ancestor itself gone.
constexpr std::uint32_t AncestorEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;

// Written by interrupt, read by wait. Made before the first watcher, and
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
    std::optional<Failure> failure;
    // The directory's watch, which follows a link to the directory; -1 while
    // there is none.
    int directoryWatch = -1;
    // The nearest existing ancestor of the directory, watched for the entry
    // on the way to it, `awaited`: the directory's parent while it exists, so
    // that a directory, or a link to one, replaced under its name is seen.
    int ancestorWatch = -1;
    std::string awaited;
    // The devices of ports, which concern ports whatever their name: a watch
    // on the device itself with no name, or on its directory with the
    // device's name there.
    std::set<std::pair<int, std::string>> devices;

    // Watches the directory where it now leads, and its nearest existing
    // ancestor, which only adds to the directory's own watch. False, with
    // errno set, when the directory cannot be watched or waited for.
    bool WatchDirectory()
    {
        const int previous = directoryWatch;
        directoryWatch = inotify_add_watch(fd, directory.c_str(), EntryEvents | IN_ONLYDIR);
        const int error = errno;
        // A link pointed elsewhere leads to another directory now.
        if (previous >= 0 && previous != directoryWatch)
            inotify_rm_watch(fd, previous);
        const bool ancestor = WatchAncestor();
        if (directoryWatch >= 0)
            return true;
        if (ancestor)
            errno = error;
        return ancestor && (error == ENOENT || error == ENOTDIR);
    }

    // Climbs from the directory's parent to the first ancestor that exists.
    bool WatchAncestor()
    {
        namespace fs = std::filesystem;
        fs::path path(directory);
        for (;;) {
            std::string name = path.filename().string();
            const fs::path ancestor = path.parent_path();
            const std::string at = ancestor.empty() ? "." : ancestor.string();
            // Added to what a device's watch on the same directory asks.
            const int wd =
                inotify_add_watch(fd, at.c_str(), AncestorEvents | IN_ONLYDIR | IN_MASK_ADD);
            if (wd >= 0) {
                if (ancestorWatch >= 0 && ancestorWatch != wd)
                    inotify_rm_watch(fd, ancestorWatch);
                ancestorWatch = wd;
                awaited = std::move(name);
                return true;
            }
            if ((errno != ENOENT && errno != ENOTDIR) || ancestor.empty() || ancestor == path)
                return false;
            path = ancestor;
        }
    }

    // Whether the event may concern a port; follows the directory when it,
    // or a directory on the way to it, comes, goes or is replaced.
    bool Concerns(const inotify_event& event)
    {
        if (devices.contains({event.wd, event.len == 0 ? std::string() : event.name}))
            return true;
        if (event.wd == ancestorWatch) {
            const bool ancestorGone = (event.mask & (IN_IGNORED | IN_MOVE_SELF)) != 0;
            if (!ancestorGone && (event.len == 0 || awaited != std::string_view(event.name)))
                return false;
            // A directory moved away keeps its watch: drop it.
            if ((event.mask & IN_MOVE_SELF) != 0)
                inotify_rm_watch(fd, ancestorWatch);
            if (ancestorGone)
                ancestorWatch = -1;
            WatchDirectory();
            return true;
        }
        if (event.wd == directoryWatch && (event.mask & (IN_IGNORED | IN_MOVE_SELF)) != 0) {
            if ((event.mask & IN_MOVE_SELF) != 0)
                inotify_rm_watch(fd, directoryWatch);
            directoryWatch = -1;
            WatchDirectory();
            return true;
        }
        // The directory itself changed, or a watched device.
        return event.len == 0 || ConcernsPorts(event.name, defaultMap);
    }
};

PortWatcher::PortWatcher() : watch_(std::make_unique<Watch>())
{
    MakeInterruptPipe();
    const char* map = std::getenv("MELVIX_PORT_DIR");
    watch_->defaultMap = map == nullptr;
    watch_->directory = map ? map : "/dev";
    // "dir/" names the same directory as "dir", whose name its parent shows.
    while (watch_->directory.size() > 1 && watch_->directory.back() == '/')
        watch_->directory.pop_back();
    watch_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_->fd < 0 || interruptPipe[0] < 0) {
        watch_->failure =
            Failure{QStringLiteral("watch the ports"), errno,
                    QStringLiteral("cannot watch for ports: %1").arg(strerror(errno))};
        return;
    }
    if (!watch_->WatchDirectory()) {
        watch_->failure =
            Failure{QStringLiteral("watch the ports"), errno,
                    QStringLiteral("cannot watch the port map directory %1: %2")
                        .arg(QString::fromStdString(watch_->directory), strerror(errno))};
    }
}

PortWatcher::~PortWatcher()
{
    if (watch_->fd >= 0)
        close(watch_->fd);
}

const std::optional<Failure>& PortWatcher::failure() const
{
    return watch_->failure;
}

PortWatcher::Wake PortWatcher::wait(QDeadlineTimer deadline)
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
                concerned = watch_->Concerns(*event) || concerned;
            }
        }
        if (concerned)
            return Wake::Changed;
    }
}

void PortWatcher::watchDevice(int portNumber)
{
    const auto entry = platform::resolvePortName("COM" + std::to_string(portNumber));
    if (!entry || watch_->fd < 0)
        return;
    std::error_code error;
    const std::filesystem::path device = std::filesystem::canonical(*entry, error);
    if (error)
        return;
    // inotify watches only what the user may read, and a device that refuses
    // the user seldom lets them read it; its directory, which reports its
    // entries' mode and owner changes too, mostly does. Added to what another
    // watch on the same directory asks.
    if (const int wd = inotify_add_watch(watch_->fd, device.c_str(), IN_ATTRIB | IN_MASK_ADD);
        wd >= 0) {
        watch_->devices.insert({wd, {}});
        return;
    }
    const int wd = inotify_add_watch(watch_->fd, device.parent_path().c_str(),
                                     IN_ATTRIB | IN_ONLYDIR | IN_MASK_ADD);
    if (wd >= 0)
        watch_->devices.insert({wd, device.filename().string()});
}

void PortWatcher::interrupt()
{
    const int saved = errno;
    if (interruptPipe[1] >= 0) {
        const char byte = 1;
        (void)!write(interruptPipe[1], &byte, 1);
    }
    errno = saved;
}

std::optional<std::chrono::milliseconds> PortWatcher::entryAge(int portNumber)
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
