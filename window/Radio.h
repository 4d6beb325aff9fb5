// TMainForm: the program's one working window. It finds the radio module on
// the serial ports, reads its channel and address, writes a new channel and
// reads it back, and shows what it did in its status bar and log.
//
// The sequences themselves are TModuleSession's; the window is their view:
// its controls show what they report and hold what a write sends.
// Everything here runs on the user interface thread.
#pragma once

#include "ModuleSession.h"
#include "ModuleView.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>

class TRadioCom;

namespace Ui {
class TMainForm;
}

class TMainForm : public QMainWindow, private TModuleView
{
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    TRadioCom* const SerialConnector;

private:
    TModuleSession Session;

public:
    // The session's state, under the names the window has always used.
    // Fewer waiting bytes than this are left for a later event.
    std::int32_t& MinReplyLength;
    // Set when a reply was accepted, cleared when one was rejected.
    bool& ReplyDecoded;
    // The port index at which the module was last found.
    std::int32_t& PortIndex;

    // SerialConnector's OnReceive: Count bytes wait in the input queue.
    Q_INVOKABLE void OnReceive(int Count);
    void HandleReceived(std::int32_t count);
    std::int32_t FindMarker(const std::uint8_t* bytes, std::int32_t length) const;
    void DecodeRadioData(const std::uint8_t* bytes, std::int32_t length, std::int32_t position);

    // Tries COM1 to COM21 and shows where the module answered.
    bool DetectModule();
    bool ScanPorts();
    // Up to three read commands on the open port; true once one was answered.
    bool ProbeModule();
    void ReadRadioData();
    void SendWriteCommand();

public slots:
    void Button1Click();
    void Button2Click();
    void Button3Click();

protected:
    // Centres the window on the desktop when it is first shown.
    void showEvent(QShowEvent* event) override;

private:
    // Binds SerialConnector's OnReceive by the name the window's description
    // gives, and applies any other setting the description holds.
    void ConfigureSerialConnector();

    // TModuleView, with the window's controls.
    int Generation() const override;
    QString Address() const override;
    int Channel() override;
    void ShowRadioData(const QString& address, int channel) override;
    void ShowError(const QString& message) override;
    void NothingFound(const QList<PortOpening>& unopened) override;
    void AnswersDisagree() override;
    void AppendLog(const QString& line) override;
    void SetStatus(const QString& status, const QString& port, const QString& speed) override;

    const std::unique_ptr<Ui::TMainForm> ui;
    bool centred_ = false;
};
