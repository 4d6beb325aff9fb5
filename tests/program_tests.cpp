#include "CSpinEdit.h"
#include "ErrorDisplay.h"
#include "Radio.h"
#include "Radiocom.h"
#include "RunProgram.h"
#include "StatusBar.h"
#include "modal_watcher.h"
#include "pty_pair.h"
#include "simulator.h"
#include "window_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <span>
#include <stdexcept>

namespace {

using modulesim::Simulator;
using std::chrono::milliseconds;

class ProgramTest : public testing::Test
{
protected:
    // Builds the window, which finds the module while it is built.
    void start() { window = std::make_unique<TMainForm>(); }

    PortMap map;
    ModalWatcher modals;
    std::unique_ptr<TMainForm> window;
};

const QStringList InitialStatus = {"Status: Not Detected", "Baud Rate:", "Serial Port:"};
const QStringList PresentOnCom3 = {"Status: Present", "Serial Port: COM3", "Baud Rate: 115200"};

TEST_F(ProgramTest, StartUpFindsTheModuleAndShowsItBeforeTheWindowOpens)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    EXPECT_EQ(StatusPanels(*window), PresentOnCom3);
    EXPECT_EQ(window->PortIndex, 2);
    EXPECT_EQ(ChannelText(*window), "5");
    EXPECT_EQ(AddressText(*window), "WXYZ");
    EXPECT_EQ(LogLines(*window), QStringList({"Received -> Channel: 5 Addr: WXYZ"}));
    EXPECT_TRUE(window->SerialConnector->Connected());
    EXPECT_TRUE(modals.seen().empty());
}

TEST_F(ProgramTest, SilentPortsGetThreeProbesEachBeforeTheNextIsTried)
{
    Simulator silent1({.silent = true});
    Simulator silent2({.silent = true});
    Simulator module({.answerFrom = 3});
    silent1.linkInto(map.path(), 1);
    silent2.linkInto(map.path(), 2);
    module.linkInto(map.path(), 3);
    start();
    EXPECT_EQ(StatusPanels(*window), PresentOnCom3);
    EXPECT_EQ(module.readRequests(), 3) << "found on its third request";
    const auto first = silent1.readRequestTimes();
    const auto second = silent2.readRequestTimes();
    ASSERT_EQ(first.size(), 3u);
    ASSERT_EQ(second.size(), 3u);
    // Each probe waits 50 ms for its answer. The simulator stamps a request
    // when it gets to read it, which load may delay by a few milliseconds:
    // so a port's three probes span at least 75 ms, and of the four pauses
    // at least one shows the wait undisturbed.
    auto shortestPause = milliseconds::max();
    for (const auto* times : {&first, &second}) {
        EXPECT_GE(times->back() - times->front(), milliseconds(75));
        for (std::size_t i = 1; i < times->size(); ++i)
            shortestPause = std::min<milliseconds>(
                shortestPause,
                std::chrono::duration_cast<milliseconds>((*times)[i] - (*times)[i - 1]));
    }
    EXPECT_LT(shortestPause, milliseconds(150));
    // The next port is opened only after the last probe's 50 ms wait, so a
    // stamp delayed by up to StampDelay still falls before its first
    // request; ports probed side by side would overlap by 50 ms or more.
    constexpr milliseconds StampDelay(40);
    EXPECT_LT(first.back(), second.front() + StampDelay);
    EXPECT_LT(second.back(), module.readRequestTimes().front() + StampDelay);
}

TEST_F(ProgramTest, WithNoModuleEveryPortIsTriedAndNothingChanges)
{
    Simulator silent1({.silent = true});
    Simulator silent21({.silent = true});
    silent1.linkInto(map.path(), 1);
    silent21.linkInto(map.path(), 21);
    start();
    EXPECT_EQ(silent1.readRequests(), 3);
    EXPECT_EQ(silent21.readRequests(), 3);
    EXPECT_EQ(StatusPanels(*window), InitialStatus);
    EXPECT_EQ(ChannelText(*window), "0");
    EXPECT_EQ(AddressText(*window), "");
    EXPECT_TRUE(LogLines(*window).isEmpty());
    EXPECT_TRUE(modals.seen().empty());
    // The last port tried stays open.
    EXPECT_EQ(window->SerialConnector->GetComPort(), TRadioCom::COM21);
    EXPECT_TRUE(window->SerialConnector->Connected());
}

TEST_F(ProgramTest, WriteSendsTheChannelAndReadsItBack)
{
    Simulator module({.address = "WABC"});
    module.linkInto(map.path(), 3);
    start();
    ASSERT_EQ(AddressText(*window), "WABC");
    ControlOf<TCSpinEdit>(*window, "CSpinEdit1")->SetValue(12);
    window->Button2Click();
    EXPECT_EQ(module.writeRequests(), 1);
    EXPECT_EQ(module.channel(), 12);
    EXPECT_EQ(module.address(), "WABC");
    EXPECT_EQ(
        LogLines(*window),
        QStringList({"Received -> Channel: 5 Addr: WABC", "Sent: Write Channel: 12 Address: WABC",
                     "Sent: Read Data", "Received -> Channel: 12 Addr: WABC"}));
    EXPECT_EQ(ChannelText(*window), "12");
    EXPECT_EQ(StatusPanels(*window), PresentOnCom3);
}

