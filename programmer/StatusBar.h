// A status bar divided into panels of fixed widths, each showing one text,
// addressed by index.
#pragma once

#include <QLabel>
#include <QStatusBar>
#include <QStringList>

#include <vector>

class TStatusBar : public QStatusBar
{
    Q_OBJECT
    // One entry a panel: its initial text, and its width in pixels.
    Q_PROPERTY(QStringList Panels READ Panels WRITE SetPanels)
    Q_PROPERTY(QStringList PanelWidths READ PanelWidths WRITE SetPanelWidths)

public:
    explicit TStatusBar(QWidget* parent = nullptr);

    QStringList Panels() const;
    void SetPanels(const QStringList& texts);
    QStringList PanelWidths() const;
    void SetPanelWidths(const QStringList& widths);

    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);

private:
    std::vector<QLabel*> panels_;
};
