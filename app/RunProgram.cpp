#include "RunProgram.h"

#include "ErrorDisplay.h"
#include "NameTables.h"
#include "Radio.h"
#include "Radiocom.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QTimer>

#include <exception>
#include <memory>
#include <optional>

int RunProgram(const std::function<void(TMainForm&)>& shown)
{
    // Set up before the window, so that a signal during detection counts too.
    std::optional<TTerminationSignals> termination;
    std::unique_ptr<TMainForm> MainForm;
    try {
        termination.emplace();
        // Ends every running event loop, a message box's too, so that nothing
        // waits for a user who has logged out; a sequence under way finishes
        // first, as it does when the window is closed.
        QObject::connect(&*termination, &TTerminationSignals::Arrived,
                         [] { QCoreApplication::exit(0); });
        PortNames();
        SpeedNames();
        MainForm = std::make_unique<TMainForm>();
        // At log-off or shutdown Windows ends a window program as soon as it
        // has answered the end of the session, and Qt tells that answer as
        // aboutToQuit: the port is closed there, as the end through Exit
        // closes it, since the event loop will not return. Everywhere else
        // aboutToQuit comes as the event loop returns, just before the window
        // and its port go.
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, MainForm.get(),
                         [&form = *MainForm] { form.SerialConnector->SetComStatus(false); });
    } catch (const std::exception& error) {
        // A failed start-up is reported as such, to the user and in the
        // exit status.
        ShowErrorDisplay(QString::fromLatin1(error.what()));
        if (termination)
            termination->EndProcessAsReceived();
        return 1;
    }
    int status = 0;
    // A signal during construction came before any event loop could end.
    if (termination->Received() == 0) {
        MainForm->show();
        if (shown)
            QTimer::singleShot(0, MainForm.get(), [&] { shown(*MainForm); });
        status = QCoreApplication::exec();
    }
    // The window goes before the process does: it closes and releases the port.
    MainForm.reset();
    termination->EndProcessAsReceived();
    return status;
}
