// A status bar divided into panels, each showing one text, addressed by
// index. The panels stand side by side from the left edge, each as wide as
// its listed width, except the last, which reaches the right edge whatever
// the bar's width, so that it takes what a wider window gives.
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

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlacePanels();

    // Children of the bar placed by PlacePanels, not items of the bar's own
    // layout, which puts margins and gaps between its items.
    std::vector<QLabel*> panels_;
    std::vector<int> widths_;
};
