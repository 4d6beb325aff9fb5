#include "RadioText.h"

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

QString ControlsEscaped(const QString& text)
{
    QString shown;
    for (const QChar character : text)
        shown += IsControl(character) ? Escaped(character) : QString(character);
    return shown;
}

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
