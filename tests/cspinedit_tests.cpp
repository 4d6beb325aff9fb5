// Tests of the channel box: reading its text as a number, writing, stepping
// and limiting its value, its key filter, arrow buttons and focus behaviour.
#include "CSpinEdit.h"
#include "IntegerText.h"
#include "timing.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QMenu>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

namespace {

TEST(IntegerFromText, ReadsTheWholeTextOrNothing)
{
    // clang-format off
    const std::pair<const char*, std::int32_t> numbers[] = {
        {"0", 0}, {"200", 200}, {"-5", -5}, {"+7", 7}, {"   7", 7}, {"007", 7}, {"$12", 18},
        {"$ff", 255}, {"0x1A", 26}, {"0X1a", 26}, {"-$12", -18}, {"+0x10", 16},
        {"$FFFFFFFF", -1}, {"-$FFFFFFFF", 1}, {"$80000000", INT_MIN},
        {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}};
    // clang-format on
    for (const auto& [text, value] : numbers)
        EXPECT_EQ(IntegerFromText(text), value) << "text \"" << text << '"';
    for (const char* text :
         {"",     "   ",        "7 ",          "\t7",        "7a",
          "1.5",  "+",          "-",           "$",          "0x",
          "--5",  "+-5",        "- 5",         "$-5",        "$ 5",
          "0x$5", "2147483648", "-2147483649", "$100000000", "99999999999999999999999"})
        EXPECT_EQ(IntegerFromText(text), std::nullopt) << "text \"" << text << '"';
}

class ChannelBoxTest : public testing::Test
{
protected:
    void SetUp() override
    {
        neighbour.setGeometry(10, 10, 57, 22);
        box.setGeometry(10, 40, 57, 22);
        box.SetMinValue(1);
        box.SetMaxValue(83);
        box.setText(QStringLiteral("0"));
        box.SetBeeper([this] { ++beeps; });
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        neighbour.setFocus();
    }

    QToolButton* Arrow(const char* name) { return box.findChild<QToolButton*>(name); }

