#include "NameTables.h"

#include "ModuleSession.h"

const QStringList& PortNames()
{
    static const QStringList names = [] {
        QStringList built;
        // Every port detection tries has a name.
        for (int number = 1; number <= ModuleTiming::LastPortTried + 1; ++number)
            built << QStringLiteral("COM%1").arg(number);
        return built;
    }();
    return names;
}

const QStringList& SpeedNames()
{
    static const QStringList names = {"110",  "150",  "300",   "600",   "1200",  "2400",
                                      "4800", "9600", "19200", "38400", "57600", "115200"};
    return names;
}
