#include "StatusBar.h"

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent)
{
    setSizeGripEnabled(false);
}

QStringList TStatusBar::Panels() const
{
    QStringList texts;
    for (const QLabel* panel : panels_)
        texts << panel->text();
    return texts;
}

void TStatusBar::SetPanels(const QStringList& texts)
{
    for (QLabel* panel : panels_)
        delete panel;
    panels_.clear();
    for (const QString& text : texts) {
        auto* panel = new QLabel(text, this);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        addWidget(panel);
        panels_.push_back(panel);
    }
}

QStringList TStatusBar::PanelWidths() const
{
    QStringList widths;
    for (const QLabel* panel : panels_)
        widths << QString::number(panel->width());
    return widths;
}

void TStatusBar::SetPanelWidths(const QStringList& widths)
{
    for (std::size_t i = 0; i < panels_.size() && i < static_cast<std::size_t>(widths.size()); ++i)
        panels_[i]->setFixedWidth(widths[static_cast<int>(i)].toInt());
}

QString TStatusBar::PanelText(int index) const
{
    return index >= 0 && index < static_cast<int>(panels_.size()) ? panels_[index]->text()
                                                                  : QString();
}

void TStatusBar::SetPanelText(int index, const QString& text)
{
    if (index >= 0 && index < static_cast<int>(panels_.size()))
        panels_[index]->setText(text);
}
