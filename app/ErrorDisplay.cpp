#include "ErrorDisplay.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

QString ApplicationTitle(const QString& executablePath)
{
    const QString name = QFileInfo(executablePath).fileName().section(QLatin1Char('.'), 0, 0);
    return name.left(1) + name.mid(1).toLower();
}

QString ErrorDisplayText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void ShowErrorDisplay(const QString& message)
{
    QMessageBox box(QMessageBox::Critical,
                    ApplicationTitle(QCoreApplication::applicationFilePath()),
                    ErrorDisplayText(message), QMessageBox::Ok);
    box.exec();
}