TEST_F(ProgramTest, TheWriteCommandGoesOutByteForByte)
{
    start();
    PtyPair pty;
    map.link(3, pty.slavePath());
    window->SerialConnector->SetComPort(TRadioCom::COM3);
    window->SerialConnector->SetComStatus(true);
    ASSERT_TRUE(window->SerialConnector->Connected());
    std::string reply("a\x05WABC", 6);
    reply.resize(16, '\0');
    pty.send(reply);
    QTRY_VERIFY(window->ReplyDecoded);
    // The answer to the read that confirms the address, waiting already.
    pty.send(reply);
    ControlOf<TCSpinEdit>(*window, "CSpinEdit1")->SetValue(12);
    window->SendWriteCommand();
    const std::string read = "KQZRTMNVPA12345";
    std::vector<unsigned char> expected(read.begin(), read.end());
    expected.insert(expected.end(),
                    {'K', 'Q', 'Z', 'R', 'T', 'M', 'N', 'V', 'P', 'C', 12, 'W', 'A', 'B', 'C'});
    EXPECT_EQ(pty.receive(31, milliseconds(200)), expected);
    EXPECT_EQ(LogLines(*window).back(), "Sent: Write Channel: 12 Address: WABC");
}

TEST_F(ProgramTest, WriteSendsBackOnlyAnAddressTheModulesAnswersConfirm)
{
    // The first answer was cut short and the next one followed it: the bytes
    // read together decode to an address the module does not have.
    Simulator module({.address = "WABC"});
    std::string block("a\x05WABC", 6);
    block.resize(16, '\0');
    module.answerWith("a\x05W" + block);
    module.linkInto(map.path(), 3);
    start();
    ASSERT_EQ(AddressText(*window), QString::fromLatin1("Wa\x05W"));
    module.answerWith(std::nullopt);
    ControlOf<TCSpinEdit>(*window, "CSpinEdit1")->SetValue(12);
    window->Button2Click();
    EXPECT_EQ(module.writeRequests(), 0);
    EXPECT_EQ(module.address(), "WABC");
    ASSERT_EQ(modals.seen().size(), 1u);
    EXPECT_EQ(modals.seen()[0].text,
              "The module's answers disagree: nothing was written. Read the module again.");
    // The read-back shows what the module holds; a Write now goes out.
    EXPECT_EQ(AddressText(*window), "WABC");
    ControlOf<TCSpinEdit>(*window, "CSpinEdit1")->SetValue(12);
    window->Button2Click();
    EXPECT_EQ(module.channel(), 12);
    EXPECT_EQ(module.address(), "WABC");
}

TEST_F(ProgramTest, WriteWithoutAnAddressComplainsThenReadsBack)
{
    start(); // no module yet: the address field stays empty
    Simulator module;
    module.linkInto(map.path(), 3);
    window->Button2Click();
    ASSERT_EQ(modals.seen().size(), 1u);
    EXPECT_EQ(modals.seen()[0].title, "Error!");
    EXPECT_EQ(modals.seen()[0].text, "Set ADDRESS!");
    EXPECT_GE(modals.elapsed() - modals.seen()[0].dismissedAt, 500);
    // The read-back found the module and filled the address in.
    EXPECT_EQ(AddressText(*window), "WXYZ");
    EXPECT_EQ(StatusPanels(*window), PresentOnCom3);
    EXPECT_FALSE(LogLines(*window).contains("Sent: Write Channel: 5 Address: "));
}

TEST_F(ProgramTest, AVanishedModuleIsReportedAndTheNextReadScansAgain)
{
    Simulator silent1({.silent = true});
    Simulator module;
    silent1.linkInto(map.path(), 1);
    module.linkInto(map.path(), 3);
    start();
    ASSERT_EQ(StatusPanels(*window), PresentOnCom3);
    module.vanish();

    QElapsedTimer clock;
    clock.start();
    window->Button3Click();
    EXPECT_GE(clock.elapsed(), 150) << "three sends, 50 ms each";
    EXPECT_EQ(StatusPanels(*window),
              QStringList({"Status: Not Detected", "Serial Port: ", "Baud Rate:"}));
    EXPECT_FALSE(window->SerialConnector->Connected());
    EXPECT_EQ(AddressText(*window), "");
    EXPECT_EQ(ChannelText(*window), "1");
    EXPECT_TRUE(modals.seen().empty());

    // The next Read starts from COM1 again; nothing answers anywhere now.
    const int probesBefore = silent1.readRequests();
    window->Button3Click();
    EXPECT_EQ(silent1.readRequests(), probesBefore + 3);
    EXPECT_EQ(LogLines(*window).count("Sent: Read Data"), 1) << "no Read without a module";
}

