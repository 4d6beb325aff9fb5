// The serial settings of every component that talks to a module, the
// window's and the command line's alike, so that both meet the module on the
// same terms.
#pragma once

#include "Radiocom.h"

namespace SerialSettings {
// RTS stays low instead of the component's default handshake.
constexpr auto RtsFlowControl = TRadioCom::RTSOff;
constexpr int ReadTimeoutMs = 100;
constexpr int WriteTimeoutMs = 100;
} // namespace SerialSettings

inline void ApplySerialSettings(TRadioCom& com)
{
    com.SetRtsFlowControl(SerialSettings::RtsFlowControl);
    com.SetReadTimeout(SerialSettings::ReadTimeoutMs);
    com.SetWriteTimeout(SerialSettings::WriteTimeoutMs);
}
