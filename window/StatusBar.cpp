#include "StatusBar.h"

#include <algorithm>

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
        panel->show();
        panels_.push_back(panel);
    }
    PlacePanels();
}

QStringList TStatusBar::PanelWidths() const
{
    QStringList widths;
    for (const int width : widths_)
        widths << QString::number(width);
    return widths;
}

void TStatusBar::SetPanelWidths(const QStringList& widths)
{
    widths_.clear();
    for (const QString& width : widths)
        widths_.push_back(width.toInt());
    PlacePanels();
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

void TStatusBar::resizeEvent(QResizeEvent* event)
{
    QStatusBar::resizeEvent(event);
    PlacePanels();
}

void TStatusBar::PlacePanels()
{
    int left = 0;
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        const bool last = i + 1 == panels_.size();
        const int listed = i < widths_.size() ? widths_[i] : 0;
        const int width = last ? std::max(0, this->width() - left) : listed;
        panels_[i]->setGeometry(left, 0, width, height());
        left += width;
    }
}
