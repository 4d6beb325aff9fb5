#include "Output.h"

#include "RadioText.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstring>

namespace {

ScreenFooter* footer = nullptr;

} // namespace

void SetScreenFooter(ScreenFooter* newFooter)
{
    footer = newFooter;
}

void PrintLine(std::FILE* stream, const QString& line)
{
    if (footer)
        footer->erase();
    std::fprintf(stream, "%s\n", ControlsEscaped(line).toLocal8Bit().constData());
    if (footer) {
        std::fflush(stream);
        footer->draw();
    }
}

namespace {

void PrintJsonDocument(const QJsonDocument& document)
{
    std::fputs(document.toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
}

} // namespace

void PrintJson(const QJsonObject& object)
{
    PrintJsonDocument(QJsonDocument(object));
}

void PrintJsonArray(const QJsonArray& array)
{
    PrintJsonDocument(QJsonDocument(array));
}

void InsertRadioData(QJsonObject& object, const QString& address, int channelValue)
{
    object.insert(QStringLiteral("address"), address);
    object.insert(QStringLiteral("channel"), channelValue);
    object.insert(QStringLiteral("channelValid"), ChannelValid(channelValue));
}

bool StandardOutputWritten()
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && std::ferror(stdout) == 0)
        return true;
    ReportOutputError(errno);
    return false;
}

void ReportOutputError(int error)
{
    std::fprintf(stderr, "melvix-module: write error on standard output%s%s\n",
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
}
