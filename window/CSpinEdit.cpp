#include "CSpinEdit.h"

#include "IntegerText.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>

namespace {

constexpr int ArrowButtonWidth = 15;
// Holding an arrow button down steps first after this delay, then at this
// interval, as keyboard auto-repeat does.
constexpr int ArrowRepeatDelayMs = 400;
constexpr int ArrowRepeatIntervalMs = 100;

// Keys that carry text but edit or command instead of typing it: Delete, and
// the Ctrl shortcuts (copy, paste, select all), whose text is a letter on
// some platforms. AltGr arrives as Ctrl+Alt and types.
bool TypesText(const QKeyEvent* event)
{
    if (event->text().isEmpty() || event->key() == Qt::Key_Delete)
        return false;
    const Qt::KeyboardModifiers commandModifiers =
        event->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
    return commandModifiers != Qt::ControlModifier;
}

// Keys that change the text without typing a character.
bool IsEditingKey(const QKeyEvent* event)
{
    static constexpr std::array editingKeys{
        QKeySequence::Backspace,
        QKeySequence::Delete,
        QKeySequence::DeleteStartOfWord,
        QKeySequence::DeleteEndOfWord,
        QKeySequence::DeleteEndOfLine,
        QKeySequence::DeleteCompleteLine,
        QKeySequence::Cut,
        QKeySequence::Paste,
        QKeySequence::Undo,
        QKeySequence::Redo,
    };
    return std::any_of(editingKeys.begin(), editingKeys.end(),
                       [event](QKeySequence::StandardKey key) { return event->matches(key); });
}

} // namespace

