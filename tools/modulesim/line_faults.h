// The line between the module and the program, with the faults the options
// ask of it: answers lost, cut short, doubled or led by a stray byte. The
// module decides what to answer; this decides what of it arrives.
#pragma once

#include "options.h"
#include "protocol.h"

#include <optional>
#include <random>

namespace modulesim {

// What goes out for one answer.
struct Transmission
{
    // Sent first and on its own: a stray byte, or nothing.
    Bytes lead;
    // The answer as the line lets it through, sent in the options' pieces.
    Bytes answer;
};

class LineFaults
{
public:
    explicit LineFaults(const Options& options);

    // What arrives of the answer to read request `readRequest` (counted
    // from 1); nullopt when the line loses it. Call once per answer the
    // module gives, in order, as the answers are counted here.
    std::optional<Transmission> carry(int readRequest, Bytes answer);

private:
    bool lost(int readRequest);

    const Options options_;
    int answersSent_ = 0;
    // Drawn from only for answers the line may lose by chance, so that a
    // seed replays the same losses whatever else the options ask.
    std::mt19937_64 chance_;
};

} // namespace modulesim
