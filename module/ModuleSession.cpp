#include "ModuleSession.h"

#include "ModuleProtocol.h"
#include "ModuleView.h"
#include "NameTables.h"

#include <QCoreApplication>
#include <QThread>

#include <vector>

using namespace ModuleTiming;

namespace {

void LetPendingEventsRun()
{
    QCoreApplication::processEvents();
}

} // namespace

TModuleSession::TModuleSession(TRadioCom& serialConnector, TModuleView& view)
    : serialConnector_(serialConnector), view_(view)
{}

void TModuleSession::HandleReceived(std::int32_t count)
{
    // Fewer bytes stay queued and are counted again with what follows them.
    if (count == 0 || count < MinReplyLength)
        return;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    const int read = serialConnector_.ReceiveBuffer(buffer.data(), count);
    if (read <= 0)
        return;
    // Only the bytes actually read are interpreted.
    if (const auto position = ModuleProtocol::DataPosition(buffer.data(), read, view_.Generation()))
        DecodeRadioData(buffer.data(), read, *position);
}

std::int32_t TModuleSession::FindMarker(const std::uint8_t* bytes, std::int32_t length) const
{
    return ModuleProtocol::FindMarker(bytes, length, view_.Generation());
}

void TModuleSession::DecodeRadioData(const std::uint8_t* bytes, std::int32_t length,
                                     std::int32_t position)
{
    // Never read past the bytes read, whatever position a caller passes.
    if (position < 0 || position + 4 >= length)
        return;
    const auto data = ModuleProtocol::ExtractRadioData(bytes, position);
    // Each address byte is one character, so every byte value but 0 comes
    // back unchanged in a write command.
    const QString address =
        QString::fromLatin1(data.address.data(), static_cast<qsizetype>(data.address.size()));
    if (!ModuleProtocol::AddressAccepted(data.address)) {
        ReplyDecoded = false;
        view_.ReplyRefused(address, data.channel);
        return;
    }
    ReplyDecoded = true;
    view_.ShowRadioData(address, data.channel);
    view_.AppendLog(QStringLiteral("Received -> Channel: %1 Addr: %2")
                        .arg(static_cast<int>(data.channel))
                        .arg(address));
}

bool TModuleSession::DetectModule()
{
    if (!ScanPorts())
        return false;
    view_.SetStatus(QStringLiteral("Status: Present"),
                    QStringLiteral("Serial Port: ") + PortNames().at(PortIndex),
                    QStringLiteral("Baud Rate: ") + SpeedNames().at(ScanSpeed));
    return true;
}

bool TModuleSession::OpenPort(int portIndex)
{
    serialConnector_.SetComPort(static_cast<TRadioCom::ports>(portIndex));
    serialConnector_.SetBaudRate(ScanSpeed);
    serialConnector_.SetReadTimeout(ScanReadTimeoutMs);
    serialConnector_.SetComStatus(true);
    return serialConnector_.Connected();
}

bool TModuleSession::ScanPorts()
{
    QList<int> unopened;
    for (int index = FirstPortTried; index <= LastPortTried; ++index) {
        view_.TryingPort(index);
        OpenPort(index);
        QThread::msleep(PauseAfterOpenMs);
        if (!serialConnector_.Connected()) {
            unopened.append(index);
            view_.PortNotOpened(index);
        } else if (ProbeModule()) {
            PortIndex = index;
            return true;
        }
    }
    view_.NothingFound(unopened);
    return false;
}

void TModuleSession::SendReadCommands(int generation)
{
    const auto command = ModuleProtocol::ReadCommand(generation);
    for (int send = 0; send < ReadCommandSends; ++send) {
        serialConnector_.SendBuffer(command.data(), static_cast<std::int32_t>(command.size()));
        QThread::msleep(ReplyWaitMs);
        LetPendingEventsRun();
        if (ReplyDecoded)
            return;
    }
}

bool TModuleSession::ProbeModule()
{
    ReplyDecoded = false;
    SendReadCommands(ModuleProtocol::V5);
    return ReplyDecoded;
}

void TModuleSession::ReadRadioData()
{
    if (!serialConnector_.Connected() && !DetectModule())
        return;
    ReplyDecoded = false;
    const int generation = view_.Generation();
    if (generation != ModuleProtocol::V4) {
        view_.AppendLog(QStringLiteral("Sent: Read Data"));
        view_.ShowRadioData(QString(), 0);
    }
    SendReadCommands(generation);
    if (!ReplyDecoded) {
        view_.SetStatus(QStringLiteral("Status: Not Detected"), QStringLiteral("Serial Port: "),
                        QStringLiteral("Baud Rate:"));
        serialConnector_.SetComStatus(false);
    }
}

bool TModuleSession::SendWriteCommand()
{
    const QString address = view_.Address();
    if (address.length() != 4) {
        view_.ShowError(QStringLiteral("Set ADDRESS!"));
        return false;
    }
    const int channel = view_.Channel();
    if (channel == 0) {
        view_.ShowError(QStringLiteral("Set Channel!"));
        return false;
    }
    const auto command = ModuleProtocol::WriteCommand(
        view_.Generation(), static_cast<std::uint8_t>(channel), address.toLatin1().toStdString());
    const auto length = static_cast<std::int32_t>(command.size());
    const bool sent = serialConnector_.SendBuffer(command.data(), length) == length;
    view_.AppendLog(
        QStringLiteral("Sent: Write Channel: %1 Address: %2").arg(channel).arg(address));
    return sent;
}

bool TModuleSession::WriteAndReadBack()
{
    const bool sent = SendWriteCommand();
    QThread::msleep(WriteToReadBackPauseMs);
    LetPendingEventsRun();
    ReadRadioData();
    LetPendingEventsRun();
    return sent;
}
