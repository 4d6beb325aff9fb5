#include "Output.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstring>

namespace {

constexpr int ChannelByteMask = 0xFF;
constexpr char16_t Delete = 0x7F;
constexpr char16_t LastC1Control = 0x9F;

bool IsControl(QChar character)
{
    const char16_t code = character.unicode();
    return code < u' ' || (code >= Delete && code <= LastC1Control);
}

QString Escaped(QChar character)
{
    return QStringLiteral("\\x%1").arg(character.unicode(), 2, 16, QLatin1Char('0'));
}

} // namespace

QString Printable(const QString& text)
{
    QString printable;
    for (const QChar character : text) {
        if (character == QLatin1Char('\\'))
            printable += QStringLiteral("\\\\");
        else if (IsControl(character))
            printable += Escaped(character);
        else
            printable += character;
    }
    return printable;
}

void PrintLine(std::FILE* stream, const QString& line)
{
    QString shown;
    for (const QChar character : line)
        shown += IsControl(character) ? Escaped(character) : QString(character);
    std::fprintf(stream, "%s\n", shown.toLocal8Bit().constData());
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

int ChannelValue(int channel)
{
    return channel & ChannelByteMask;
}

bool ChannelValid(int channelValue)
{
    return channelValue >= LowestChannel && channelValue <= HighestChannel;
}

QString AddressText(const QString& address)
{
    return address.isEmpty() ? QStringLiteral("\"\"") : Printable(address);
}

QString RadioDataText(const QString& address, int channelValue)
{
    const QString range =
        ChannelValid(channelValue)
            ? QString()
            : QStringLiteral(" (outside %1 to %2)").arg(LowestChannel).arg(HighestChannel);
    return QStringLiteral("channel %1%2, address %3")
        .arg(channelValue)
        .arg(range, AddressText(address));
}

QString ReadingsText(const QList<RadioReading>& readings)
{
    QStringList texts;
    for (const RadioReading& reading : readings)
        texts.append(RadioDataText(reading.address, ChannelValue(reading.channel)));
    return texts.join(QStringLiteral("; then "));
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
    const int error = errno;
    std::fprintf(stderr, "melvix-module: write error on standard output%s%s\n",
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return false;
}
