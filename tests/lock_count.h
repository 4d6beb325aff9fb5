// The count of a component's lock, read without disturbing it: 1 when free.
#pragma once

#include "Radiocom.h"

int lockCount(const TRadioCom& com);
