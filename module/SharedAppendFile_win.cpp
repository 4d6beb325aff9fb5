// Windows: a handle with append access alone (FILE_APPEND_DATA without
// FILE_WRITE_DATA) writes at the end whatever the others wrote, LockFileEx
// keeps the other writers out from the look at the file's end to the flush,
// and FlushFileBuffers puts the line on disk.
#include "SharedAppendFile.h"

#include <windows.h>

#include <QDir>

#include <limits>

struct SharedAppendFile::Handle
{
    explicit Handle(HANDLE file) : file(file) {}
    ~Handle() { CloseHandle(file); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    const HANDLE file;
};

namespace {

constexpr DWORD WholeFile = std::numeric_limits<DWORD>::max();

// Holds the file's exclusive lock, over all of it, while it lives.
class ExclusiveLock
{
public:
    explicit ExclusiveLock(HANDLE file) : file_(file)
    {
        OVERLAPPED from{};
        error_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, WholeFile, WholeFile, &from)
                     ? ERROR_SUCCESS
                     : GetLastError();
    }
    ~ExclusiveLock()
    {
        if (error_ == ERROR_SUCCESS) {
            OVERLAPPED from{};
            UnlockFileEx(file_, 0, WholeFile, WholeFile, &from);
        }
    }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    DWORD error() const { return error_; }

private:
    const HANDLE file_;
    DWORD error_ = ERROR_SUCCESS;
};

QString SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const QString message = QString::fromWCharArray(text, static_cast<int>(length)).trimmed();
    LocalFree(text);
    return message.isEmpty() ? QStringLiteral("error %1").arg(error) : message;
}

Failure Failed(const QString& what, const QString& path, int error)
{
    return Failure{what, error,
                   QStringLiteral("cannot %1 %2: %3")
                       .arg(what, path, SystemMessage(static_cast<DWORD>(error)))};
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
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    // Read access as well, for the look at the file's last byte; the others
    // may read, append and rename it meanwhile.
    const HANDLE file = CreateFileW(name.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Failed(QStringLiteral("open"), path, static_cast<int>(GetLastError()));
    }
    return SharedAppendFile(path, std::make_unique<Handle>(file));
}

Result<void> SharedAppendFile::append(const std::function<QByteArray(End)>& compose)
{
    const HANDLE file = handle_->file;
    const ExclusiveLock lock(file);
    if (lock.error() != ERROR_SUCCESS)
        return Failed(QStringLiteral("lock"), path_, static_cast<int>(lock.error()));
    End end;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        return Failed(QStringLiteral("look at"), path_, static_cast<int>(GetLastError()));
    if (size.QuadPart > 0) {
        end.empty = false;
        OVERLAPPED at{};
        const ULONGLONG last = static_cast<ULONGLONG>(size.QuadPart - 1);
        at.Offset = static_cast<DWORD>(last);
        at.OffsetHigh = static_cast<DWORD>(last >> 32);
        char byte = '\n';
        DWORD read = 0;
        end.endsLine = !ReadFile(file, &byte, 1, &read, &at) || read != 1 || byte == '\n';
    }
    const QByteArray bytes = compose(end);
    DWORD written = 0;
    if (!WriteFile(file, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return Failed(QStringLiteral("write to"), path_, static_cast<int>(GetLastError()));
    if (written != static_cast<DWORD>(bytes.size()))
        return Failed(QStringLiteral("write to"), path_, ERROR_DISK_FULL);
    if (!FlushFileBuffers(file))
        return Failed(QStringLiteral("sync"), path_, static_cast<int>(GetLastError()));
    return {};
}
