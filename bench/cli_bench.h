// melvix-module as a whole process: its waits that end on the answer beside
// the window's fixed waits, a batch beside one module, and what waiting for
// the next module costs.
#pragma once

#include "report.h"

#include <vector>

std::vector<Figure> commandLineFigures();