TCSpinEdit::TCSpinEdit(QWidget* parent)
    : QLineEdit(parent), beeper_(&QApplication::beep),
      upButton_(CreateArrowButton(Qt::UpArrow, QStringLiteral("UpButton"))),
      downButton_(CreateArrowButton(Qt::DownArrow, QStringLiteral("DownButton")))
{
    setTextMargins(0, 0, ArrowButtonWidth, 0);
    connect(upButton_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(downButton_, &QToolButton::clicked, this, [this] { Step(-1); });
}

QToolButton* TCSpinEdit::CreateArrowButton(Qt::ArrowType arrow, const QString& name)
{
    auto* button = new QToolButton(this);
    button->setObjectName(name);
    button->setArrowType(arrow);
    button->setCursor(Qt::ArrowCursor);
    // The keyboard focus belongs to the edit; a left press on an arrow brings
    // it there before the arrow steps.
    button->setFocusPolicy(Qt::NoFocus);
    connect(button, &QToolButton::pressed, this, [this] { setFocus(Qt::MouseFocusReason); });
    // A click steps on release over the button. Held down, the button also
    // steps on its repeat timer for as long as it stays down under the
    // pointer, and the release still adds its own step.
    button->setAutoRepeat(true);
    button->setAutoRepeatDelay(ArrowRepeatDelayMs);
    button->setAutoRepeatInterval(ArrowRepeatIntervalMs);
    return button;
}

void TCSpinEdit::SetEditorEnabled(bool enabled)
{
    editorEnabled_ = enabled;
    setAcceptDrops(enabled);
}

int TCSpinEdit::GetValue()
{
    const QByteArray latin1 = text().toLatin1();
    if (const auto value = IntegerFromText(std::string_view(latin1.constData(), latin1.size())))
        return *value;
    setText(QString::number(minValue_));
    return minValue_;
}

void TCSpinEdit::SetValue(int value)
{
    setText(QString::number(CheckValue(value)));
}

int TCSpinEdit::CheckValue(int value) const
{
    if (minValue_ == maxValue_)
        return value;
    if (value < minValue_)
        return minValue_;
    if (value > maxValue_)
        return maxValue_;
    return value;
}

bool TCSpinEdit::IsValidChar(QChar character) const
{
    const char16_t code = character.unicode();
    if (!editorEnabled_ && (code >= u' ' || code == u'\b'))
        return false;
    if (code > 0xFF)
        return true;
    if (code == u'\r')
        return false;
    if (static_cast<std::int8_t>(code) < '2')
        return true;
    return (code >= u'0' && code <= u'9') || code == u'+' || code == u'-' ||
           QString(character) == locale().decimalPoint();
}

bool TCSpinEdit::AcceptsAll(const QString& typed) const
{
    return std::all_of(typed.cbegin(), typed.cend(),
                       [this](QChar character) { return IsValidChar(character); });
}

void TCSpinEdit::Step(int direction)
{
    if (isReadOnly()) {
        beeper_();
        return;
    }
    const std::int64_t stepped = std::int64_t{GetValue()} + std::int64_t{direction} * increment_;
    SetValue(static_cast<int>(std::clamp<std::int64_t>(stepped, INT_MIN, INT_MAX)));
}

void TCSpinEdit::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        Step(event->key() == Qt::Key_Up ? 1 : -1);
        QLineEdit::keyPressEvent(event);
        // The step used the key; it does not travel on to the parent.
        event->accept();
        return;
    }
    const bool refused =
        TypesText(event) ? !AcceptsAll(event->text()) : !editorEnabled_ && IsEditingKey(event);
    if (refused) {
        beeper_();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TCSpinEdit::inputMethodEvent(QInputMethodEvent* event)
{
    // Text composed through an input method passes the same filter as keys.
    if (!AcceptsAll(event->commitString())) {
        beeper_();
        event->setCommitString(QString());
    }
    QLineEdit::inputMethodEvent(event);
}

void TCSpinEdit::focusInEvent(QFocusEvent* event)
{
    // QLineEdit itself selects all when entered by keyboard (Tab, Backtab or
    // a buddy's shortcut) and not when clicked. Without AutoSelect it is told
    // that the focus came some other way.
    const Qt::FocusReason reason = event->reason();
    const bool byKeyboard = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                            reason == Qt::ShortcutFocusReason;
    if (byKeyboard && !autoSelect_) {
        QFocusEvent unselectedEntry(event->type(), Qt::OtherFocusReason);
        QLineEdit::focusInEvent(&unselectedEntry);
        return;
    }
    QLineEdit::focusInEvent(event);
}

void TCSpinEdit::focusOutEvent(QFocusEvent* event)
{
    // Leaving the box brings its value within the limits, so that whoever
    // takes the focus, a button reading the value among them, finds it there.
    // A popup or another window taking the focus leaves the box focused in
    // its own window, so it stays as it is.
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
        const int value = GetValue();
        if (CheckValue(value) != value)
            SetValue(value);
    }
    QLineEdit::focusOutEvent(event);
}

void TCSpinEdit::mouseReleaseEvent(QMouseEvent* event)
{
    // The middle button pastes the selection clipboard.
    if (!editorEnabled_ && event->button() == Qt::MiddleButton)
        return;
    QLineEdit::mouseReleaseEvent(event);
}

void TCSpinEdit::contextMenuEvent(QContextMenuEvent* event)
{
    if (editorEnabled_) {
        QLineEdit::contextMenuEvent(event);
        return;
    }
    // QLineEdit leaves the editing entries out of a read-only edit's menu; the
    // box is read-only for as long as its menu is being made.
    const bool readOnly = isReadOnly();
    setReadOnly(true);
    QMenu* menu = createStandardContextMenu();
    setReadOnly(readOnly);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TCSpinEdit::resizeEvent(QResizeEvent* event)
{
    QLineEdit::resizeEvent(event);
    PlaceArrowButtons();
}

void TCSpinEdit::PlaceArrowButtons()
{
    const int frame =
        hasFrame() ? style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) : 0;
    const QRect inside = rect().adjusted(frame, frame, -frame, -frame);
    const int upHeight = inside.height() / 2;
    const int left = inside.right() + 1 - ArrowButtonWidth;
    upButton_->setGeometry(left, inside.top(), ArrowButtonWidth, upHeight);
    downButton_->setGeometry(left, inside.top() + upHeight, ArrowButtonWidth,
                             inside.height() - upHeight);
}
