// TCSpinEdit: a one-line edit for a whole number, with a pair of arrow buttons
// at its right end.
//
// Unlike QSpinBox, the box keeps whatever text it is given or the user types
// past its key filter: numbers outside the limits, hexadecimal ones, even
// text that is no number at all. The limits apply when a value is written,
// when the arrows step it and when the box loses the keyboard focus; a text
// that cannot be read turns into MinValue when it is read.
//
// The box emits no signals of its own.
#pragma once

#include <QLineEdit>

#include <functional>
#include <utility>

class QToolButton;

class TCSpinEdit : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Increment READ Increment WRITE SetIncrement)
    Q_PROPERTY(bool EditorEnabled READ EditorEnabled WRITE SetEditorEnabled)
    Q_PROPERTY(bool AutoSelect READ AutoSelect WRITE SetAutoSelect)

public:
    explicit TCSpinEdit(QWidget* parent = nullptr);

    // The limits of CheckValue; equal limits mean no limits.
    int MinValue() const { return minValue_; }
    void SetMinValue(int value) { minValue_ = value; }
    int MaxValue() const { return maxValue_; }
    void SetMaxValue(int value) { maxValue_ = value; }
    // What one step of the arrow keys or buttons adds or subtracts.
    int Increment() const { return increment_; }
    void SetIncrement(int increment) { increment_ = increment; }
    // When false, the user cannot change the text by typing, deleting,
    // pasting, cutting or dropping; the arrows still step the value.
    bool EditorEnabled() const { return editorEnabled_; }
    void SetEditorEnabled(bool enabled);
    // Whether entering the box by keyboard selects its whole text.
    bool AutoSelect() const { return autoSelect_; }
    void SetAutoSelect(bool enabled) { autoSelect_ = enabled; }

    // The whole text read as a number (see IntegerFromText), within the
    // limits or not. A text that cannot be read is first replaced by the
    // decimal text of MinValue, which is then the value.
    int GetValue();
    // Shows the decimal text of CheckValue(value).
    void SetValue(int value);
    // value moved into MinValue..MaxValue, or value itself when the limits
    // are equal.
    int CheckValue(int value) const;
    // Whether a typed character reaches the text. Accepted are the digits,
    // "+", "-", the locale's decimal separator and every character whose
    // 8-bit code, taken as signed, lies below that of "2" except carriage
    // return: the control characters, blank to "1", and codes 128 to 255.
    // Characters beyond 8 bits count as codes 128 to 255. Without
    // EditorEnabled, only control characters other than backspace pass.
    bool IsValidChar(QChar character) const;

    // What sounds for refused input and for stepping a read-only box;
    // QApplication::beep unless replaced.
    void SetBeeper(std::function<void()> beeper) { beeper_ = std::move(beeper); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* CreateArrowButton(Qt::ArrowType arrow, const QString& name);
    void PlaceArrowButtons();
    // One step up (direction 1) or down (-1), limited by CheckValue.
    void Step(int direction);
    bool AcceptsAll(const QString& typed) const;

    int minValue_ = 0;
    int maxValue_ = 0;
    int increment_ = 1;
    bool editorEnabled_ = true;
    bool autoSelect_ = true;
    std::function<void()> beeper_;
    QToolButton* const upButton_;
    QToolButton* const downButton_;
};
