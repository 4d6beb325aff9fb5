// Timing a piece of work and summing up repeated runs, shared by the
// benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The wall-clock time `work` takes, in milliseconds.
template <class Work> double timeMs(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}
