#include "RunProgram.h"

#include "ErrorDisplay.h"
#include "NameTables.h"
#include "Radio.h"

#include <QCoreApplication>
#include <QTimer>

#include <exception>
#include <memory>

int RunProgram(const std::function<void(TMainForm&)>& shown)
{
    std::unique_ptr<TMainForm> MainForm;
    try {
        PortNames();
        SpeedNames();
        MainForm = std::make_unique<TMainForm>();
    } catch (const std::exception& error) {
        // A failed start-up is reported as such, to the user and in the
        // exit status.
        ShowErrorDisplay(QString::fromLatin1(error.what()));
        return 1;
    }
    MainForm->show();
    if (shown)
        QTimer::singleShot(0, MainForm.get(), [&] { shown(*MainForm); });
    return QCoreApplication::exec();
}
