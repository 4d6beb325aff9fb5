#include "window_view.h"

#include "CSpinEdit.h"
#include "StatusBar.h"

#include <QLineEdit>
#include <QPlainTextEdit>

QStringList StatusPanels(const QWidget& window)
{
    return ControlOf<TStatusBar>(window, "StatusBar")->Panels();
}

QString AddressText(const QWidget& window)
{
    return ControlOf<QLineEdit>(window, "Edit1")->text();
}

QString ChannelText(const QWidget& window)
{
    return ControlOf<TCSpinEdit>(window, "CSpinEdit1")->text();
}

QStringList LogLines(const QWidget& window)
{
    return ControlOf<QPlainTextEdit>(window, "Memo1")
        ->toPlainText()
        .split('\n', Qt::SkipEmptyParts);
}
