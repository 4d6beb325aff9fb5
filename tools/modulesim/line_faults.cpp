#include "line_faults.h"

#include <algorithm>

namespace modulesim {

namespace {

// The top 53 bits of a draw make a double in [0, 1) that is the same on
// every system, which std::uniform_real_distribution does not promise.
constexpr int DrawShift = 11;
constexpr double DrawScale = 0x1.0p-53;

} // namespace

LineFaults::LineFaults(const Options& options)
    : options_(options), chance_(options.seed.value_or(0))
{}

bool LineFaults::lost(int readRequest)
{
    if (readRequest == options_.droppedRead)
        return true;
    if (options_.dropChance <= 0)
        return false;
    return static_cast<double>(chance_() >> DrawShift) * DrawScale < options_.dropChance;
}

std::optional<Transmission> LineFaults::carry(int readRequest, Bytes answer)
{
    if (lost(readRequest))
        return std::nullopt;
    const int number = ++answersSent_;
    Transmission sent;
    if (options_.strayByte || (options_.strayFirst && number == 1))
        sent.lead.push_back(options_.strayValue);
    if (number == options_.doubledAnswer) {
        const Bytes once = answer;
        answer.insert(answer.end(), once.begin(), once.end());
    }
    if (options_.cutTo && number == options_.cutAnswer)
        answer.resize(std::min(answer.size(), static_cast<std::size_t>(*options_.cutTo)));
    sent.answer = std::move(answer);
    return sent;
}

} // namespace modulesim
