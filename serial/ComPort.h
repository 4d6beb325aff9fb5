// A serial port as users and Windows name it, COM<number>: the one value
// that carries a port from the command line or a scan to the component,
// whose port index is the number less one.
#pragma once

#include <QString>

#include <compare>

struct ComPort
{
    int number = 0;

    static constexpr ComPort fromIndex(int index) { return {index + 1}; }
    constexpr int index() const { return number - 1; }
    QString name() const { return QStringLiteral("COM%1").arg(number); }

    constexpr auto operator<=>(const ComPort&) const = default;
};
