#include "CSpinEdit.h"
#include "Radio.h"
#include "RadioGroup.h"
#include "Radiocom.h"
#include "StatusBar.h"
#include "event_loop.h"
#include "pty_pair.h"
#include "simulator.h"
#include "window_view.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTimer>
#include <QWindow>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

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

    void showWindow()
    {
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    // A click that comes from the window system, so that it meets whatever
    // blocks input to the window, as a user's click would.
    void clickThroughTheWindow(const char* control)
    {
        const auto* widget = ControlOf<QWidget>(*window, control);
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                          widget->mapTo(window.get(), widget->rect().center()));
    }

    PortMap map;
    std::unique_ptr<TMainForm> window;
};

QMessageBox* OpenMessageBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible())
            return box;
    }
    return nullptr;
}

TEST_F(MainWindowTest, AnErrorBoxLeavesTheWindowUsableAndItsHandlerWaitsForIt)
{
    showWindow(); // no module anywhere, so no address: Write complains
    modulesim::Simulator module;
    module.linkInto(map.path(), 3);

    struct WhileOpen
    {
        QString text;
        bool ownerless = false;
        bool onTop = false;
        Qt::WindowModality modality = Qt::ApplicationModal;
        int readRequests = -1;
        QStringList log;
        bool writeReturned = true;
    };
    std::vector<WhileOpen> seen;
    bool writeReturned = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, window.get(), [&] {
        QMessageBox* box = OpenMessageBox();
        if (!box)
            return;
        watch.stop();
        WhileOpen now;
        now.text = box->text();
        now.ownerless = box->parentWidget() == nullptr &&
                        (!box->windowHandle() || !box->windowHandle()->transientParent());
        now.onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        now.modality = box->windowModality();
        clickThroughTheWindow("Button3");
        now.readRequests = module.readRequests();
        now.log = LogLines(*window);
        now.writeReturned = writeReturned;
        seen.push_back(now);
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    watch.start(10);

    window->Button2Click();
    writeReturned = true;

    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Set ADDRESS!");
    EXPECT_TRUE(seen[0].ownerless);
    EXPECT_TRUE(seen[0].onTop);
    EXPECT_EQ(seen[0].modality, Qt::NonModal);
    EXPECT_GE(seen[0].readRequests, 1) << "the click on Read reached the module";
    EXPECT_TRUE(seen[0].log.contains("Sent: Read Data")) << seen[0].log.join('|').toStdString();
    EXPECT_FALSE(seen[0].writeReturned);
    // Dismissed, the Write handler went on to its own read-back.
    EXPECT_EQ(LogLines(*window).count("Sent: Read Data"), 2);
    EXPECT_EQ(OpenMessageBox(), nullptr);
}

// Where a control stands in the window's own coordinates.
QRect InWindow(const QWidget& window, const char* name)
{
    const auto* control = ControlOf<QWidget>(window, name);
    return QRect(control->mapTo(&window, QPoint(0, 0)), control->size());
}

TEST_F(MainWindowTest, AnySizeKeepsTheAnchorsAndRestoringGivesTheDesignedSize)
{
    const QSize designed(459, 387);
    EXPECT_EQ(window->size(), designed);
    EXPECT_EQ(window->minimumSize(), designed);
    // A window manager offers maximise only where the size may grow.
    EXPECT_GT(window->maximumWidth(), designed.width());
    EXPECT_GT(window->maximumHeight(), designed.height());
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    showWindow();

    // Controls inside the groups and the panel keep their places.
    const char* const fixedInside[] = {"Memo1",   "GroupBox3",   "CSpinEdit1",  "Edit1",
                                       "Button2", "Button3",     "RadioGroup1", "GroupBox2",
                                       "Button1", "StaticText1", "StaticText2"};
    std::vector<QRect> placed;
    for (const char* name : fixedInside)
        placed.push_back(ControlOf<QWidget>(*window, name)->geometry());

    struct Case
    {
        const char* what;
        std::function<void()> apply;
        std::function<bool()> done;
    };
    const std::vector<Case> cases = {
        {"as designed", [] {}, [] { return true; }},
        {"maximised", [&] { window->showMaximized(); },
         [&] { return window->width() > designed.width(); }},
        {"restored", [&] { window->showNormal(); }, [&] { return window->size() == designed; }},
        {"dragged larger", [&] { window->resize(640, 480); },
         [&] { return window->size() == QSize(640, 480); }},
        {"dragged smaller", [&] { window->resize(300, 200); },
         [&] { return window->size() == designed; }},
    };
    for (const auto& c : cases) {
        c.apply();
        ASSERT_TRUE(processEventsUntil(c.done))
            << c.what << ": " << window->width() << "x" << window->height();
        const int width = window->width();
        const int height = window->height();
        EXPECT_EQ(InWindow(*window, "StatusBar"), QRect(0, height - 19, width, 19)) << c.what;
        EXPECT_EQ(InWindow(*window, "Panel1"), QRect(width - 109, 0, 109, height - 19)) << c.what;
        EXPECT_EQ(InWindow(*window, "GroupBox1"), QRect(0, 0, width - 109, height - 19)) << c.what;
        for (std::size_t i = 0; i < std::size(fixedInside); ++i)
            EXPECT_EQ(ControlOf<QWidget>(*window, fixedInside[i])->geometry(), placed[i])
                << c.what << ": " << fixedInside[i];

        // The first two status panels keep their widths, the last reaches
        // the right edge.
        const auto panels = ControlOf<QWidget>(*window, "StatusBar")
                                ->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
        ASSERT_EQ(panels.size(), 3) << c.what;
        EXPECT_EQ(panels[0]->geometry(), QRect(0, 0, 150, 19)) << c.what;
        EXPECT_EQ(panels[1]->geometry(), QRect(150, 0, 180, 19)) << c.what;
        EXPECT_EQ(panels[2]->geometry(), QRect(330, 0, width - 330, 19)) << c.what;
    }
}

// A style that draws a group's caption inside the frame, as the Windows
// styles do, must not cut "Module Version"; where the caption fits, as in the
// default style here, the window keeps its designed size.
TEST_F(MainWindowTest, TheVersionCaptionShowsWholeInEachStyle)
{
    const QString defaultStyle = QApplication::style()->name();
    for (const QString& name : {defaultStyle, QStringLiteral("Windows")}) {
        QApplication::setStyle(name);
        window = std::make_unique<TMainForm>();
        showWindow();
        auto* group = ControlOf<TRadioGroup>(*window, "RadioGroup1");
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.textAlignment = group->alignment();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect caption = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                             QStyle::SC_GroupBoxLabel, group);
        EXPECT_TRUE(group->rect().contains(caption)) << name.toStdString();
        EXPECT_TRUE(ControlOf<QWidget>(*window, "Panel1")->rect().contains(group->geometry()))
            << name.toStdString();
        if (name == defaultStyle) {
            EXPECT_EQ(window->size(), QSize(459, 387));
        }
    }
    QApplication::setStyle(defaultStyle);
}

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
