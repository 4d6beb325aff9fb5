// Program entry: the main window is created first and finds the module while
// it is built, so it is first shown already saying whether and where a module
// is; then the event loop runs until the window is closed.
#include "Application.h"
#include "ErrorDisplay.h"
#include "NameTables.h"
#include "Radio.h"

#include <exception>
#include <memory>

int main(int argc, char** argv)
{
    TApplication application(argc, argv);
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
    return application.exec();
}
