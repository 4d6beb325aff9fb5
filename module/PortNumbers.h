// The one rule for port numbers: the serial component opens COM1 to COM31,
// detection tries COM1 to COM21 as the window does, and a higher port is
// reached with --port. `ports` lists COM1 to COM21 and every higher entry of
// the port map, those above COM31 as unusable.
#pragma once

#include "ModuleSession.h"
#include "Radiocom.h"

constexpr int HighestOpenedPort = TRadioCom::COM31 + 1;
constexpr int HighestDetectedPort = ModuleTiming::LastPortTried + 1;
