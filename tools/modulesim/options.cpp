#include "options.h"

#include <stdexcept>

namespace modulesim {

void checkOptions(const Options& options)
{
    if (options.address.size() != 4)
        throw std::invalid_argument("the address must be exactly 4 bytes");
    if (options.pieces < 1)
        throw std::invalid_argument("the number of pieces must be at least 1");
    if (options.piecePause.count() < 0)
        throw std::invalid_argument("the piece pause must not be negative");
    if (options.answerFrom < 1)
        throw std::invalid_argument("the first answered request must be at least 1");
    if (options.vanishAfter && options.vanishAfter->count() < 0)
        throw std::invalid_argument("the time before vanishing must not be negative");
}

} // namespace modulesim
