// What the line's services take from whoever runs them: the module
// generation to speak, the channel to write, and whether every wait for a
// reply lasts the full reply wait, as the window's do.
#pragma once

#include "ModuleProtocol.h"

#include <optional>

struct LineSettings
{
    int generation = ModuleProtocol::V5;
    std::optional<int> channel;
    bool fixedWaits = false;
};
