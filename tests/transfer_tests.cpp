#include "Radiocom.h"
#include "lock_count.h"
#include "serial_port_fixture.h"
#include "timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<std::uint8_t> bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

class TransferTest : public SerialPortTest
{
protected:
    TransferTest() : SerialPortTest(100) {}

    // Nothing arrives at the other end within a short while.
    void expectNothingSent() { EXPECT_TRUE(pty.receive(1, milliseconds(20)).empty()); }
};

TEST_F(TransferTest, ClosedPortRefusesEverything)
{
    const auto data = bytes("KQZRTMNVPA12345");
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(com.SendPlainBuffer(data.data(), 15), -1);
    EXPECT_EQ(com.SendBuffer(data.data(), 15), -1);
    EXPECT_EQ(com.SendByte('x'), -1);
    EXPECT_EQ(com.SendStepBuffer(data.data(), 15), 0);
    EXPECT_EQ(com.SendCTSByte('x'), -1);
    EXPECT_EQ(com.SendCTSBuffer(data.data(), 15), 0);
    EXPECT_EQ(com.ReceiveBuffer(buffer, 16), -1);
    EXPECT_FALSE(com.GetCTSState());
    EXPECT_FALSE(com.GetDSRState());
    for (int line = 0; line <= 5; ++line)
        EXPECT_FALSE(com.GetModemState(line)) << line;
    EXPECT_EQ(com.SetDTRState(true), -1);
    EXPECT_EQ(com.SetRTSState(false), -1);
    EXPECT_EQ(com.EscapeComm(SETBREAK), -1);
    EXPECT_EQ(lockCount(com), 1);
    expectNothingSent();
}

TEST_F(TransferTest, SendBufferDeliversExactlyItsBytes)
{
    open();
    std::vector<std::uint8_t> data(256);
    std::iota(data.begin(), data.end(), 0);
    EXPECT_EQ(com.SendBuffer(data.data(), 256), 256);
    EXPECT_EQ(pty.receive(257, milliseconds(200)),
              std::vector<unsigned char>(data.begin(), data.end()));
    EXPECT_EQ(com.SendBuffer(data.data(), 0), 0);
    EXPECT_EQ(com.SendByte(0x7E), 1);
    EXPECT_EQ(pty.receive(2, milliseconds(100)), std::vector<unsigned char>{0x7E});
    EXPECT_EQ(lockCount(com), 1);
}

