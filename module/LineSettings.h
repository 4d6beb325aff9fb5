// What the line's services take from whoever runs them: the module
// generation to speak, the channel to write, whether every wait for a
// reply lasts the full reply wait, as the window's do, and the ports they
// may use.
#pragma once

#include "ModuleProtocol.h"

#include <QList>

#include <optional>

struct LineSettings
{
    int generation = ModuleProtocol::V5;
    std::optional<int> channel;
    bool fixedWaits = false;
    // The port indices the user allowed, rising; when set, no other port is
    // opened, let alone sent to: a line's console or another instrument may
    // sit on the ports beside the modules'.
    std::optional<QList<int>> onlyPorts;

    bool allows(int portIndex) const { return !onlyPorts || onlyPorts->contains(portIndex); }
};
