#include "CSpinEdit.h"
#include "Radio.h"
#include "RadioGroup.h"
#include "Radiocom.h"
#include "StatusBar.h"
#include "event_loop.h"
#include "pty_pair.h"
#include "simulator.h"
#include "window_view.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

namespace {

using std::chrono::milliseconds;

// A window on an empty port map, so that nothing real is touched, whose
// serial port is then opened on a pty at COM1.
class MainWindowTest : public testing::Test
{
protected:
    void SetUp() override { window = std::make_unique<TMainForm>(); }

    void openOn(const std::string& device)
    {
        map.link(1, device);
        window->SerialConnector->SetComPort(TRadioCom::COM1);
        window->SerialConnector->SetBaudRate(TRadioCom::br115200);
        window->SerialConnector->SetComStatus(true);
        ASSERT_TRUE(window->SerialConnector->Connected());
    }

    PortMap map;
    std::unique_ptr<TMainForm> window;
};

TEST_F(MainWindowTest, IsBuiltFromItsDescription)
{
    EXPECT_EQ(window->windowTitle(), "Melvix Radio Module Programmer 1.45");
    EXPECT_EQ(window->MinReplyLength, 16);
    EXPECT_FALSE(window->ReplyDecoded);
    EXPECT_EQ(window->PortIndex, 0);

    const TRadioCom* com = window->SerialConnector;
    EXPECT_EQ(com->parent(), window.get());
    EXPECT_EQ(com->RtsFlowControl(), TRadioCom::RTSOff);
    EXPECT_EQ(com->ReadTimeout(), 50) << "detection sets it";
    EXPECT_EQ(com->WriteTimeout(), 100);
    EXPECT_EQ(com->CtsFlowControl(), TRadioCom::CTSOff);
    EXPECT_TRUE(com->OnReceive());

    auto* status = ControlOf<TStatusBar>(*window, "StatusBar");
    EXPECT_EQ(status->Panels(),
              QStringList({"Status: Not Detected", "Baud Rate:", "Serial Port:"}));
    auto* versions = ControlOf<TRadioGroup>(*window, "RadioGroup1");
    EXPECT_EQ(versions->title(), "Module Version");
    EXPECT_EQ(versions->Items(), QStringList({"V4", "V5"}));
    EXPECT_EQ(versions->ItemIndex(), 1);
    EXPECT_FALSE(versions->isEnabled());
    EXPECT_FALSE(ControlOf<QLineEdit>(*window, "Edit1")->isEnabled());
    EXPECT_EQ(ChannelText(*window), "0");
    auto* channel = ControlOf<TCSpinEdit>(*window, "CSpinEdit1");
    EXPECT_EQ(channel->toolTip(), "Set Channel");
    EXPECT_EQ(channel->GetValue(), 0);
    EXPECT_EQ(ControlOf<QPushButton>(*window, "Button1")->text(), "E&xit");
    EXPECT_EQ(ControlOf<QPushButton>(*window, "Button2")->text(), "Write");
    EXPECT_EQ(ControlOf<QPushButton>(*window, "Button3")->text(), "Read");
    EXPECT_TRUE(LogLines(*window).isEmpty());
}

TEST_F(MainWindowTest, DecodesTheSimulatorsAnswerWhenEventsRun)
{
    modulesim::Simulator module({.channel = 42, .address = "WABC"});
    openOn(module.devicePath());
    const std::uint8_t command[] = "KQZRTMNVPA12345";
    window->SerialConnector->SendBuffer(command, 15);
    EXPECT_TRUE(processEventsUntil([&] { return window->ReplyDecoded; }));
    EXPECT_EQ(AddressText(*window), "WABC");
    EXPECT_EQ(ChannelText(*window), "42");
    EXPECT_EQ(LogLines(*window), QStringList({"Received -> Channel: 42 Addr: WABC"}));
}

TEST_F(MainWindowTest, AReplyInPiecesIsReadOnceWhole)
{
    PtyPair pty;
    openOn(pty.slavePath());
    std::string reply("a\x07WXYZ", 6);
    reply.resize(20, '\0');
    pty.send(reply.substr(0, 15));
    // Fifteen bytes are too few: they stay queued.
    ASSERT_TRUE(processEventsUntil([&] {
        COMSTAT status{};
        ClearCommError(window->SerialConnector->GetPortHandle(), nullptr, &status);
        return status.cbInQue == 15;
    }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->ReplyDecoded);
    pty.send(reply.substr(15));
    EXPECT_TRUE(processEventsUntil([&] { return window->ReplyDecoded; }));
    EXPECT_EQ(LogLines(*window), QStringList({"Received -> Channel: 7 Addr: WXYZ"}));
    COMSTAT status{};
    ClearCommError(window->SerialConnector->GetPortHandle(), nullptr, &status);
    EXPECT_EQ(status.cbInQue, 0u);
}

TEST_F(MainWindowTest, RepliesChangeWhatTheWindowShows)
{
    PtyPair pty;
    openOn(pty.slavePath());
    auto deliver = [&](std::string bytes) {
        const auto logged = LogLines(*window).size();
        pty.send(bytes);
        // The reply is consumed whatever it holds.
        processEventsUntil([&] {
            COMSTAT status{};
            ClearCommError(window->SerialConnector->GetPortHandle(), nullptr, &status);
            return status.cbInQue == 0 && LogLines(*window).size() >= logged;
        });
        processEventsFor(milliseconds(30));
    };
    auto padded = [](std::string head, std::size_t length) {
        head.resize(length, '.');
        return head;
    };

    deliver(padded("a\x05WXYZ", 16));
    EXPECT_TRUE(window->ReplyDecoded);
    EXPECT_EQ(AddressText(*window), "WXYZ");
    EXPECT_EQ(ChannelText(*window), "5");

    // 29 bytes match no layout: consumed, nothing shown, the flag kept.
    deliver(padded("a\x09WQQQ", 29));
    EXPECT_TRUE(window->ReplyDecoded);
    EXPECT_EQ(AddressText(*window), "WXYZ");

    // An address not beginning with W is rejected and clears the flag.
    deliver(padded("a\x07QABC", 20));
    EXPECT_FALSE(window->ReplyDecoded);
    EXPECT_EQ(AddressText(*window), "WXYZ");
    EXPECT_EQ(LogLines(*window).size(), 1);

    // The echoed layout, a negative channel and a high address byte.
    deliver(padded("KQZRTMNVPA12345a\x90W\xE9YZ", 31));
    EXPECT_TRUE(window->ReplyDecoded);
    EXPECT_EQ(ChannelText(*window), "1");
    EXPECT_EQ(AddressText(*window), QString::fromLatin1("W\xE9YZ"));

    deliver(padded(std::string("a\x00W\x00YZ", 6), 16));
    EXPECT_EQ(AddressText(*window), "W");
    EXPECT_EQ(ChannelText(*window), "1");

    EXPECT_EQ(LogLines(*window),
              QStringList({"Received -> Channel: 5 Addr: WXYZ",
                           QString::fromLatin1("Received -> Channel: -112 Addr: W\xE9YZ"),
                           "Received -> Channel: 0 Addr: W"}));
}

TEST_F(MainWindowTest, DecodeNeverReadsPastTheBytesRead)
{
    const std::uint8_t bytes[] = {'a', 5, 'W', 'X', 'Y', 'Z'};
    window->ReplyDecoded = true;
    window->DecodeRadioData(bytes, 6, 2);
    window->DecodeRadioData(bytes, 6, -1);
    EXPECT_TRUE(window->ReplyDecoded);
    EXPECT_TRUE(LogLines(*window).isEmpty());
    window->DecodeRadioData(bytes, 6, 1);
    EXPECT_EQ(LogLines(*window), QStringList({"Received -> Channel: 5 Addr: WXYZ"}));
}

} // namespace