TEST_F(TransferTest, NegativeCountsAreRefusedAndMoveNothing)
{
    open();
    pty.send("abc");
    const auto data = bytes("xyz");
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(com.SendPlainBuffer(data.data(), -1), -1);
    EXPECT_EQ(com.SendBuffer(data.data(), -7), -1);
    EXPECT_EQ(com.ReceiveBuffer(buffer, -1), -1);
    EXPECT_EQ(com.SendStepBuffer(data.data(), -2), -2);
    EXPECT_EQ(com.SendCTSBuffer(data.data(), -3), -3);
    EXPECT_EQ(com.SendStepBuffer(data.data(), 0), 0);
    EXPECT_EQ(lockCount(com), 1);
    expectNothingSent();
    // The bytes that were waiting are still there.
    EXPECT_EQ(com.ReceiveBuffer(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
}

TEST_F(TransferTest, ReceiveBufferTakesWaitingBytesAtOnceAndWaitsOnlyUpToTheTimeout)
{
    // A read timeout far longer than any delay from load: a read that
    // waited for it although the bytes were there shows plainly.
    com.SetReadTimeout(2000);
    open();
    std::uint8_t buffer[32] = {};
    EXPECT_EQ(com.ReceiveBuffer(buffer, 0), 0);

    pty.send("a\x05WXYZ0123456789");
    Clock::time_point start = Clock::now();
    // Give the pty time to move the bytes across before measuring.
    while (Clock::now() - start < milliseconds(500)) {
        COMSTAT status{};
        ClearCommError(com.GetPortHandle(), nullptr, &status);
        if (status.cbInQue == 16)
            break;
    }
    start = Clock::now();
    EXPECT_EQ(com.ReceiveBuffer(buffer, 16), 16);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_EQ(std::string(buffer, buffer + 16), "a\x05WXYZ0123456789");

    // Nothing waiting: the read gives up after about ReadTimeout (100 ms).
    com.ClosePort();
    com.SetReadTimeout(100);
    open();
    start = Clock::now();
    EXPECT_EQ(com.ReceiveBuffer(buffer, 16), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(95));
    EXPECT_LT(waited, milliseconds(100) + timing::scaled(milliseconds(400)));

    // Fewer waiting than asked for: those come back at once.
    pty.send("abc");
    pty.receive(0);
    start = Clock::now();
    int got = 0;
    while (got == 0 && Clock::now() - start < milliseconds(500))
        got = com.ReceiveBuffer(buffer, 16);
    EXPECT_EQ(got, 3);
    EXPECT_EQ(lockCount(com), 1);
}

TEST_F(TransferTest, StepAndCtsSendsFollowTheirResults)
{
    open();
    const auto data = bytes("hello");
    EXPECT_EQ(com.SendStepBuffer(data.data(), 5), 5);
    EXPECT_EQ(pty.receive(5), std::vector<unsigned char>(data.begin(), data.end()));

    // A pty has no CTS line: software pacing never sees it on.
    EXPECT_EQ(com.SendCTSByte('x'), -1);
    EXPECT_EQ(com.SendCTSBuffer(data.data(), 5), 0);
    EXPECT_EQ(com.SendCTSBuffer(data.data(), 0), 0);
    com.SetCtsFlowControl(TRadioCom::CTSOn);
    EXPECT_EQ(com.SendCTSByte('x'), -1);
    EXPECT_EQ(com.SendCTSBuffer(data.data(), 5), 0);
    EXPECT_EQ(lockCount(com), 1);
    expectNothingSent();
}

TEST_F(TransferTest, ModemLinesOfAPtyReadOff)
{
    open();
    for (int line = 0; line <= 5; ++line)
        EXPECT_FALSE(com.GetModemState(line)) << line;
    EXPECT_FALSE(com.GetCTSState());
    EXPECT_FALSE(com.GetDSRState());
}

TEST_F(TransferTest, EscapesAreRefusedUnderHandshake)
{
    struct Case
    {
        TRadioCom::TRtsFlowControl rts;
        TRadioCom::TDtrFlowControl dtr;
        int breakResult;
    } cases[] = {
        {TRadioCom::RTSHandshake, TRadioCom::DTROff, -1},
        {TRadioCom::RTSOff, TRadioCom::DTRHandshake, -1},
        {TRadioCom::RTSHandshake, TRadioCom::DTRHandshake, -1},
        // A pty takes a break request and ignores it: the escape goes through.
        {TRadioCom::RTSOff, TRadioCom::DTROff, 0},
        {TRadioCom::RTSToggle, TRadioCom::DTROn, 0},
    };
    open();
    for (const auto& c : cases) {
        com.SetRtsFlowControl(c.rts);
        com.SetDtrFlowControl(c.dtr);
        EXPECT_EQ(com.EscapeComm(SETBREAK), c.breakResult);
        EXPECT_EQ(com.EscapeComm(CLRBREAK), c.breakResult);
        if (c.breakResult != 0) {
            EXPECT_EQ(com.SetDTRState(true), -1);
            EXPECT_EQ(com.SetRTSState(true), -1);
        }
        EXPECT_EQ(lockCount(com), 1);
    }
    // A pty has no DTR or RTS line to drive: the escape fails.
    EXPECT_EQ(com.SetDTRState(true), -1);
    EXPECT_EQ(com.SetRTSState(false), -1);
    EXPECT_EQ(lockCount(com), 1);
}

TEST_F(TransferTest, TransfersAfterTheOtherEndHungUpFailWithoutHanging)
{
    // Longer than the bound below in every build: a transfer that waits for
    // its timeout fails the test.
    com.SetReadTimeout(10000);
    open();
    pty.hangUp();
    const auto data = bytes("KQZRTMNVPA12345");
    std::uint8_t buffer[16] = {};
    const auto start = Clock::now();
    EXPECT_EQ(com.SendBuffer(data.data(), 15), 0);
    EXPECT_EQ(com.ReceiveBuffer(buffer, 16), 0);
    EXPECT_LT(Clock::now() - start, timing::scaled(milliseconds(1000)));
    EXPECT_TRUE(com.Connected());
    EXPECT_EQ(lockCount(com), 1);
    com.ClosePort();
    EXPECT_FALSE(com.Connected());
}

} // namespace
