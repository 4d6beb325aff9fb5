// One benchmark figure beside the baseline measured in the same run, and the
// table and JSON they are printed as.
#pragma once

#include <string>
#include <vector>

struct Figure
{
    std::string name;
    std::string unit;
    double value;
    std::string baselineName;
    double baseline;
    // The goal on value / baseline, or on the value alone when absolute.
    double goal;
    bool goalIsAbsolute = false;
    // A count that must come out exactly: the ratio equals the goal.
    bool goalIsExact = false;

    double ratio() const { return baseline > 0 ? value / baseline : 0; }
    bool met() const
    {
        if (goalIsExact)
            return ratio() == goal;
        return (goalIsAbsolute ? value : ratio()) <= goal;
    }
};

void printTable(const std::vector<Figure>& figures);
void printJson(const std::vector<Figure>& figures);
