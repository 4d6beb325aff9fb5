#include "RadioGroup.h"

#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QVBoxLayout>

#include <algorithm>

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent)
{
    new QVBoxLayout(this);
}

QStringList TRadioGroup::Items() const
{
    QStringList items;
    for (const QAbstractButton* button : buttons_.buttons())
        items << button->text();
    return items;
}

void TRadioGroup::SetItems(const QStringList& items)
{
    const int checked = ItemIndex();
    for (QAbstractButton* button : buttons_.buttons()) {
        buttons_.removeButton(button);
        delete button;
    }
    for (const QString& text : items) {
        auto* button = new QRadioButton(text, this);
        buttons_.addButton(button, buttons_.buttons().size());
        layout()->addWidget(button);
    }
    SetItemIndex(checked);
}

int TRadioGroup::ItemIndex() const
{
    return buttons_.checkedId();
}

void TRadioGroup::SetItemIndex(int index)
{
    if (QAbstractButton* button = buttons_.button(index)) {
        button->setChecked(true);
        return;
    }
    // Unchecking every button of an exclusive group needs the group's
    // exclusivity lifted for a moment.
    buttons_.setExclusive(false);
    for (QAbstractButton* button : buttons_.buttons())
        button->setChecked(false);
    buttons_.setExclusive(true);
}

int TRadioGroup::CaptionShortfall() const
{
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    const QRect caption =
        style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, this);
    return std::max(0, caption.right() + 1 + caption.left() - width());
}