    QWidget window;
    QLineEdit neighbour{&window};
    TCSpinEdit box{&window};
    int beeps = 0;
};

TEST_F(ChannelBoxTest, ReadingAnUnreadableTextReplacesItWithMinValue)
{
    const std::tuple<QString, int, QString> cases[] = {
        {"0", 0, "0"}, {"200", 200, "200"}, {"$12", 18, "$12"}, {" 7", 7, " 7"},
        {"", 1, "1"},  {"abc", 1, "1"},     {"7 ", 1, "1"},     {"2147483648", 1, "1"}};
    for (const auto& [text, value, textAfter] : cases) {
        box.setText(text);
        EXPECT_EQ(box.GetValue(), value) << text.toStdString();
        EXPECT_EQ(box.text(), textAfter) << text.toStdString();
    }
}

TEST_F(ChannelBoxTest, WritingShowsTheValueWithinTheLimits)
{
    const std::tuple<int, int, int, QString> cases[] = {
        {1, 83, 0, "1"},    {1, 83, -1, "1"},    {1, 83, -128, "1"}, {1, 83, 84, "83"},
        {1, 83, 255, "83"}, {1, 83, 50, "50"},   {1, 83, 1, "1"},    {1, 83, 83, "83"},
        {5, 5, -7, "-7"},   {5, 5, 1000, "1000"}};
    for (const auto& [minValue, maxValue, value, shown] : cases) {
        box.SetMinValue(minValue);
        box.SetMaxValue(maxValue);
        box.SetValue(value);
        EXPECT_EQ(box.text(), shown) << minValue << ".." << maxValue << " value " << value;
    }
}

TEST_F(ChannelBoxTest, LeavingBringsTheValueWithinTheLimits)
{
    const std::tuple<QString, QString, int> cases[] = {
        {"0", "1", 1},   {"200", "83", 83},  {"-5", "1", 1},  {"", "1", 1},
        {"abc", "1", 1}, {"$12", "$12", 18}, {" 7", " 7", 7}, {"83", "83", 83}};
    for (const auto& [text, shown, value] : cases) {
        box.setFocus();
        box.setText(text);
        QTest::keyClick(&box, Qt::Key_Tab);
        ASSERT_TRUE(neighbour.hasFocus());
        EXPECT_EQ(box.text(), shown) << text.toStdString();
        EXPECT_EQ(box.GetValue(), value) << text.toStdString();
    }
}

TEST_F(ChannelBoxTest, LosingTheFocusToAPopupOrAnotherWindowKeepsTheText)
{
    const std::pair<Qt::FocusReason, QString> cases[] = {{Qt::MouseFocusReason, "1"},
                                                         {Qt::OtherFocusReason, "1"},
                                                         {Qt::PopupFocusReason, "0"},
                                                         {Qt::ActiveWindowFocusReason, "0"}};
    for (const auto& [reason, shown] : cases) {
        box.setText(QStringLiteral("0"));
        QFocusEvent focusOut(QEvent::FocusOut, reason);
        QApplication::sendEvent(&box, &focusOut);
        EXPECT_EQ(box.text(), shown) << "reason " << reason;
    }
}

TEST_F(ChannelBoxTest, ArrowKeysStepWithinTheLimits)
{
    // Text, key, increment, read-only, text shown after the key.
    const std::tuple<QString, Qt::Key, int, bool, QString> cases[] = {
        {"83", Qt::Key_Up, 1, false, "83"},  {"1", Qt::Key_Down, 1, false, "1"},
        {"0", Qt::Key_Up, 1, false, "1"},    {"0", Qt::Key_Down, 1, false, "1"},
        {"50", Qt::Key_Up, 1, false, "51"},  {"50", Qt::Key_Down, 1, false, "49"},
        {"$12", Qt::Key_Up, 1, false, "19"}, {"abc", Qt::Key_Up, 1, false, "2"},
        {"10", Qt::Key_Up, 5, false, "15"},  {"2147483647", Qt::Key_Up, 1, false, "83"},
        {"50", Qt::Key_Up, 1, true, "50"},   {"-2147483648", Qt::Key_Down, 1, false, "1"},
        {"50", Qt::Key_Down, 1, true, "50"}};
    box.setFocus();
    for (const auto& [text, key, increment, readOnly, shown] : cases) {
        beeps = 0;
        box.setText(text);
        box.SetIncrement(increment);
        box.setReadOnly(readOnly);
        QTest::keyClick(&box, key);
        EXPECT_EQ(box.text(), shown) << text.toStdString() << " key " << key;
        EXPECT_EQ(beeps, readOnly ? 1 : 0) << text.toStdString() << " key " << key;
    }
}

TEST_F(ChannelBoxTest, TypedCharactersPassTheFilterOrBeep)
{
    // Codes from 128 up, also beyond 8 bits, are accepted.
    const std::pair<char16_t, bool> cases[] = {
        {u'a', false},   {u'Z', false},   {u':', false},    {u'~', false},    {u'\r', false},
        {u' ', true},    {u'!', true},    {u'$', true},     {u'/', true},     {u'+', true},
        {u'-', true},    {u'.', true},    {u'0', true},     {u'9', true},     {u'\xa3', true},
        {u'\xe9', true}, {u'\xff', true}, {u'\x141', true}, {u'\x20ac', true}};
    box.setFocus();
    for (const auto& [character, accepted] : cases) {
        beeps = 0;
        box.clear();
        const Qt::Key key = character == u'\r' ? Qt::Key_Return
                            : character < 0x80 ? Qt::Key(QChar(character).toUpper().unicode())
                                               : Qt::Key_unknown;
        QTest::sendKeyEvent(QTest::Click, &box, key, QString(character), Qt::NoModifier);
        EXPECT_EQ(box.text(), accepted ? QString(character) : QString()) << int(character);
        EXPECT_EQ(beeps, accepted ? 0 : 1) << int(character);
    }
}

TEST_F(ChannelBoxTest, InputMethodTextPassesTheSameFilter)
{
    box.setFocus();
    box.clear();
    for (const QString& committed : {QStringLiteral("a"), QStringLiteral("5")}) {
        QInputMethodEvent event;
        event.setCommitString(committed);
        QApplication::sendEvent(&box, &event);
    }
    EXPECT_EQ(box.text(), QStringLiteral("5"));
    EXPECT_EQ(beeps, 1);
}

TEST_F(ChannelBoxTest, WithoutEditorTheTextChangesOnlyByStepping)
{
    // Each edit of the text "12", and the text it leaves with the editor.
    const std::pair<std::function<void()>, QString> cases[] = {
        {[this] { QTest::keyClick(&box, '5'); }, "125"},
        {[this] { QTest::keyClick(&box, Qt::Key_Backspace); }, "1"},
        {[this] {
             box.setCursorPosition(0);
             QTest::keyClick(&box, Qt::Key_Delete);
         },
         "2"},
        {[this] { QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier); }, "12abc"},
        {[this] {
             QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
             QTest::keyClick(&box, Qt::Key_X, Qt::ControlModifier);
         },
         ""}};
    box.setFocus();
    for (const bool editorEnabled : {true, false}) {
        box.SetEditorEnabled(editorEnabled);
        for (const auto& [edit, editedText] : cases) {
            SCOPED_TRACE(editedText.toStdString());
            QApplication::clipboard()->setText(QStringLiteral("abc"));
            beeps = 0;
            box.setText(QStringLiteral("12"));
            edit();
            EXPECT_EQ(box.text(), editorEnabled ? editedText : QStringLiteral("12"));
            EXPECT_EQ(beeps, editorEnabled ? 0 : 1);
        }
    }
    QTest::keyClick(&box, Qt::Key_Up);
    EXPECT_EQ(box.text(), QStringLiteral("13"));
}

