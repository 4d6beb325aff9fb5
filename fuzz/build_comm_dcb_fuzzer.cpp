// Any text as the line settings of a port: the parser never reads outside the
// text, a text it refuses leaves the state alone, and one it accepts gives
// line settings within their ranges. As on Windows, a baud rate of 0 is
// accepted here (the device refuses it later) and binary mode is never
// touched.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    DCB state{};
    state.DCBlength = sizeof(DCB);
    state.BaudRate = 9600;
    state.ByteSize = 8;
    state.fBinary = 1;
    const DCB before = state;
    if (!BuildCommDCBA(text.c_str(), &state)) {
        if (std::memcmp(&state, &before, sizeof(DCB)) != 0)
            std::abort(); // a refused text leaves the state alone
        return 0;
    }
    if (state.ByteSize < 5 || state.ByteSize > 8 || state.Parity > SPACEPARITY ||
        state.StopBits > TWOSTOPBITS || state.fBinary != before.fBinary ||
        state.fParity != before.fParity)
        std::abort();
    return 0;
}
