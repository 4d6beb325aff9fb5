#include "report.h"

#include <cstdio>

namespace {

const char* goalRelation(const Figure& f)
{
    if (f.goalIsExact)
        return "ratio =";
    return f.goalIsAbsolute ? "value ≤" : "ratio ≤";
}

const char* goalOn(const Figure& f)
{
    if (f.goalIsExact)
        return "ratio exactly";
    return f.goalIsAbsolute ? "value" : "ratio";
}

} // namespace

void printTable(const std::vector<Figure>& figures)
{
    std::printf("| Figure | Value | Baseline | Ratio | Goal | Met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Figure& f : figures) {
        std::printf("| %s | %.4g %s | %s: %.4g %s | %.3f | %s %.4g%s | %s |\n", f.name.c_str(),
                    f.value, f.unit.c_str(), f.baselineName.c_str(), f.baseline, f.unit.c_str(),
                    f.ratio(), goalRelation(f), f.goal,
                    f.goalIsAbsolute ? (" " + f.unit).c_str() : "", f.met() ? "yes" : "no");
    }
}

void printJson(const std::vector<Figure>& figures)
{
    std::printf("[\n");
    for (std::size_t i = 0; i < figures.size(); ++i) {
        const Figure& f = figures[i];
        std::printf("  {\"figure\": \"%s\", \"unit\": \"%s\", \"value\": %.6g, \"baseline\": "
                    "\"%s\", \"baseline_value\": %.6g, \"ratio\": %.6g, \"goal\": %.6g, "
                    "\"goal_on\": \"%s\", \"met\": %s}%s\n",
                    f.name.c_str(), f.unit.c_str(), f.value, f.baselineName.c_str(), f.baseline,
                    f.ratio(), f.goal, goalOn(f), f.met() ? "true" : "false",
                    i + 1 < figures.size() ? "," : "");
    }
    std::printf("]\n");
}
