// A captioned group of radio buttons in one column, made from a list of item
// texts, with the checked one addressed by its index.
#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>

class TRadioGroup : public QGroupBox
{
    Q_OBJECT
    Q_PROPERTY(QStringList Items READ Items WRITE SetItems)
    Q_PROPERTY(int ItemIndex READ ItemIndex WRITE SetItemIndex)

public:
    explicit TRadioGroup(QWidget* parent = nullptr);

    QStringList Items() const;
    void SetItems(const QStringList& items);
    // -1 when no item is checked.
    int ItemIndex() const;
    void SetItemIndex(int index);
    // How much wider the group must be for its style to draw the whole
    // caption, with as much room after it as before it; 0 when it fits. Some
    // styles draw the caption inside the frame, where a wide font cuts it.
    int CaptionShortfall() const;

private:
    QButtonGroup buttons_;
};
