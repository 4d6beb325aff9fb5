#include "Radiocom.h"
#include "comm_expectations.h"
#include "lock_count.h"
#include "pty_pair.h"
#include "timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Opens `path` in a child process the way another program would take the
// port: exclusively. True when the child got it.
bool anotherProcessCanOpen(const std::string& path)
{
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A component on a pty mapped as COM3.
class OpenPortTest : public testing::Test
{
protected:
    void SetUp() override
    {
        map.link(3, pty.slavePath());
        com.SetComPort(TRadioCom::COM3);
    }

    void open()
    {
        com.OpenPort();
        ASSERT_TRUE(com.Connected());
    }

    DCB state() const
    {
        DCB dcb{};
        EXPECT_TRUE(GetCommState(com.GetPortHandle(), &dcb));
        return dcb;
    }

    termios seenFromOtherEnd() const
    {
        termios settings{};
        EXPECT_EQ(tcgetattr(pty.master(), &settings), 0);
        return settings;
    }

    PtyPair pty;
    PortMap map;
    TRadioCom com;
};

// An index given to a property of the component, the text it derives from
// it, and the value the property reads back: an index past the table falls
// back to a default.
template <typename Value> struct IndexCase
{
    int index;
    const char* text;
    Value readBack;
};

template <typename Value, std::size_t Count>
void expectEachIndex(const IndexCase<Value> (&cases)[Count], void (TRadioCom::*set)(Value),
                     const char* (TRadioCom::*text)() const, Value (TRadioCom::*get)() const)
{
    for (const auto& c : cases) {
        TRadioCom com;
        (com.*set)(static_cast<Value>(c.index));
        EXPECT_STREQ((com.*text)(), c.text) << c.index;
        EXPECT_EQ((com.*get)(), c.readBack) << c.index;
    }
}

TEST(RadioComTables, PortIndicesNameDevices)
{
    const IndexCase<TRadioCom::ports> cases[] = {
        {0, "COM1", TRadioCom::COM1},           {2, "COM3", TRadioCom::COM3},
        {8, "COM9", TRadioCom::COM9},           {9, R"(\\.\COM10)", TRadioCom::COM10},
        {29, R"(\\.\COM30)", TRadioCom::COM30}, {30, R"(\\.\COM31)", TRadioCom::COM31},
        {31, "COM2", TRadioCom::COM2},          {40, "COM2", TRadioCom::COM2},
        {255, "COM2", TRadioCom::COM2},
    };
    expectEachIndex(cases, &TRadioCom::SetComPort, &TRadioCom::GetDeviceName,
                    &TRadioCom::GetComPort);
}

TEST(RadioComTables, SpeedIndicesNameModeTexts)
{
    const IndexCase<TRadioCom::bauds> cases[] = {
        {0, "110,N,8,1", TRadioCom::br110},          {7, "9600,N,8,1", TRadioCom::br9600},
        {11, "115200,N,8,1", TRadioCom::br115200},   {12, "230400,N,8,1", TRadioCom::br230400},
        {19, "5529600,N,8,1", TRadioCom::br5529600}, {20, "9600,N,8,1", TRadioCom::br9600},
        {25, "9600,N,8,1", TRadioCom::br9600},
    };
    expectEachIndex(cases, &TRadioCom::SetBaudRate, &TRadioCom::GetModeString,
                    &TRadioCom::GetBaudRate);
}

TEST(RadioComProperties, AFreshComponentOpensCom2At9600UnderRtsHandshake)
{
    PtyPair pty;
    PortMap map;
    map.link(2, pty.slavePath());
    TRadioCom com;
    EXPECT_FALSE(com.Connected());
    EXPECT_EQ(com.GetPortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lockCount(com), 1);

    com.OpenPort();
    ASSERT_TRUE(com.Connected());
    EXPECT_STREQ(com.GetDeviceName(), "COM2");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(com.GetPortHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(com.GetPortHandle(), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);
    termios settings{};
    ASSERT_EQ(tcgetattr(pty.master(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), B9600);
}

// A read timeout of 0 would make every read return at once, and the port
// takes no more than 30 s; the port gets the clamped values.
TEST(RadioComProperties, ThePortGetsTheTimeoutsClamped)
{
    struct Case
    {
        int given;
        DWORD read;
        DWORD write;
    } cases[] = {{0, 1, 0},
                 {-5, 1, 0},
                 {-1, 1, 0},
                 {1, 1, 1},
                 {50, 50, 50},
                 {30000, 30000, 30000},
                 {45000, 30000, 30000}};
    PtyPair pty;
    PortMap map;
    map.link(3, pty.slavePath());
    for (const auto& c : cases) {
        TRadioCom com;
        com.SetComPort(TRadioCom::COM3);
        com.SetReadTimeout(c.given);
        com.SetWriteTimeout(c.given);
        EXPECT_EQ(com.ReadTimeout(), static_cast<int>(c.read)) << c.given;
        EXPECT_EQ(com.WriteTimeout(), static_cast<int>(c.write)) << c.given;
        com.OpenPort();
        ASSERT_TRUE(com.Connected()) << c.given;
        COMMTIMEOUTS timeouts{};
        ASSERT_TRUE(GetCommTimeouts(com.GetPortHandle(), &timeouts));
        EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, c.read) << c.given;
        EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, c.write) << c.given;
    }
}

TEST(RadioComProperties, AreSetByNameThroughThePropertySystem)
{
    TRadioCom com;
    EXPECT_TRUE(com.setProperty("RtsFlowControl", "RTSOff"));
    EXPECT_TRUE(com.setProperty("DtrFlowControl", "DTRHandshake"));
    EXPECT_TRUE(com.setProperty("CtsFlowControl", "CTSOn"));
    EXPECT_TRUE(com.setProperty("DsrSensitivity", "DSRDetect"));
    EXPECT_TRUE(com.setProperty("DsrFlowControl", "DSROn"));
    EXPECT_TRUE(com.setProperty("ComPort", "COM7"));
    EXPECT_TRUE(com.setProperty("BaudRate", "br115200"));
    EXPECT_TRUE(com.setProperty("ReadTimeout", 100));
    EXPECT_TRUE(com.setProperty("WriteTimeout", 100));
    EXPECT_EQ(com.RtsFlowControl(), TRadioCom::RTSOff);
    EXPECT_EQ(com.DtrFlowControl(), TRadioCom::DTRHandshake);
    EXPECT_EQ(com.CtsFlowControl(), TRadioCom::CTSOn);
    EXPECT_EQ(com.DsrSensitivity(), TRadioCom::DSRDetect);
    EXPECT_EQ(com.DsrFlowControl(), TRadioCom::DSROn);
    EXPECT_EQ(com.GetComPort(), TRadioCom::COM7);
    EXPECT_EQ(com.GetBaudRate(), TRadioCom::br115200);
    EXPECT_EQ(com.ReadTimeout(), 100);
    EXPECT_EQ(com.WriteTimeout(), 100);
    EXPECT_EQ(com.property("RtsFlowControl").toString(), "RTSOff");
}

// The published interface stores its enumerations in one byte each.
static_assert(sizeof(TRadioCom::ports) == 1);
static_assert(sizeof(TRadioCom::TRtsFlowControl) == 1);

TEST_F(OpenPortTest, OpensWithTheModeTextAndTimeouts)
{
    com.SetBaudRate(TRadioCom::br115200);
    com.SetReadTimeout(50);
    com.SetWriteTimeout(20);
    open();
    EXPECT_NE(com.GetPortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lockCount(com), 1);

    const DCB dcb = state();
    expectEightDataBitsNoParityOneStopBit(dcb, 115200);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    ASSERT_NO_FATAL_FAILURE(expectComponentTimeouts(com.GetPortHandle(), 50, 20));

    // The line really is raw and at that speed, as the other end sees it.
    const termios settings = seenFromOtherEnd();
    EXPECT_EQ(cfgetospeed(&settings), B115200);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
}

TEST_F(OpenPortTest, FlowControlPropertiesSetTheDcbFlagBits)
{
    struct Case
    {
        const char* property;
        const char* value;
        DWORD mask;
        DWORD bits;
        bool crtscts;
    } cases[] = {
        {"RtsFlowControl", "RTSOff", 0x3000, 0x0000, false},
        {"RtsFlowControl", "RTSOn", 0x3000, 0x1000, false},
        // RTS handshake alone paces input only; output does not wait for CTS.
        {"RtsFlowControl", "RTSHandshake", 0x3000, 0x2000, false},
        {"RtsFlowControl", "RTSToggle", 0x3000, 0x3000, false},
        {"DtrFlowControl", "DTROn", 0x0030, 0x0010, false},
        {"DtrFlowControl", "DTRHandshake", 0x0030, 0x0020, false},
        {"CtsFlowControl", "CTSOn", 0x0004, 0x0004, true},
        {"DsrFlowControl", "DSROn", 0x0008, 0x0008, false},
        {"DsrSensitivity", "DSRDetect", 0x0040, 0x0040, false},
    };
    for (const auto& c : cases) {
        TRadioCom fresh;
        fresh.SetComPort(TRadioCom::COM3);
        fresh.SetRtsFlowControl(TRadioCom::RTSOff);
        ASSERT_TRUE(fresh.setProperty(c.property, c.value));
        fresh.OpenPort();
        ASSERT_TRUE(fresh.Connected()) << c.value;
        DCB dcb{};
        ASSERT_TRUE(GetCommState(fresh.GetPortHandle(), &dcb));
        DWORD flags = 0;
        std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 8, sizeof flags);
        EXPECT_EQ(flags & c.mask, c.bits) << c.value;
        EXPECT_EQ((seenFromOtherEnd().c_cflag & CRTSCTS) != 0, c.crtscts) << c.value;
    }
}