TEST_F(ChannelBoxTest, WithoutEditorTheContextMenuOffersNoEditing)
{
    for (const bool editorEnabled : {true, false}) {
        box.SetEditorEnabled(editorEnabled);
        box.setText(QStringLiteral("12"));
        box.selectAll();
        QApplication::clipboard()->setText(QStringLiteral("abc"));
        QContextMenuEvent event(QContextMenuEvent::Mouse, {5, 5}, box.mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(&box, &event);
        QMenu* const menu = box.findChild<QMenu*>();
        ASSERT_NE(menu, nullptr);
        int editingEntries = 0;
        for (QAction* entry : menu->actions()) {
            box.setText(QStringLiteral("12"));
            box.selectAll();
            if (entry->isEnabled())
                entry->trigger();
            editingEntries += box.text() != QStringLiteral("12");
        }
        EXPECT_EQ(editingEntries > 0, editorEnabled);
        delete menu;
    }
}

TEST_F(ChannelBoxTest, PastedTextThatIsNoNumberBecomesMinValueOnLeaving)
{
    QApplication::clipboard()->setText(QStringLiteral("channel 7"));
    box.setFocus();
    box.clear();
    QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(box.text(), QStringLiteral("channel 7"));
    QTest::keyClick(&box, Qt::Key_Tab);
    EXPECT_EQ(box.text(), QStringLiteral("1"));
}

TEST_F(ChannelBoxTest, ArrowButtonStepsOnceOnReleaseOverIt)
{
    const std::tuple<const char*, QString, QString> cases[] = {{"UpButton", "50", "51"},
                                                               {"DownButton", "50", "49"},
                                                               {"UpButton", "0", "1"},
                                                               {"DownButton", "0", "1"}};
    for (const auto& [arrow, text, shown] : cases) {
        neighbour.setFocus();
        box.setText(text);
        QTest::mousePress(Arrow(arrow), Qt::LeftButton);
        EXPECT_TRUE(box.hasFocus()) << arrow;
        EXPECT_EQ(box.text(), text) << arrow;
        QTest::mouseRelease(Arrow(arrow), Qt::LeftButton);
        EXPECT_EQ(box.text(), shown) << arrow;
    }
    QTest::mousePress(Arrow("UpButton"), Qt::LeftButton);
    QTest::mouseRelease(Arrow("UpButton"), Qt::LeftButton, {}, QPoint(-20, -20));
    EXPECT_EQ(box.text(), QStringLiteral("1")) << "released away from the button";
    box.setReadOnly(true);
    QTest::mouseClick(Arrow("UpButton"), Qt::LeftButton);
    EXPECT_EQ(box.text(), QStringLiteral("1")) << "read-only";
    EXPECT_EQ(beeps, 1);
}

TEST_F(ChannelBoxTest, HeldArrowButtonRepeatsAfterADelay)
{
    box.setText(QStringLiteral("10"));
    QElapsedTimer clock;
    std::vector<qint64> stepTimes;
    QObject::connect(&box, &QLineEdit::textChanged, [&] { stepTimes.push_back(clock.elapsed()); });
    clock.start();
    QTest::mousePress(Arrow("UpButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return stepTimes.size() >= 3; }, 5000));
    const auto repeats = static_cast<int>(stepTimes.size());
    QTest::mouseRelease(Arrow("UpButton"), Qt::LeftButton);
    EXPECT_EQ(box.text(), QString::number(10 + repeats + 1));
    // The first repeat comes after 400 ms, the next every 100 ms. Qt's coarse
    // timers may fire up to 5 % early; a repeat that load made late is
    // followed by one that catches up, so the pauses are bounded together
    // from below and by the shortest from above.
    EXPECT_GE(stepTimes[0], 380);
    EXPECT_LT(stepTimes[0], timing::scaled(std::chrono::milliseconds(1000)).count());
    const std::size_t lastRepeat = stepTimes.size() - 2; // the release steps once more
    qint64 shortestPause = std::numeric_limits<qint64>::max();
    for (std::size_t i = 1; i <= lastRepeat; ++i)
        shortestPause = std::min(shortestPause, stepTimes[i] - stepTimes[i - 1]);
    EXPECT_GE(stepTimes[lastRepeat] - stepTimes[0], 70 * static_cast<qint64>(lastRepeat));
    EXPECT_LT(shortestPause, 300);
}

TEST_F(ChannelBoxTest, AutoSelectSelectsOnKeyboardEntryOnly)
{
    const auto tab = [this] { QTest::keyClick(&neighbour, Qt::Key_Tab); };
    const auto backtab = [this] { QTest::keyClick(&neighbour, Qt::Key_Backtab); };
    const auto click = [this] { QTest::mouseClick(&box, Qt::LeftButton, {}, {5, 11}); };
    // AutoSelect, how the box is entered, whether its text is then selected.
    const std::tuple<bool, std::function<void()>, bool> cases[] = {
        {true, tab, true}, {true, backtab, true}, {true, click, false}, {false, tab, false}};
    int row = 0;
    for (const auto& [autoSelect, enter, selected] : cases) {
        neighbour.setFocus();
        box.SetAutoSelect(autoSelect);
        enter();
        ASSERT_TRUE(box.hasFocus()) << row;
        EXPECT_EQ(box.hasSelectedText(), selected) << row++;
    }
}

} // namespace
