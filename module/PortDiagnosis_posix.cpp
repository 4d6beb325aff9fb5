// The port checks on POSIX systems: the port map's entry, the file it leads
// to, an open as the serial component makes it (exclusive through flock), and
// /proc for the process that holds a busy port.
#include "PortDiagnosis.h"

#include "port_map.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int HighestListedByDefault = 21;

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

// The first other process with the character device `device` open, as far as
// /proc lets this user see.
void FindHolder(dev_t device, PortDiagnosis& diagnosis)
{
    const QString ownPid = QString::number(getpid());
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : processes) {
        bool numeric = false;
        const qint64 number = pid.toLongLong(&numeric);
        if (!numeric || pid == ownPid)
            continue;
        const QString fdDir = QStringLiteral("/proc/") + pid + QStringLiteral("/fd");
        for (const QString& fd : QDir(fdDir).entryList(QDir::AllEntries | QDir::System)) {
            struct stat info
            {
            };
            const QByteArray path = (fdDir + QLatin1Char('/') + fd).toLocal8Bit();
            if (stat(path.constData(), &info) == 0 && S_ISCHR(info.st_mode) &&
                info.st_rdev == device) {
                diagnosis.holderPid = number;
                QFile comm(QStringLiteral("/proc/") + pid + QStringLiteral("/comm"));
                if (comm.open(QIODevice::ReadOnly))
                    diagnosis.holderName = QString::fromLocal8Bit(comm.readAll()).trimmed();
                return;
            }
        }
    }
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

// Opens the character device as the serial component does, without sending
// anything, and closes it again.
void TryOpen(const std::string& path, const struct stat& info, PortDiagnosis& diagnosis)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            diagnosis.state = PortDiagnosis::State::PermissionDenied;
        } else if (error == EBUSY) {
            diagnosis.state = PortDiagnosis::State::Busy;
            FindHolder(info.st_rdev, diagnosis);
        } else if (error == ENOENT || error == ENXIO || error == ENODEV) {
            diagnosis.state = PortDiagnosis::State::NoDevice;
        } else {
            diagnosis.state = PortDiagnosis::State::Unusable;
            diagnosis.detail = QString::fromLocal8Bit(std::strerror(error));
        }
        return;
    }
    termios settings{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        diagnosis.state = PortDiagnosis::State::Busy;
        FindHolder(info.st_rdev, diagnosis);
    } else if (tcgetattr(fd, &settings) != 0) {
        SetNoTerminalState(errno, info, diagnosis);
    } else {
        diagnosis.state = PortDiagnosis::State::Available;
    }
    close(fd);
}

} // namespace

PortDiagnosis DiagnosePort(int portNumber)
{
    PortDiagnosis diagnosis;
    diagnosis.portNumber = portNumber;
    const auto resolved = platform::resolvePortName("COM" + std::to_string(portNumber));
    if (!resolved)
        return diagnosis;
    const std::string& path = *resolved;
    struct stat entry
    {
    };
    if (lstat(path.c_str(), &entry) != 0)
        return diagnosis;
    diagnosis.device = QString::fromLocal8Bit(path.c_str());
    if (S_ISLNK(entry.st_mode)) {
        char target[4096];
        const ssize_t length = readlink(path.c_str(), target, sizeof target);
        if (length > 0)
            diagnosis.device = QString::fromLocal8Bit(target, length);
    }
    struct stat info
    {
    };
    if (stat(path.c_str(), &info) != 0) {
        diagnosis.state = PortDiagnosis::State::DanglingLink;
        return diagnosis;
    }
    if (!S_ISCHR(info.st_mode)) {
        diagnosis.state = PortDiagnosis::State::NotSerial;
        diagnosis.detail = FileKind(info.st_mode);
        return diagnosis;
    }
    TryOpen(path, info, diagnosis);
    return diagnosis;
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
