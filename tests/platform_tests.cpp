#include "pty_pair.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <termios.h>

namespace {

HANDLE openPort(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

TEST(PortMap, ComNamesResolveThroughTheMapDirectory)
{
    PtyPair pty;
    PortMap map;
    map.link(3, pty.slavePath());
    for (const char* name : {"COM3", "com3", R"(\\.\COM3)", R"(\\.\cOm3)"}) {
        HANDLE port = openPort(name);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetFileType(port), FILE_TYPE_CHAR);
        EXPECT_TRUE(CloseHandle(port));
    }
    for (const char* name : {"COM4", "COM03", "COM0"}) {
        EXPECT_EQ(openPort(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(DcbLayout, FlagBitsSitWhereWindowsHasThem)
{
    DCB state{};
    state.fRtsControl = RTS_CONTROL_TOGGLE;
    state.fDtrControl = DTR_CONTROL_HANDSHAKE;
    state.fOutxCtsFlow = 1;
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&state) + 8, sizeof flags);
    EXPECT_EQ(flags, 0x3000u | 0x20u | 0x4u);
}

} // namespace
