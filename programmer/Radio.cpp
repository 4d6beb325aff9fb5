#include "Radio.h"

#include "ModuleProtocol.h"
#include "NameTables.h"
#include "Radiocom.h"
#include "ui_Radio.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <stdexcept>
#include <vector>

#include "MelvixIcon.xpm"

namespace {

constexpr int FirstPortTried = 0;
constexpr int LastPortTried = 20;
constexpr auto ScanSpeed = TRadioCom::br115200;
constexpr int ScanReadTimeoutMs = 50;
constexpr unsigned long PauseAfterOpenMs = 2;
constexpr int ReadCommandSends = 3;
constexpr unsigned long ReplyWaitMs = 50;
constexpr unsigned long WriteToReadBackPauseMs = 500;

void LetPendingEventsRun()
{
    QCoreApplication::processEvents();
}

// The window's font is "MS Sans Serif"; where it is missing, the nearest
// sans-serif faces stand in for it. Substitutes only count for a missing
// family, so they are given without looking the family up first, which
// would load the whole font database during start-up.
void SubstituteMissingWindowFont()
{
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
}

// An error box has no owner window and blocks none: it stays on top while
// the main window keeps taking clicks, whose handlers run nested in the
// box's event loop. The caller goes on once the box is dismissed, or once the
// application quits, which ends every event loop.
void ShowError(const QString& message)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error!"), message, QMessageBox::Ok);
    box.setWindowModality(Qt::NonModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    // Closing the main window still ends the program while a box is open.
    box.setAttribute(Qt::WA_QuitOnClose, false);
    QEventLoop untilDismissed;
    QObject::connect(&box, &QMessageBox::finished, &untilDismissed, &QEventLoop::quit);
    box.show();
    untilDismissed.exec();
}

} // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent), SerialConnector(new TRadioCom(this)),
      ui(std::make_unique<Ui::TMainForm>())
{
    SubstituteMissingWindowFont();
    ui->setupUi(this);
    setWindowIcon(QIcon(QPixmap(MelvixIcon)));
    // The designed size is the smallest. Larger, as when maximised, the panel
    // keeps to the right edge, the status bar to the bottom, the "Received"
    // group takes the rest, and the controls inside keep their places.
    setMinimumSize(size());
    ui->Button1->setFocus();
    ConfigureSerialConnector();
    MinReplyLength = 16;
    DetectModule();
}

void TMainForm::showEvent(QShowEvent* event)
{
    if (!centred_) {
        centred_ = true;
        if (const QScreen* desktop = screen())
            move(desktop->availableGeometry().center() - rect().center());
    }
    QMainWindow::showEvent(event);
}

TMainForm::~TMainForm() = default;

void TMainForm::ConfigureSerialConnector()
{
    const QStringList settings = property("SerialConnector").toStringList();
    for (const QString& setting : settings) {
        const QString name = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        if (name == QLatin1String("OnReceive")) {
            const QByteArray signature = value.toLatin1() + "(int)";
            const int index = metaObject()->indexOfMethod(signature.constData());
            if (index < 0)
                throw std::runtime_error("No handler " + signature.toStdString());
            const QMetaMethod handler = metaObject()->method(index);
            SerialConnector->SetOnReceive([this, handler](std::int32_t Count) {
                handler.invoke(this, Qt::DirectConnection, Q_ARG(int, Count));
            });
        } else if (!SerialConnector->setProperty(name.toLatin1().constData(), value)) {
            throw std::runtime_error("Invalid property value " + setting.toStdString());
        }
    }
}

int TMainForm::Generation() const
{
    return ui->RadioGroup1->ItemIndex();
}

void TMainForm::AppendLog(const QString& line)
{
    ui->Memo1->appendPlainText(line);
}

void TMainForm::SetStatus(const QString& status, const QString& port, const QString& speed)
{
    ui->StatusBar->SetPanelText(0, status);
    ui->StatusBar->SetPanelText(1, port);
    ui->StatusBar->SetPanelText(2, speed);
}

void TMainForm::OnReceive(int Count)
{
    HandleReceived(Count);
}

void TMainForm::HandleReceived(std::int32_t count)
{
    // Fewer bytes stay queued and are counted again with what follows them.
    if (count == 0 || count < MinReplyLength)
        return;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    const int read = SerialConnector->ReceiveBuffer(buffer.data(), count);
    if (read <= 0)
        return;
    // Only the bytes actually read are interpreted.
    if (const auto position = ModuleProtocol::DataPosition(buffer.data(), read, Generation()))
        DecodeRadioData(buffer.data(), read, *position);
}

