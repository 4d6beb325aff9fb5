// POSIX: O_APPEND places each write at the end, and flock keeps the other
// writers out from the look at the file's end to the sync.
#include "SharedAppendFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct SharedAppendFile::Handle
{
    explicit Handle(int fd) : fd(fd) {}
    ~Handle() { ::close(fd); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    const int fd;
};

namespace {

// Holds the file's exclusive lock while it lives.
class ExclusiveLock
{
public:
    explicit ExclusiveLock(int fd) : fd_(fd)
    {
        int locked = 0;
        do
            locked = flock(fd_, LOCK_EX);
        while (locked != 0 && errno == EINTR);
        error_ = locked == 0 ? 0 : errno;
    }
    ~ExclusiveLock()
    {
        if (error_ == 0)
            flock(fd_, LOCK_UN);
    }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    int error() const { return error_; }

private:
    const int fd_;
    int error_ = 0;
};

// A device such as /dev/null or a pipe keeps nothing to sync.
bool SyncedOrNothingToSync(int fd)
{
    return fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

Failure Failed(const QString& what, const QString& path, int error)
{
    return Failure{what, error,
                   QStringLiteral("cannot %1 %2: %3")
                       .arg(what, path, QString::fromLocal8Bit(std::strerror(error)))};
}

} // namespace

SharedAppendFile::SharedAppendFile(QString path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle))
{}

SharedAppendFile::SharedAppendFile(SharedAppendFile&&) noexcept = default;
SharedAppendFile& SharedAppendFile::operator=(SharedAppendFile&&) noexcept = default;
SharedAppendFile::~SharedAppendFile() = default;

Result<SharedAppendFile> SharedAppendFile::open(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    constexpr int Flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
    // Read as well, for the look at the file's last byte.
    int fd = ::open(name.constData(), O_RDWR | Flags, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_WRONLY | Flags, 0644);
    if (fd < 0)
        return Failed(QStringLiteral("open"), path, errno);
    return SharedAppendFile(path, std::make_unique<Handle>(fd));
}

Result<void> SharedAppendFile::append(const std::function<QByteArray(End)>& compose)
{
    const int fd = handle_->fd;
    const ExclusiveLock lock(fd);
    if (lock.error() != 0)
        return Failed(QStringLiteral("lock"), path_, lock.error());
    End end;
    struct stat status = {};
    if (fstat(fd, &status) != 0)
        return Failed(QStringLiteral("look at"), path_, errno);
    // A device or a pipe gets no header, and no line end of its own.
    if (!S_ISREG(status.st_mode)) {
        end.empty = false;
    } else if (status.st_size > 0) {
        end.empty = false;
        // A file this user may append to but not read is taken to end its
        // line.
        char last = '\n';
        end.endsLine = pread(fd, &last, 1, status.st_size - 1) != 1 || last == '\n';
    }
    const QByteArray bytes = compose(end);
    ssize_t written = -1;
    while ((written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()))) < 0 &&
           errno == EINTR) {
    }
    if (written < 0)
        return Failed(QStringLiteral("write to"), path_, errno);
    // Short only when the disk filled up in the midst of it.
    if (written != bytes.size())
        return Failed(QStringLiteral("write to"), path_, ENOSPC);
    if (!SyncedOrNothingToSync(fd))
        return Failed(QStringLiteral("sync"), path_, errno);
    return {};
}
