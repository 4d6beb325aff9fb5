// The component on COM1, which a fresh port map links to a pseudo-terminal
// whose other end the test plays, with no handshake lines to wait for.
#pragma once

#include "Radiocom.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

class SerialPortTest : public testing::Test
{
protected:
    explicit SerialPortTest(int readTimeoutMs) : readTimeoutMs_(readTimeoutMs) {}

    void SetUp() override
    {
        map.link(1, pty.slavePath());
        com.SetComPort(TRadioCom::COM1);
        com.SetRtsFlowControl(TRadioCom::RTSOff);
        com.SetReadTimeout(readTimeoutMs_);
    }

    void open()
    {
        com.OpenPort();
        ASSERT_TRUE(com.Connected());
    }

    PtyPair pty;
    PortMap map;
    TRadioCom com;

private:
    int readTimeoutMs_;
};
