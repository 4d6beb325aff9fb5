// TMainForm: the program's one working window. It finds the radio module on
// the serial ports, reads its channel and address, writes a new channel and
// reads it back, and shows what it did in its status bar and log.
//
// Everything here runs on the user interface thread. Replies reach
// HandleReceived through SerialConnector's OnReceive, which runs only where a
// sequence lets pending events run; ReplyDecoded carries the result back.
#pragma once

#include <QMainWindow>

#include <cstdint>
#include <memory>

class TRadioCom;

namespace Ui {
class TMainForm;
}

class TMainForm : public QMainWindow
{
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    TRadioCom* const SerialConnector;
    // Fewer waiting bytes than this are left for a later event.
    std::int32_t MinReplyLength = 0;
    // Set when a reply was accepted, cleared when one was rejected.
    bool ReplyDecoded = false;
    // The port index at which the module was last found.
    std::int32_t PortIndex = 0;

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
    // The window's description gives SerialConnector its settings and binds
    // its OnReceive by name.
    void ConfigureSerialConnector();
    int Generation() const;
    void SendReadCommands(int generation);
    void AppendLog(const QString& line);
    void SetStatus(const QString& status, const QString& port, const QString& speed);

    const std::unique_ptr<Ui::TMainForm> ui;
    bool centred_ = false;
};