std::int32_t TMainForm::FindMarker(const std::uint8_t* bytes, std::int32_t length) const
{
    return ModuleProtocol::FindMarker(bytes, length, Generation());
}

void TMainForm::DecodeRadioData(const std::uint8_t* bytes, std::int32_t length,
                                std::int32_t position)
{
    // Never read past the bytes read, whatever position a caller passes.
    if (position < 0 || position + 4 >= length)
        return;
    const auto data = ModuleProtocol::ExtractRadioData(bytes, position);
    if (!ModuleProtocol::AddressAccepted(data.address)) {
        ReplyDecoded = false;
        return;
    }
    ReplyDecoded = true;
    // Each address byte is one character, so every byte value but 0 comes
    // back unchanged in a write command.
    const QString address =
        QString::fromLatin1(data.address.data(), static_cast<qsizetype>(data.address.size()));
    ui->Edit1->setText(address);
    ui->CSpinEdit1->SetValue(data.channel);
    AppendLog(QStringLiteral("Received -> Channel: %1 Addr: %2")
                  .arg(static_cast<int>(data.channel))
                  .arg(address));
}

bool TMainForm::DetectModule()
{
    if (!ScanPorts())
        return false;
    SetStatus(QStringLiteral("Status: Present"),
              QStringLiteral("Serial Port: ") + PortNames().at(PortIndex),
              QStringLiteral("Baud Rate: ") + SpeedNames().at(ScanSpeed));
    return true;
}

bool TMainForm::ScanPorts()
{
    for (int index = FirstPortTried; index <= LastPortTried; ++index) {
        SerialConnector->SetComPort(static_cast<TRadioCom::ports>(index));
        SerialConnector->SetBaudRate(ScanSpeed);
        SerialConnector->SetReadTimeout(ScanReadTimeoutMs);
        SerialConnector->SetComStatus(true);
        QThread::msleep(PauseAfterOpenMs);
        if (SerialConnector->Connected() && ProbeModule()) {
            PortIndex = index;
            return true;
        }
    }
    return false;
}

void TMainForm::SendReadCommands(int generation)
{
    const auto command = ModuleProtocol::ReadCommand(generation);
    for (int send = 0; send < ReadCommandSends; ++send) {
        SerialConnector->SendBuffer(command.data(), static_cast<std::int32_t>(command.size()));
        QThread::msleep(ReplyWaitMs);
        LetPendingEventsRun();
        if (ReplyDecoded)
            return;
    }
}

bool TMainForm::ProbeModule()
{
    ReplyDecoded = false;
    SendReadCommands(ModuleProtocol::V5);
    return ReplyDecoded;
}

void TMainForm::ReadRadioData()
{
    if (!SerialConnector->Connected() && !DetectModule())
        return;
    ReplyDecoded = false;
    const int generation = Generation();
    if (generation != ModuleProtocol::V4) {
        AppendLog(QStringLiteral("Sent: Read Data"));
        ui->Edit1->setText(QString());
        ui->CSpinEdit1->SetValue(0);
    }
    SendReadCommands(generation);
    if (!ReplyDecoded) {
        SetStatus(QStringLiteral("Status: Not Detected"), QStringLiteral("Serial Port: "),
                  QStringLiteral("Baud Rate:"));
        SerialConnector->SetComStatus(false);
    }
}

void TMainForm::SendWriteCommand()
{
    const QString address = ui->Edit1->text();
    if (address.length() != 4) {
        ShowError(QStringLiteral("Set ADDRESS!"));
        return;
    }
    const int channel = ui->CSpinEdit1->GetValue();
    if (channel == 0) {
        ShowError(QStringLiteral("Set Channel!"));
        return;
    }
    const auto command = ModuleProtocol::WriteCommand(
        Generation(), static_cast<std::uint8_t>(channel), address.toLatin1().toStdString());
    SerialConnector->SendBuffer(command.data(), static_cast<std::int32_t>(command.size()));
    AppendLog(QStringLiteral("Sent: Write Channel: %1 Address: %2").arg(channel).arg(address));
}

void TMainForm::Button1Click()
{
    close();
}

void TMainForm::Button2Click()
{
    SendWriteCommand();
    QThread::msleep(WriteToReadBackPauseMs);
    LetPendingEventsRun();
    ReadRadioData();
    LetPendingEventsRun();
}

void TMainForm::Button3Click()
{
    ReadRadioData();
}
