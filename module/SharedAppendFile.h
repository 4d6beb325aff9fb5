// A file that several programs append records to, a line each: opened for
// appending only (created with mode 0644), each append made with one write
// under an exclusive advisory lock and synced to disk before it returns. The
// lines of two writers never interleave, and a line appended is on disk,
// whatever happens to the program next, once the call has returned.
#pragma once

#include "Failure.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class SharedAppendFile
{
public:
    // How the file ends as an append begins, under the lock, so that the
    // bytes appended can bring what they need first: a header to an empty
    // file, a line end after the half line of a writer killed while writing.
    struct End
    {
        bool empty = true;
        bool endsLine = true;
    };

    static Result<SharedAppendFile> open(const QString& path);

    SharedAppendFile(SharedAppendFile&&) noexcept;
    SharedAppendFile& operator=(SharedAppendFile&&) noexcept;
    ~SharedAppendFile();

    // Appends what `compose` returns, told how the file ends.
    Result<void> append(const std::function<QByteArray(End)>& compose);

private:
    struct Handle;
    SharedAppendFile(QString path, std::unique_ptr<Handle> handle);

    QString path_;
    std::unique_ptr<Handle> handle_;
};
