// The COM ports the Windows tests stand on, named by the environment:
// MELVIX_TEST_COM is a port where the module simulator answers, and
// MELVIX_TEST_FREE_COM one with nothing behind it.
#pragma once

#include "Radiocom.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

inline TRadioCom::ports portFromEnvironment(const char* variable)
{
    const char* number = std::getenv(variable);
    if (!number || std::atoi(number) < 1 || std::atoi(number) > 31) {
        ADD_FAILURE() << variable << " must name a COM port by its number, 1 to 31";
        return TRadioCom::COM31;
    }
    return static_cast<TRadioCom::ports>(std::atoi(number) - 1);
}

inline TRadioCom::ports simulatedPort()
{
    return portFromEnvironment("MELVIX_TEST_COM");
}

inline TRadioCom::ports freePort()
{
    return portFromEnvironment("MELVIX_TEST_FREE_COM");
}

// Wine's ntdll exports its version; Windows' does not.
inline bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The simulator's module as tools/windows/wine.sh starts it.
inline constexpr int SimulatedChannel = 5;
inline constexpr const char* SimulatedAddress = "WXYZ";
inline constexpr int ReplyLength = 16;
