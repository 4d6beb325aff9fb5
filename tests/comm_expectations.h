// What the serial component asks of a port it opens, checked through the
// port's handle: on the POSIX platform layer in the pseudo-terminal tests,
// on Windows' own serial API in tests/windows.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

// Eight data bits, no parity and one stop bit, at `baudRate`.
inline void expectEightDataBitsNoParityOneStopBit(const DCB& dcb, DWORD baudRate)
{
    EXPECT_EQ(dcb.BaudRate, baudRate);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

// The component's time-outs: a read returns at once with what is waiting,
// else waits up to `readTimeoutMs` for the count; a write may take
// `writeTimeoutMs` a byte.
inline void expectComponentTimeouts(HANDLE port, DWORD readTimeoutMs, DWORD writeTimeoutMs)
{
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, readTimeoutMs);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, writeTimeoutMs);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}
