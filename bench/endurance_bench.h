// A production line's day: many modules through `melvix-module write --each`
// with a record kept, one plugged in after another.
#pragma once

#include "report.h"

#include <vector>

// Plugs `modules` simulated modules in turn, each pulled once its result is
// printed. The figures: time per module beyond the module's own pause,
// memory and descriptors at the end beside after the tenth module, and the
// result records in the log beside the modules plugged. With `timed` false
// the timing goal is ten times as wide, for a short run on a loaded machine.
std::vector<Figure> enduranceFigures(int modules, bool timed);
