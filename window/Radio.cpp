#include "Radio.h"

#include "PortDiagnosis.h"
#include "Radiocom.h"
#include "SerialSettings.h"
#include "ui_Radio.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPixmap>
#include <QScreen>

#include <array>
#include <cstdio>
#include <stdexcept>

#include "MelvixIcon.xpm"

namespace {

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

// Where the style draws the version group's caption inside its frame, as the
// Windows styles do, the designed width may cut it: the panel, both its groups
// and the window grow by what the caption lacks, and the rest keeps its size.
void WidenPanelForCaption(Ui::TMainForm& ui, QWidget& window)
{
    const int shortfall = ui.RadioGroup1->CaptionShortfall();
    if (shortfall == 0)
        return;
    for (QGroupBox* group : std::array<QGroupBox*, 2>{ui.RadioGroup1, ui.GroupBox2})
        group->resize(group->width() + shortfall, group->height());
    ui.Panel1->setFixedWidth(ui.Panel1->minimumWidth() + shortfall);
    window.resize(window.width() + shortfall, window.height());
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
    : QMainWindow(parent), SerialConnector(new TRadioCom(this)), Session(*SerialConnector, *this),
      MinReplyLength(Session.MinReplyLength), ReplyDecoded(Session.ReplyDecoded),
      PortIndex(Session.PortIndex), ui(std::make_unique<Ui::TMainForm>())
{
    SubstituteMissingWindowFont();
    ui->setupUi(this);
    setWindowTitle(QStringLiteral(MELVIX_WINDOW_TITLE));
    setWindowIcon(QIcon(QPixmap(MelvixIcon)));
    WidenPanelForCaption(*ui, *this);
    // The designed size is the smallest. Larger, as when maximised, the panel
    // keeps to the right edge, the status bar to the bottom, the "Received"
    // group takes the rest, and the controls inside keep their places.
    setMinimumSize(size());
    ui->Button1->setFocus();
    ApplySerialSettings(*SerialConnector);
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

QString TMainForm::Address() const
{
    return ui->Edit1->text();
}

int TMainForm::Channel()
{
    return ui->CSpinEdit1->GetValue();
}

void TMainForm::ShowRadioData(const QString& address, int channel)
{
    ui->Edit1->setText(address);
    ui->CSpinEdit1->SetValue(channel);
}

void TMainForm::ShowError(const QString& message)
{
    ::ShowError(message);
}

// The address shown came from one reply that the next ones contradict, as
// when a line misbehaved once; it must not be sent back. A Read, or the
// read-back that follows every Write, shows what the module holds.
void TMainForm::AnswersDisagree()
{
    ::ShowError(QStringLiteral("The module's answers disagree: nothing was written. Read the "
                               "module again."));
}

// The window itself says nothing more when no module was found; a user who
// started it from a terminal learns there why ports could not be opened.
void TMainForm::NothingFound(const QList<PortOpening>& unopened)
{
    for (const QString& line : UnopenedPortsDiagnosis(unopened))
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
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
    Session.HandleReceived(count);
}

std::int32_t TMainForm::FindMarker(const std::uint8_t* bytes, std::int32_t length) const
{
    return Session.FindMarker(bytes, length);
}

void TMainForm::DecodeRadioData(const std::uint8_t* bytes, std::int32_t length,
                                std::int32_t position)
{
    Session.DecodeRadioData(bytes, length, position);
}

bool TMainForm::DetectModule()
{
    return Session.DetectModule();
}

bool TMainForm::ScanPorts()
{
    return Session.ScanPorts();
}

bool TMainForm::ProbeModule()
{
    return Session.ProbeModule();
}

void TMainForm::ReadRadioData()
{
    Session.ReadRadioData();
}

void TMainForm::SendWriteCommand()
{
    Session.SendWriteCommand();
}

void TMainForm::Button1Click()
{
    close();
}

void TMainForm::Button2Click()
{
    Session.WriteAndReadBack();
}

void TMainForm::Button3Click()
{
    ReadRadioData();
}
