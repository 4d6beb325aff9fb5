// Windows gives each port its COM number itself and keeps it for the
// adapter or the socket, as its device manager shows and lets a user change:
// there is no port map to make.
#include "PortMapping.h"

Result<PortMapPlan> MakePortMap(const QString& directory, PortMapKey, const QString&)
{
    return Failure{QStringLiteral("make the port map %1").arg(directory), 0,
                   QStringLiteral("Windows numbers the COM ports itself; a port's number is set in "
                                  "the Device Manager (the port's Properties, Port Settings, "
                                  "Advanced): map is for Linux")};
}
