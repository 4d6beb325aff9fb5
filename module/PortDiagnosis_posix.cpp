// The port checks on POSIX systems: the port map and its entry, the file it
// leads to and what sysfs says it is, what the open met, the device's owner,
// group and mode when the open was refused, and /proc for the process that
// holds a busy port.
#include "PortDiagnosis.h"

#include "ModuleSession.h"
#include "port_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

// Every port detection tries is listed, mapped or not.
constexpr int HighestListedByDefault = ModuleTiming::LastPortTried + 1;

QString FileKind(mode_t mode)
{
    if (S_ISREG(mode))
        return QStringLiteral("a regular file");
    if (S_ISDIR(mode))
        return QStringLiteral("a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    return QStringLiteral("a character device that is no terminal");
}

QString ProcessName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

// How /proc/locks and /proc/PID/fdinfo name a file: its file system's
// device, major and minor in hex, and its inode, "00:19:5".
QString LockedFileName(const struct stat& info)
{
    return QStringLiteral("%1:%2:%3")
        .arg(major(info.st_dev), 2, 16, QLatin1Char('0'))
        .arg(minor(info.st_dev), 2, 16, QLatin1Char('0'))
        .arg(info.st_ino);
}

// The process that took the flock on `file` that a lock line names, as in
// "1: FLOCK  ADVISORY  WRITE 4711 00:19:5 0 EOF"; nullopt when the line names
// no flock held on it (a lock that waits has "->" after the number and holds
// nothing). The pid is set once, when the lock is taken: the lock belongs to
// the open file, which a child inherits and keeps after that process has
// ended. It is 0 or less when the process is out of this namespace's sight.
std::optional<qint64> FlockTaker(const QString& line, const QString& file)
{
    constexpr int KindField = 1;
    constexpr int PidField = 4;
    constexpr int FileField = 5;
    const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() <= FileField || fields[KindField] != QLatin1String("FLOCK") ||
        fields[FileField] != file)
        return std::nullopt;
    return std::max<qint64>(fields[PidField].toLongLong(), 0);
}

// The process that took the flock on the device file that refuses ours, 0
// when it cannot be told; nullopt when there is no such lock.
std::optional<qint64> LockTaker(const QString& file)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        if (const auto pid = FlockTaker(QString::fromLatin1(line), file))
            return pid;
    }
    return std::nullopt;
}

// Whether the open file behind /proc/PID/fd/FD carries the flock on `file`:
// its fdinfo lists the locks of that open file as "lock:" lines.
bool CarriesLock(const QString& fdInfo, const QString& file)
{
    QFile info(fdInfo);
    if (!info.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : info.readAll().split('\n')) {
        if (line.startsWith("lock:") &&
            FlockTaker(QString::fromLatin1(line.mid(line.indexOf(':') + 1)), file))
            return true;
    }
    return false;
}

// The other processes that have the character device `device` open, as far
// as /proc lets this user see; with `lockedFile` given, those whose open
// carries its flock.
struct Openers
{
    QList<qint64> all;
    QList<qint64> lockCarriers;
};

Openers FindOpeners(dev_t device, const QString& lockedFile)
{
    Openers openers;
    const QString ownPid = QString::number(getpid());
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : processes) {
        bool numeric = false;
        const qint64 number = pid.toLongLong(&numeric);
        if (!numeric || pid == ownPid)
            continue;
        const QString process = QStringLiteral("/proc/") + pid;
        const QString fdDir = process + QStringLiteral("/fd");
        bool opened = false;
        bool carries = false;
        for (const QString& fd : QDir(fdDir).entryList(QDir::AllEntries | QDir::System)) {
            struct stat info
            {
            };
            const QByteArray path = (fdDir + QLatin1Char('/') + fd).toLocal8Bit();
            if (stat(path.constData(), &info) != 0 || !S_ISCHR(info.st_mode) ||
                info.st_rdev != device)
                continue;
            opened = true;
            carries =
                carries || (!lockedFile.isEmpty() &&
                            CarriesLock(process + QStringLiteral("/fdinfo/") + fd, lockedFile));
        }
        if (opened)
            openers.all.append(number);
        if (carries)
            openers.lockCarriers.append(number);
    }
    return openers;
}