TEST_F(ProgramTest, ExitDuringAReadClosesOnlyOnceTheReadIsOver)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    // Clicked while the Read waits for the module's answer.
    QTimer::singleShot(10, window.get(), [this] { window->Button1Click(); });
    window->Button3Click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(LogLines(*window).back(), "Received -> Channel: 5 Addr: WXYZ")
        << "the Read went on to its end";
    window.reset();
}

// Windows ends a window program right after Qt has told the end of the
// session as aboutToQuit, with the event loop still running: the port must be
// closed by then.
TEST_F(ProgramTest, TheEndOfTheSessionClosesThePortBeforeTheEventLoopEnds)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    bool openBefore = false;
    bool openAfter = true;
    RunProgram([&](TMainForm& shown) {
        openBefore = shown.SerialConnector->Connected();
        QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection);
        openAfter = shown.SerialConnector->Connected();
        shown.close();
    });
    EXPECT_TRUE(openBefore);
    EXPECT_FALSE(openAfter);
}

TEST_F(ProgramTest, AClickDuringASequenceRunsItsSequenceInside)
{
    Simulator module;
    module.linkInto(map.path(), 3);
    start();
    // Read clicked while the Write's read-back lets events run, Write while
    // the nested Read does.
    int clicks = 0;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, window.get(), [&] {
        ++clicks;
        if (clicks == 1)
            window->Button3Click();
        else if (clicks == 2)
            window->Button2Click();
    });
    clicker.start(20);
    window->Button2Click();
    clicker.stop();
    EXPECT_GE(clicks, 2);
    EXPECT_EQ(module.writeRequests(), 2);
    EXPECT_EQ(StatusPanels(*window), PresentOnCom3);
    EXPECT_EQ(LogLines(*window).back(), "Received -> Channel: 5 Addr: WXYZ");
    EXPECT_TRUE(window->SerialConnector->Connected());
}

TEST_F(ProgramTest, FocusStartsOnExitAndFollowsTheWindowsOrder)
{
    start();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const char* order[] = {"Button1", "Memo1", "CSpinEdit1", "Button2", "Button3", "Button1"};
    EXPECT_EQ(QApplication::focusWidget(), ControlOf<QWidget>(*window, order[0]));
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), ControlOf<QWidget>(*window, order[i])) << order[i];
    }
}

TEST_F(ProgramTest, SpaceOrEnterRightAfterStartUpCloses)
{
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return}) {
        start();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(QApplication::focusWidget(), key);
        EXPECT_FALSE(window->isVisible()) << key;
    }
}

// A text given to a function of the error display, and what it should make
// of it.
struct TextCase
{
    const char* given;
    const char* made;
};

void expectEach(QString (*make)(const QString&), std::span<const TextCase> cases)
{
    for (const TextCase& c : cases)
        EXPECT_EQ(make(c.given), c.made) << c.given;
}

TEST(ErrorDisplay, TitleComesFromTheProgramFile)
{
    const TextCase pathsAndTitles[] = {
        {"/usr/bin/melvix-programmer", "melvix-programmer"},
        {"/opt/RADIO.EXE", "Radio"},
        {"Programmer.Test.Bin", "Programmer"},
        {"/x/y/mElViX", "melvix"},
    };
    expectEach(ApplicationTitle, pathsAndTitles);
}

TEST(ErrorDisplay, AFullStopEndsMessagesThatEndInALetterOrDigit)
{
    const TextCase messagesAndShown[] = {
        {"Port failed", "Port failed."},
        {"Error 5", "Error 5."},
        {"Done.", "Done."},
        {"Set ADDRESS!", "Set ADDRESS!"},
        {"(see above)", "(see above)"},
        {"trailing ", "trailing "},
        {"", ""},
        {"a/", "a/."},
    };
    expectEach(ErrorDisplayText, messagesAndShown);
}

TEST(ErrorDisplay, AnErrorEscapingAHandlerIsShownAndTheProgramGoesOn)
{
    ModalWatcher modals;
    QObject target;
    QTimer::singleShot(0, &target, [] { throw std::runtime_error("Handler failed"); });
    bool laterEventRan = false;
    QTimer::singleShot(50, &target, [&] { laterEventRan = true; });
    QTRY_VERIFY(laterEventRan);
    ASSERT_EQ(modals.seen().size(), 1u);
    EXPECT_EQ(modals.seen()[0].text, "Handler failed.");
    EXPECT_EQ(modals.seen()[0].title, ApplicationTitle(QApplication::applicationFilePath()));
}

} // namespace
