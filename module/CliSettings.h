// The serial settings that the window's description gives its component,
// for the command line's components.
#pragma once

#include "Radiocom.h"

inline void ConfigureLikeTheWindow(TRadioCom& com)
{
    com.SetRtsFlowControl(TRadioCom::RTSOff);
    com.SetReadTimeout(100);
    com.SetWriteTimeout(100);
}