TEST_F(OpenPortTest, ThePortIsExclusive)
{
    open();
    TRadioCom second;
    second.SetComPort(TRadioCom::COM3);
    second.OpenPort();
    EXPECT_FALSE(second.Connected());
    EXPECT_EQ(lockCount(second), 1);
    EXPECT_FALSE(anotherProcessCanOpen(pty.slavePath()));

    com.ClosePort();
    EXPECT_TRUE(anotherProcessCanOpen(pty.slavePath()));
    second.OpenPort();
    EXPECT_TRUE(second.Connected());
}

TEST_F(OpenPortTest, ClosingGivesTheTimeoutsBackAndFreesTheDevice)
{
    // Another user of the port left its own time-outs on it.
    const COMMTIMEOUTS earlier{7, 8, 9, 10, 11};
    HANDLE other = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS given = earlier;
    ASSERT_TRUE(SetCommTimeouts(other, &given));
    CloseHandle(other);

    com.SetReadTimeout(50);
    open();
    com.ClosePort();
    EXPECT_FALSE(com.Connected());
    EXPECT_EQ(com.GetPortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lockCount(com), 1);

    other = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS now{};
    ASSERT_TRUE(GetCommTimeouts(other, &now));
    CloseHandle(other);
    EXPECT_EQ(now.ReadIntervalTimeout, earlier.ReadIntervalTimeout);
    EXPECT_EQ(now.ReadTotalTimeoutMultiplier, earlier.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(now.ReadTotalTimeoutConstant, earlier.ReadTotalTimeoutConstant);
    EXPECT_EQ(now.WriteTotalTimeoutMultiplier, earlier.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(now.WriteTotalTimeoutConstant, earlier.WriteTotalTimeoutConstant);
}

TEST_F(OpenPortTest, ReadTimeoutChangeWaitsForTheNextOpen)
{
    com.SetReadTimeout(50);
    open();
    com.SetReadTimeout(400);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(com.GetPortHandle(), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 50u);
    com.ClosePort();
    open();
    ASSERT_TRUE(GetCommTimeouts(com.GetPortHandle(), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 400u);
}

TEST_F(OpenPortTest, ChangingPortOrSpeedWhileOpenReopens)
{
    PtyPair second;
    map.link(4, second.slavePath());
    open();
    HANDLE first = com.GetPortHandle();

    com.SetComPort(TRadioCom::COM3); // the same value: nothing happens
    com.SetBaudRate(TRadioCom::br9600);
    EXPECT_EQ(com.GetPortHandle(), first);

    com.SetBaudRate(TRadioCom::br57600);
    EXPECT_TRUE(com.Connected());
    EXPECT_NE(com.GetPortHandle(), first);
    EXPECT_EQ(state().BaudRate, 57600u);

    com.SetComPort(TRadioCom::COM4);
    EXPECT_TRUE(com.Connected());
    EXPECT_TRUE(anotherProcessCanOpen(pty.slavePath()));
    EXPECT_FALSE(anotherProcessCanOpen(second.slavePath()));

    // A port without a device: the reopen fails and the port ends closed.
    com.SetComPort(TRadioCom::COM5);
    EXPECT_FALSE(com.Connected());
    EXPECT_EQ(com.GetPortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lockCount(com), 1);
}

TEST_F(OpenPortTest, AnOutOfRangeIndexSelectingTheSameDeviceStillReopens)
{
    map.link(2, pty.slavePath());
    com.SetComPort(static_cast<TRadioCom::ports>(40));
    open();
    HANDLE first = com.GetPortHandle();
    EXPECT_EQ(com.GetComPort(), TRadioCom::COM2);
    com.SetComPort(TRadioCom::COM2);
    EXPECT_TRUE(com.Connected());
    EXPECT_NE(com.GetPortHandle(), first);
}

TEST_F(OpenPortTest, OpenAndCloseReturnAtOnceWhenAlreadyThere)
{
    com.ClosePort();
    EXPECT_EQ(lockCount(com), 1);
    open();
    HANDLE first = com.GetPortHandle();
    // Held by someone else, the lock would block a call that took it.
    ASSERT_EQ(WaitForSingleObject(com.GetPortLock(), 0), WAIT_OBJECT_0);
    com.OpenPort();
    com.SetComStatus(true);
    ReleaseSemaphore(com.GetPortLock(), 1, nullptr);
    EXPECT_EQ(com.GetPortHandle(), first);
    com.SetComStatus(false);
    EXPECT_FALSE(com.Connected());
    ASSERT_EQ(WaitForSingleObject(com.GetPortLock(), 0), WAIT_OBJECT_0);
    com.ClosePort();
    com.SetComStatus(false);
    ReleaseSemaphore(com.GetPortLock(), 1, nullptr);
}

TEST_F(OpenPortTest, DestroyingAnOpenComponentClosesThePort)
{
    {
        TRadioCom owned;
        owned.SetComPort(TRadioCom::COM4);
        map.link(4, pty.slavePath());
        owned.OpenPort();
        ASSERT_TRUE(owned.Connected());
        EXPECT_FALSE(anotherProcessCanOpen(pty.slavePath()));
    }
    EXPECT_TRUE(anotherProcessCanOpen(pty.slavePath()));
}

TEST(RadioComOpen, PortsThatCannotBeOpenedFailFast)
{
    PortMap map;
    char regular[] = "/tmp/melvix-not-a-tty-XXXXXX";
    const int fd = mkstemp(regular);
    ASSERT_GE(fd, 0);
    ::close(fd);
    map.link(5, regular);
    map.link(6, "/nonexistent/device");

    struct Case
    {
        const char* what;
        TRadioCom::ports port;
    } cases[] = {{"unmapped", TRadioCom::COM7},
                 {"link to nothing", TRadioCom::COM6},
                 {"regular file", TRadioCom::COM5}};
    for (const auto& c : cases) {
        TRadioCom com;
        com.SetComPort(c.port);
        com.OpenPort(); // warm-up: the first call sets up the process's tables
        const auto took = timing::fastestOf(5, [&] { com.OpenPort(); });
        EXPECT_FALSE(com.Connected()) << c.what;
        EXPECT_EQ(com.GetPortHandle(), INVALID_HANDLE_VALUE) << c.what;
        EXPECT_EQ(lockCount(com), 1) << c.what;
        EXPECT_LT(took, timing::scaled(std::chrono::milliseconds(5))) << c.what;
    }
    std::remove(regular);
}

TEST(RadioComOpen, AComNumberWithoutADeviceInTheDefaultMapFailsFast)
{
    ASSERT_EQ(std::getenv("MELVIX_PORT_DIR"), nullptr);
    TRadioCom com;
    com.SetComPort(TRadioCom::COM31); // no 27th USB serial adapter here
    com.OpenPort();                   // warm-up: the first call sets up the process's tables
    EXPECT_LT(timing::fastestOf(5, [&] { com.OpenPort(); }),
              timing::scaled(std::chrono::milliseconds(5)));
    EXPECT_FALSE(com.Connected());
    EXPECT_EQ(lockCount(com), 1);
}

} // namespace
