#include "Application.h"

#include "ErrorDisplay.h"

#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowErrorDisplay(QString::fromLatin1(error.what()));
    } catch (...) {
        ShowErrorDisplay(QStringLiteral("Unknown error"));
    }
    return false;
}