// Names a living process, never one that has ended: the process that took
// the lock may be gone while a child that inherited its descriptor holds the
// lock. The holder is a process whose open carries the lock, the taker first;
// where fdinfo shows no locks, the taker while it has the device open.
// Otherwise (no lock: the terminal's exclusive mode refuses the port) a
// process that has it open is all there is to name, and it may hold nothing.
// When none is to be found, or it ends before its name is read, the holder
// stays unknown.
void FindHolder(const struct stat& info, PortDiagnosis& diagnosis)
{
    const QString file = LockedFileName(info);
    const std::optional<qint64> lock = LockTaker(file);
    const qint64 taker = lock.value_or(0);
    const Openers openers = FindOpeners(info.st_rdev, lock ? file : QString());
    const bool takerHolds =
        taker != 0 && (openers.lockCarriers.contains(taker) ||
                       (openers.lockCarriers.isEmpty() && openers.all.contains(taker)));
    diagnosis.holderHasLock = takerHolds || !openers.lockCarriers.isEmpty();
    if (takerHolds)
        diagnosis.holderPid = taker;
    else if (diagnosis.holderHasLock)
        diagnosis.holderPid = openers.lockCarriers.front();
    else
        diagnosis.holderPid = openers.all.value(0);
    if (diagnosis.holderPid != 0)
        diagnosis.holderName = ProcessName(diagnosis.holderPid);
    if (diagnosis.holderName.isEmpty()) {
        diagnosis.holderPid = 0;
        diagnosis.holderHasLock = false;
    }
}

constexpr std::size_t NameBufferSize = 1 << 16;

QString UserName(uid_t uid)
{
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(NameBufferSize);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

std::optional<QString> GroupName(gid_t gid)
{
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(NameBufferSize);
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->gr_name);
    return std::nullopt;
}

