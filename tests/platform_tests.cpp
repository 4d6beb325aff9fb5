#include "pty_pair.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
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

// WaitCommEvent on its own thread, so the test can act while it waits.
std::future<std::pair<BOOL, DWORD>> waitForEvent(HANDLE port)
{
    return std::async(std::launch::async, [port] {
        DWORD events = 0xDEAD;
        OVERLAPPED overlapped{};
        const BOOL ok = WaitCommEvent(port, &events, &overlapped);
        return std::make_pair(ok, events);
    });
}

TEST(CommEvents, WaitsReportWhatHappenedAndSetCommMaskEndsThem)
{
    using std::chrono::milliseconds;
    PtyPair pty;
    PortMap map;
    map.link(1, pty.slavePath());
    HANDLE port = openPort("COM1");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));

    auto pending = waitForEvent(port);
    pty.send("ab");
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::make_pair(TRUE, EV_RXCHAR));

    // The two bytes stay unread: they do not end the next wait.
    pending = waitForEvent(port);
    EXPECT_EQ(pending.wait_for(milliseconds(100)), std::future_status::timeout);
    // A mask change does, with no events.
    ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::make_pair(TRUE, DWORD{0}));

    // Arrivals the mask leaves out end nothing; a drained write does.
    pending = waitForEvent(port);
    pty.send("cd");
    EXPECT_EQ(pending.wait_for(milliseconds(100)), std::future_status::timeout);
    DWORD written = 0;
    OVERLAPPED overlapped{};
    ASSERT_TRUE(WriteFile(port, "xyz", 3, &written, &overlapped));
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::make_pair(TRUE, EV_TXEMPTY));

    // Closing the handle ends a wait too, as a failure.
    pending = waitForEvent(port);
    EXPECT_EQ(pending.wait_for(milliseconds(50)), std::future_status::timeout);
    EXPECT_TRUE(CloseHandle(port));
    ASSERT_EQ(pending.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(pending.get().first, FALSE);
}

TEST(CommEvents, APortOpensWithNothingLeftFromBefore)
{
    PtyPair pty;
    PortMap map;
    map.link(1, pty.slavePath());
    pty.send("stale");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (pty.waitingAtProgramEnd() < 5 && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(pty.waitingAtProgramEnd(), 5);
    HANDLE port = openPort("COM1");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    CloseHandle(port);
}

} // namespace
