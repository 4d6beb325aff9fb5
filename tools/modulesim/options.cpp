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
    if (options.strayByte && options.strayFirst)
        throw std::invalid_argument(
            "a stray byte goes before every answer or before the first only, not both");
    if (options.cutTo && *options.cutTo < 0)
        throw std::invalid_argument("an answer cannot be cut to fewer than 0 bytes");
    if (options.cutAnswer < 1)
        throw std::invalid_argument("the answer cut short must be at least the first");
    if (options.doubledAnswer < 0 || options.droppedRead < 0)
        throw std::invalid_argument("answers and read requests are counted from 1");
    if (!(options.dropChance >= 0 && options.dropChance <= 1))
        throw std::invalid_argument("the chance of losing an answer must be from 0 to 1");
    if (options.dropChance > 0 && !options.seed)
        throw std::invalid_argument("losing answers by chance needs a seed");
}

} // namespace modulesim
