#include "RadioReading.h"

bool ReadingConfirmation::confirmed() const
{
    const auto count = readings_.size();
    return count >= 2 && readings_[count - 1] == readings_[count - 2];
}
