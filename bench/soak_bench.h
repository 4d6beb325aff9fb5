// melvix-module writing again and again through lines with random faults:
// how each write ends, and how often one harms a module without saying so.
#pragma once

#include <cstdint>

// Runs at least `writes` writes, drawn from `seed`, and prints the counts.
void runSoak(int writes, std::uint64_t seed);
