// Sequential against parallel detection, measured side by side in one run.
#pragma once

#include "report.h"

#include <vector>

std::vector<Figure> detectionFigures();