bool ProcessHasGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    groups.resize(static_cast<std::size_t>(std::max(getgroups(count, groups.data()), 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Who may open the device. Joining its group lets the user in only when the
// group may read and write it, the user lacks the group and does not own the
// device (the owner's bits are the only ones that count for the owner); the
// root group is none to join for a device.
void ExplainRefusal(const struct stat& info, PortDiagnosis& diagnosis)
{
    const std::optional<QString> group = GroupName(info.st_gid);
    diagnosis.owner = UserName(info.st_uid);
    diagnosis.group = group.value_or(QString::number(info.st_gid));
    diagnosis.permissions = info.st_mode & 07777;
    constexpr mode_t GroupReadWrite = S_IRGRP | S_IWGRP;
    if (group && info.st_gid != 0 && info.st_uid != geteuid() &&
        (info.st_mode & GroupReadWrite) == GroupReadWrite && !ProcessHasGroup(info.st_gid))
        diagnosis.groupToJoin = *group;
}

// A character device that opened but refused tcgetattr. The serial core
// opens a port whose UART was not found (the 8250 driver's ttyS2 and ttyS3 on
// a PC with two serial ports) and then fails every request on it with EIO;
// anything else is no terminal at all.
void SetNoTerminalState(int error, const struct stat& info, PortDiagnosis& diagnosis)
{
    if (error == EIO) {
        diagnosis.state = PortDiagnosis::State::NoHardware;
        return;
    }
    diagnosis.state = PortDiagnosis::State::NotSerial;
    diagnosis.detail = FileKind(info.st_mode);
}

// What the open met at the character device: a refusal, a device that is no
// terminal, settings it refused, or a port that can be used.
void ExplainOpening(const PortOpening& opening, const struct stat& info, PortDiagnosis& diagnosis)
{
    using State = PortDiagnosis::State;
    if (opening.lockRefused) {
        diagnosis.state = State::Busy;
        FindHolder(info, diagnosis);
    } else if (!opening.opened) {
        const int error = opening.systemError;
        if (error == EACCES || error == EPERM) {
            diagnosis.state = State::PermissionDenied;
            ExplainRefusal(info, diagnosis);
        } else if (error == EBUSY) {
            diagnosis.state = State::Busy;
            FindHolder(info, diagnosis);
        } else if (error == ENOENT || error == ENXIO || error == ENODEV) {
            diagnosis.state = State::NoDevice;
        } else {
            diagnosis.state = State::Unusable;
            diagnosis.detail = error != 0 ? QString::fromLocal8Bit(std::strerror(error))
                                          : QStringLiteral("error %1").arg(opening.error);
        }
    } else if (!opening.terminal) {
        SetNoTerminalState(opening.terminalError, info, diagnosis);
    } else if (opening.settingsRefused) {
        diagnosis.state = State::Unusable;
        diagnosis.detail = QStringLiteral("the serial settings were refused");
    } else {
        diagnosis.state = State::Available;
    }
}

// The first directory on the way to `target` (as the link at `link` names it)
// that this user may not enter, or empty when none is to be found.
QString ClosedDirectoryOnTheWay(const std::string& link, const std::string& target)
{
    namespace fs = std::filesystem;
    const fs::path path = fs::path(link).parent_path() / target;
    fs::path directory;
    for (const fs::path& part : path.parent_path()) {
        directory /= part;
        if (faccessat(AT_FDCWD, directory.c_str(), X_OK, AT_EACCESS) != 0)
            return errno == EACCES ? QString::fromLocal8Bit(directory.c_str()) : QString();
    }
    return {};
}

// Why the link at `path` to `target` leads to no file, from the error that
// following it gave.
void ExplainBrokenLink(const std::string& path, const std::string& target, int error,
                       PortDiagnosis& diagnosis)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        diagnosis.state = PortDiagnosis::State::DanglingLink;
        break;
    case ELOOP:
        diagnosis.state = PortDiagnosis::State::LinkLoop;
        break;
    case EACCES:
        diagnosis.state = PortDiagnosis::State::UnreachableTarget;
        diagnosis.detail = ClosedDirectoryOnTheWay(path, target);
        break;
    default:
        diagnosis.state = PortDiagnosis::State::Unusable;
        diagnosis.detail = QString::fromLocal8Bit(std::strerror(error));
        break;
    }
}

// Why the port map directory that MELVIX_PORT_DIR names can hold no entry,
// or empty when it can, or when the default map holds.
QString PortMapProblem()
{
    const std::optional<std::string> directory = platform::portMapDirectory();
    if (!directory)
        return {};
    const auto unusable = [&directory](const QString& why) {
        return QStringLiteral("the port map directory MELVIX_PORT_DIR=\"%1\" is unusable: %2")
            .arg(QString::fromLocal8Bit(directory->c_str()), why);
    };
    if (directory->empty())
        return unusable(QStringLiteral("it names no directory"));
    struct stat info
    {
    };
    if (stat(directory->c_str(), &info) != 0) {
        if (errno == ENOENT)
            return unusable(QStringLiteral("it does not exist"));
        return unusable(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!S_ISDIR(info.st_mode)) {
        const QString kind =
            S_ISCHR(info.st_mode) ? QStringLiteral("a character device") : FileKind(info.st_mode);
        return unusable(QStringLiteral("it is %1, not a directory").arg(kind));
    }
    if (faccessat(AT_FDCWD, directory->c_str(), X_OK, AT_EACCESS) != 0)
        return unusable(QStringLiteral("this user may not enter it"));
    return {};
}

} // namespace

PortDiagnosis DiagnoseOpening(const PortOpening& opening)
{
    PortDiagnosis diagnosis;
    diagnosis.portNumber = opening.port.number;
    const std::string& path = opening.path;
    struct stat entry
    {
    };
    if (path.empty() || lstat(path.c_str(), &entry) != 0) {
        diagnosis.detail = PortMapProblem();
        return diagnosis;
    }
    std::string target = path;
    if (S_ISLNK(entry.st_mode)) {
        char link[4096];
        const ssize_t length = readlink(path.c_str(), link, sizeof link);
        if (length > 0)
            target.assign(link, static_cast<std::size_t>(length));
    }
    diagnosis.device = QString::fromLocal8Bit(target.c_str());
    struct stat info
    {
    };
    if (stat(path.c_str(), &info) != 0) {
        ExplainBrokenLink(path, target, errno, diagnosis);
        return diagnosis;
    }
    if (!S_ISCHR(info.st_mode)) {
        diagnosis.state = PortDiagnosis::State::NotSerial;
        diagnosis.detail = FileKind(info.st_mode);
        return diagnosis;
    }
    diagnosis.identity = IdentifyDevice(QString::fromLocal8Bit(path.c_str()));
    ExplainOpening(opening, info, diagnosis);
    return diagnosis;
}

QString PortDevice(int portNumber)
{
    const auto resolved = platform::resolvePortName("COM" + std::to_string(portNumber));
    if (!resolved)
        return {};
    std::error_code error;
    const std::filesystem::path device = std::filesystem::weakly_canonical(*resolved, error);
    return error ? QString() : QString::fromLocal8Bit(device.c_str());
}

bool DevicePresent(const QString& device)
{
    return !device.isEmpty() && QFileInfo::exists(device);
}

QList<MisnamedEntry> MisnamedMapEntries()
{
    QList<MisnamedEntry> entries;
    const std::optional<std::string> directory = platform::portMapDirectory();
    for (const std::string& name : platform::misnamedPortEntries()) {
        const std::string path = *directory + "/" + name;
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(path, error);
        entries.append({QString::fromLocal8Bit(name.c_str()),
                        QString::fromLocal8Bit(error ? path.c_str() : target.c_str())});
    }
    return entries;
}

QList<int> ListedPortNumbers()
{
    QList<int> numbers;
    for (int number = 1; number <= HighestListedByDefault; ++number)
        numbers.append(number);
    for (const int number : platform::mappedPortNumbers()) {
        if (number > HighestListedByDefault)
            numbers.append(number);
    }
    return numbers;
}
